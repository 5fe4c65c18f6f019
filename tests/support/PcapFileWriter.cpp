#include "support/PcapFileWriter.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace ravelin::test {

namespace {

// Grows the vector once and copies: GCC 12 warns falsely about inserting after a short list.
void AppendBytes(std::vector<std::uint8_t>& frame, std::span<const std::uint8_t> bytes) {
    const std::size_t at = frame.size();
    frame.resize(at + bytes.size());
    std::copy(bytes.begin(), bytes.end(), frame.begin() + static_cast<long>(at));
}

}  // namespace

void WritePcapFile(const std::string& path, int linkType, const std::vector<Frame>& frames) {
    pcap_t* dead = pcap_open_dead(linkType, 262144);
    if (dead == nullptr) throw std::runtime_error("pcap_open_dead failed");
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (dumper == nullptr) {
        const std::string error = pcap_geterr(dead);
        pcap_close(dead);
        throw std::runtime_error("pcap_dump_open failed: " + error);
    }
    for (const Frame& frame : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = frame.seconds;
        header.ts.tv_usec = frame.microseconds;
        header.caplen = static_cast<bpf_u_int32>(frame.bytes.size());
        header.len = header.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

std::vector<std::uint8_t> EthernetFrame(std::span<const std::uint8_t> datagram, int vlanTags,
                                        std::uint16_t etherType) {
    std::vector<std::uint8_t> frame = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2};
    for (int i = 0; i < vlanTags; ++i) {
        const std::uint16_t tpid = i == 0 && vlanTags > 1 ? 0x88A8 : 0x8100;
        frame.insert(frame.end(),
                     {static_cast<std::uint8_t>(tpid >> 8), static_cast<std::uint8_t>(tpid), 0x00,
                      static_cast<std::uint8_t>(10 + i)});
    }
    frame.push_back(static_cast<std::uint8_t>(etherType >> 8));
    frame.push_back(static_cast<std::uint8_t>(etherType));
    AppendBytes(frame, datagram);
    return frame;
}

std::vector<std::uint8_t> LinuxCookedFrame(std::span<const std::uint8_t> datagram,
                                           std::uint16_t protocol) {
    // packet type 0 (to us), ARPHRD_ETHER, address length 6, address, protocol
    std::vector<std::uint8_t> frame = {0, 0, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 1, 0, 0};
    frame.push_back(static_cast<std::uint8_t>(protocol >> 8));
    frame.push_back(static_cast<std::uint8_t>(protocol));
    AppendBytes(frame, datagram);
    return frame;
}

std::vector<std::uint8_t> LinuxCookedV2Frame(std::span<const std::uint8_t> datagram,
                                             std::uint16_t protocol) {
    std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(protocol >> 8),
                                       static_cast<std::uint8_t>(protocol),
                                       0,
                                       0,  // reserved
                                       0,
                                       0,
                                       0,
                                       2,  // interface index
                                       0,
                                       1,  // ARPHRD_ETHER
                                       0,  // packet type
                                       6,  // address length
                                       0x02,
                                       0,
                                       0,
                                       0,
                                       0,
                                       1,
                                       0,
                                       0};
    AppendBytes(frame, datagram);
    return frame;
}

std::vector<std::uint8_t> BsdLoopbackFrame(std::span<const std::uint8_t> datagram,
                                           bool bigEndianFamily, std::uint32_t family) {
    std::vector<std::uint8_t> frame(4);
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndianFamily ? 24 - 8 * i : 8 * i;
        frame[i] = static_cast<std::uint8_t>(family >> shift);
    }
    AppendBytes(frame, datagram);
    return frame;
}

std::string TemporaryPath(const std::string& name) {
    const char* base = std::getenv("TMPDIR");
    std::filesystem::path directory = base != nullptr ? base : "/tmp";
    directory /= "ravelin-tests-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    return (directory / name).string();
}

}  // namespace ravelin::test
