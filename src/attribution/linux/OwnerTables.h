#pragma once

#include "attribution/linux/NetlinkSocketTable.h"
#include "base/CheckCall.h"

namespace ravelin {

/// Makes the socket tables ready at start-up, checking each step like the platform call it
/// stands for: the netlink socket, then one request for each of the TCP and UDP tables. False
/// after a reported failure; the program cannot attribute traffic without them.
bool LoadOwnerTableFunctions(NetlinkSocketTable& table, ErrorReporter& reporter);

}  // namespace ravelin
