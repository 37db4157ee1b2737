#pragma once

namespace FdLimit {
// Raises the soft limit on open files (RLIMIT_NOFILE) to the hard limit, as servers do so that
// many connections fit; false when the limit could not be read or changed.
bool raiseOpenFileLimit();
} // namespace FdLimit
