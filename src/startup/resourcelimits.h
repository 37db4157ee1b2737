#pragma once

namespace ResourceLimits {

// Raises the soft limit on open files to the hard limit, as servers do, so that a chat server
// can hold thousands of connections. Returns the soft limit now in force.
long raiseOpenFileLimit();

} // namespace ResourceLimits
