#pragma once

#include <cstdint>

#include "base/UniqueFd.h"

namespace ravelin {

/// The bytes of a SYN the socket keeps: enough for the longest IPv4 header, or IPv6's fixed
/// one, and the TCP ports behind it.
constexpr std::uint32_t kKeptSynBytes = 128;

/// A packet socket that receives the start of every TCP SYN this host sends, over IPv4 and
/// IPv6, on every interface, and nothing else; invalid where it cannot be had (without
/// CAP_NET_RAW). Non-blocking. The capture helper opens it while it has the right to.
UniqueFd OpenOutgoingSynSocket();

}  // namespace ravelin
