#include "attribution/linux/OwnerTables.h"

namespace ravelin {

bool LoadOwnerTableFunctions(NetlinkSocketTable& table, ErrorReporter& reporter) {
    return CheckCall(table.OpenSocket(), "socket 加载NETLINK_SOCK_DIAG失败", reporter) &&
           CheckCall(table.ProbeTcp(), "sock_diag 导入TCP套接字表失败", reporter) &&
           CheckCall(table.ProbeUdp(), "sock_diag 导入UDP套接字表失败", reporter);
}

}  // namespace ravelin
