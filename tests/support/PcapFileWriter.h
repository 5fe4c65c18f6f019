#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ravelin::test {

/// A frame of a capture file to be written.
struct Frame {
    std::vector<std::uint8_t> bytes;
    std::int64_t seconds = 0;
    std::int32_t microseconds = 0;
};

/// Writes frames of one data-link type (a DLT_ value) to a pcap file with libpcap itself.
void WritePcapFile(const std::string& path, int linkType, const std::vector<Frame>& frames);

/// Frames around an IPv4 datagram for the link types Ravelin reads.
std::vector<std::uint8_t> EthernetFrame(std::span<const std::uint8_t> datagram, int vlanTags = 0,
                                        std::uint16_t etherType = 0x0800);
std::vector<std::uint8_t> LinuxCookedFrame(std::span<const std::uint8_t> datagram,
                                           std::uint16_t protocol = 0x0800);
std::vector<std::uint8_t> LinuxCookedV2Frame(std::span<const std::uint8_t> datagram,
                                             std::uint16_t protocol = 0x0800);
/// BSD loopback (DLT_NULL): family in the given byte order.
std::vector<std::uint8_t> BsdLoopbackFrame(std::span<const std::uint8_t> datagram,
                                           bool bigEndianFamily, std::uint32_t family = 2);

/// A fresh path in the test's temporary directory.
std::string TemporaryPath(const std::string& name);

}  // namespace ravelin::test
