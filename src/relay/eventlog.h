#pragma once

#include <QString>

// Standard error of the relay: one line per event, its own and the socket layer's warnings and
// trace alike, each with an ISO 8601 time in front when asked for.
namespace EventLog {
// Routes Qt's messages (the socket layer's warnings and trace) through write().
void install(bool timestamps);
void write(const QString &text);
// The current time as the relay writes it in front of logged lines.
QString timestamp();
} // namespace EventLog
