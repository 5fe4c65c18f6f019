#include "attribution/linux/EffectiveCapabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <iterator>

namespace ravelin {

bool HasEffectiveCapabilities(std::initializer_list<int> capabilities) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    for (int capability : capabilities) {
        const auto word = static_cast<std::size_t>(capability / 32);
        if (capability < 0 || word >= std::size(data)) return false;  // no such capability
        if ((data[word].effective & (1U << (capability % 32))) == 0) return false;
    }
    return true;
}

}  // namespace ravelin
