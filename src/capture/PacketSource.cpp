#include "capture/PacketSource.h"

namespace ravelin {

std::string_view PacketSource::StepMessage(Step step) const {
    switch (step) {
        case Step::kCreate:
            return "socket 创建套接字失败";
        case Step::kConfigure:
            return "setsockopt 设置套接字广播权限失败";
        case Step::kBind:
            return "bind 绑定套接字失败";
        case Step::kFilter:
            return "WSAIoctl 修改SOCK_RAW为SIO_RCVALL失败";
    }
    return {};
}

}  // namespace ravelin
