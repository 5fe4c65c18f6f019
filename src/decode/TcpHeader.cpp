#include "decode/TcpHeader.h"

#include "decode/ByteReader.h"

namespace ravelin {

bool TcpHeader::Parse(std::span<const std::uint8_t> segment) {
    sequenceNumber = 0;
    ackNumber = 0;
    if (segment.size() < 20) return false;
    ByteReader reader(segment);
    sourcePort = reader.ReadBe16();
    destinationPort = reader.ReadBe16();
    sequenceNumber = reader.ReadBe32();
    ackNumber = reader.ReadBe32();
    headerLength = static_cast<std::uint8_t>((reader.ReadU8() >> 4) * 4);
    const std::uint8_t flags = reader.ReadU8();
    pshFlag = (flags & 0x08) != 0;
    synFlag = (flags & 0x02) != 0;
    ackFlag = (flags & 0x10) != 0;
    reader.Skip(2);  // window
    checksum = reader.ReadRaw16();
    return !reader.Failed();
}

}  // namespace ravelin
