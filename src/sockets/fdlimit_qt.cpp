#include "fdlimit.h"

namespace FdLimit {

// Nothing to raise where the system keeps no such limit per process.
bool raiseOpenFileLimit()
{
    return true;
}

} // namespace FdLimit
