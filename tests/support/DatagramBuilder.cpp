#include "support/DatagramBuilder.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace ravelin::test {

namespace {

void PutBe16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

void PutBe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void PutRaw32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t networkOrder) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&networkOrder);
    for (int i = 0; i < 4; ++i) bytes[at + i] = raw[i];
}

}  // namespace

std::uint32_t Ipv4(std::string_view dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, std::string(dotted).c_str(), &address) != 1) {
        throw std::invalid_argument("bad address in test");
    }
    return address.s_addr;
}

std::vector<std::uint8_t> DatagramBuilder::Build() const {
    // An IHL below 5 is a lie about the header, not a shorter one: the fixed 20 bytes are
    // always there, and the transport header follows them rather than overwriting them.
    const std::size_t ipHeader = std::max<std::size_t>(std::size_t{ipHeaderWords} * 4, 20);
    std::size_t transportHeader = 0;
    if (protocol == 6) transportHeader = std::size_t{tcpHeaderWords} * 4;
    if (protocol == 17) transportHeader = 8;
    std::vector<std::uint8_t> bytes(ipHeader + transportHeader + payload.size(), 0);

    bytes[0] = static_cast<std::uint8_t>(0x40 | (ipHeaderWords & 0x0F));
    const int totalLength =
        totalLengthOverride >= 0 ? totalLengthOverride : static_cast<int>(bytes.size());
    PutBe16(bytes, 2, static_cast<std::uint16_t>(totalLength));
    bytes[8] = 64;
    bytes[9] = protocol;
    PutRaw32(bytes, 12, source);
    PutRaw32(bytes, 16, destination);

    if (protocol == 6 && transportHeader >= 20) {
        PutBe16(bytes, ipHeader, sourcePort);
        PutBe16(bytes, ipHeader + 2, destinationPort);
        PutBe32(bytes, ipHeader + 4, sequence);
        PutBe32(bytes, ipHeader + 8, ack);
        bytes[ipHeader + 12] = static_cast<std::uint8_t>(tcpHeaderWords << 4);
        bytes[ipHeader + 13] = tcpFlags;
    } else if (protocol == 17) {
        PutBe16(bytes, ipHeader, sourcePort);
        PutBe16(bytes, ipHeader + 2, destinationPort);
        const int udpLength =
            udpLengthOverride >= 0 ? udpLengthOverride : static_cast<int>(8 + payload.size());
        PutBe16(bytes, ipHeader + 4, static_cast<std::uint16_t>(udpLength));
    }
    std::copy(payload.begin(), payload.end(),
              bytes.begin() + static_cast<long>(ipHeader + transportHeader));
    return bytes;
}

}  // namespace ravelin::test
