#pragma once

#include "datetimetexts.h"

#include <QString>

// The one format the UDP mode puts on the network, and how an arrival is shown. The receiver
// never parses a block, so nothing in it is counted or escaped.
namespace UdpBlock {

// "send IP - " line, "send date - " date "/" time line, an empty line, "--- [SOF] ---", the
// text as it stands, "--- [EOF] ---"; CR LF between the lines and none after the last one.
QString build(const QString &strIP, const DateTimeTexts::Stamp &stamp, const QString &strText);

// "got date - " date "/" time, an empty line, then the received text exactly as it came.
QString receivedDisplay(const DateTimeTexts::Stamp &stamp, const QString &rstrData);

// The entry box stores its line breaks as Unicode paragraph and line separators; in a block
// they are CR LF like every other line end. Everything else is left as typed.
QString entryText(const QString &rawBoxText);

} // namespace UdpBlock
