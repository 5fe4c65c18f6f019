#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ravelin::test {

/// Parses a dotted IPv4 address into network byte order (for test fixtures only).
std::uint32_t Ipv4(std::string_view dotted);

/// Builds IPv4 datagrams for tests, field by field. Lengths are computed unless overridden,
/// so that a test can also build datagrams that lie about their lengths.
struct DatagramBuilder {
    std::uint8_t protocol = 6;
    std::uint32_t source = 0;        ///< network byte order
    std::uint32_t destination = 0;   ///< network byte order
    std::uint8_t ipHeaderWords = 5;  ///< IHL
    int totalLengthOverride = -1;    ///< -1: the real length

    // TCP
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequence = 0;
    std::uint32_t ack = 0;
    std::uint8_t tcpFlags = 0x10;  ///< ACK
    std::uint8_t tcpHeaderWords = 5;
    // UDP
    int udpLengthOverride = -1;  ///< -1: the real length

    std::vector<std::uint8_t> payload;

    /// The whole datagram: IP header (options zero-filled), transport header for TCP (6) and
    /// UDP (17), payload.
    std::vector<std::uint8_t> Build() const;
};

}  // namespace ravelin::test
