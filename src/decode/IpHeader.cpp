#include "decode/IpHeader.h"

#include <algorithm>
#include <array>
#include <utility>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

// Searched from the first row to the last; the first equal number wins.
constexpr std::array<std::pair<std::uint8_t, std::string_view>, 19> kProtocolTable{{
    {0, "IP"},       {1, "ICMP"},      {2, "IGMP"}, {3, "GGP"},      {4, "IPV4"},
    {6, "TCP"},      {12, "PUP"},      {17, "UDP"}, {22, "IDP"},     {41, "IPV6"},
    {43, "ROUTING"}, {44, "FRAGMENT"}, {50, "ESP"}, {51, "AH"},      {58, "ICMPV6"},
    {59, "NONE"},    {60, "DSTOPTS"},  {77, "ND"},  {78, "ICLFXBM"},
}};

}  // namespace

std::string_view ProtocolName(std::uint8_t protocol) {
    for (const auto& [number, name] : kProtocolTable) {
        if (number == protocol) return name;
    }
    return {};
}

std::size_t DatagramEnd(std::uint16_t totalLength, std::size_t received) {
    if (totalLength == 0) return received;
    return std::min<std::size_t>(totalLength, received);
}

bool IpHeader::Parse(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 20) return false;
    ByteReader reader(datagram);
    headerLength = static_cast<std::uint8_t>((reader.ReadU8() & 0x0F) * 4);
    reader.Skip(1);  // type of service
    totalLength = reader.ReadBe16();
    reader.Skip(2);                               // identification
    fragmentOffset = reader.ReadBe16() & 0x1FFF;  // without the flags
    reader.Skip(1);                               // time to live
    protocol = reader.ReadU8();
    checksum = reader.ReadRaw16();
    sourceAddress = reader.ReadRaw32();
    destinationAddress = reader.ReadRaw32();
    return !reader.Failed();
}

}  // namespace ravelin
