#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "attribution/ConnectionOpenings.h"
#include "attribution/linux/SynSocket.h"
#include "base/UniqueFd.h"

namespace ravelin {

/// The SYNs this host sends over IPv4 and IPv6, on every interface, from a packet socket whose
/// kernel filter passes nothing else: a few packets a second on a desktop, each told at once,
/// where the capture's ring hands packets over in blocks. Needs CAP_NET_RAW, as capture does.
class OutgoingSynSocket final : public ConnectionOpenings {
    struct Token {  // only Open constructs
        explicit Token() = default;
    };

public:
    /// The socket, or nothing where it cannot be had (without CAP_NET_RAW, say): owners are
    /// then found as before, only later.
    static std::unique_ptr<OutgoingSynSocket> Open();

    OutgoingSynSocket(Token, UniqueFd socket, UniqueFd wake);

    Waited Wait(std::vector<SocketEndpoints>& openings, std::chrono::milliseconds quiet) override;
    void Stop() override;

private:
    UniqueFd socket_;
    UniqueFd wake_;  // an eventfd that Stop signals
};

}  // namespace ravelin
