#include "decode/UdpHeader.h"

#include "decode/ByteReader.h"

namespace ravelin {

bool UdpHeader::Parse(std::span<const std::uint8_t> datagram) {
    headerLength = kHeaderLength;
    if (datagram.size() < kHeaderLength) return false;
    ByteReader reader(datagram);
    sourcePort = reader.ReadBe16();
    destinationPort = reader.ReadBe16();
    udpLength = reader.ReadBe16();
    checksum = reader.ReadRaw16();
    return !reader.Failed();
}

}  // namespace ravelin
