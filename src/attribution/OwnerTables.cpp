#include "attribution/OwnerTables.h"

namespace ravelin {

bool LoadOwnerTableFunctions(NetlinkSocketTable& table, ErrorReporter& reporter) {
    return CheckCall(table.OpenSocket(), -1, false, false, "socket 加载NETLINK_SOCK_DIAG失败",
                     table.lastError(), reporter) &&
           CheckCall(table.ProbeTcp(), -1, false, false, "sock_diag 导入TCP套接字表失败",
                     table.lastError(), reporter) &&
           CheckCall(table.ProbeUdp(), -1, false, false, "sock_diag 导入UDP套接字表失败",
                     table.lastError(), reporter);
}

}  // namespace ravelin
