#include "os/DescriptorLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "utils/logging/Logger.h"

namespace os {

uint64_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        const int error = errno;
        AP_LOG(utils::logging::Error, "Could not read the descriptor limit", "errno", error,
               "description", strerror(error));
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            const int error = errno;
            AP_LOG(utils::logging::Warning, "Could not raise the descriptor limit", "errno", error,
                   "description", strerror(error));
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace os
