#pragma once

#include <QString>

// The diagnostics of one socket object: a trace line per socket event while switched on (the
// InfoWSock property), and one line on standard error for every failure. Nothing here ever
// reaches a window.
class SocketTrace final
{
public:
    // owner names the object in every line ("CWS_TCP_S", say); it must outlive the trace.
    explicit SocketTrace(const char *owner) : m_owner(owner) {}

    void setOwner(const char *owner) { m_owner = owner; }
    bool isOn() const { return m_on; }
    void setOn(bool on) { m_on = on; }

    // "<time> <owner> <text>" on standard error (qInfo), while on.
    void line(const QString &text) const
    {
        if (m_on)
            write(text);
    }
    // "<owner>: <text>" on standard error (qWarning), whether on or not; traced as well.
    void failure(const QString &text) const;

private:
    void write(const QString &text) const;

    const char *m_owner;
    bool m_on = false;
};
