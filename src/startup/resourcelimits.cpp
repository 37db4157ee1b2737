#include "resourcelimits.h"

#include <QtGlobal>

#include <sys/resource.h>

namespace ResourceLimits {

long raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
        else
            qWarning("kestrel: could not raise the open-file limit to %llu",
                     static_cast<unsigned long long>(limit.rlim_max));
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

} // namespace ResourceLimits
