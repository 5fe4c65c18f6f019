#include "rows/PacketRow.h"

#include <algorithm>

#include "decode/IpHeader.h"
#include "decode/TextForms.h"

namespace ravelin {

void AppendPacketCellText(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                          int column, std::string& out, const Ipv6AddressBook& addresses) {
    const PacketRow& row = stored.row;
    const auto appendAddress = [&](std::uint32_t address) {
        if (row.ipv6) {
            out += Ipv6AddressText(addresses.At(address)).view();
        } else {
            out += AddressText(address).view();
        }
    };
    switch (column) {
        case 0:
            out += DecimalText(stored.serial).view();
            break;
        case 1:
            out += TimeText(row.hour, row.minute, row.second).view();
            break;
        case 2:
            out += ProtocolName(row.protocol);
            break;
        case 3:
            appendAddress(row.sourceAddress);
            break;
        case 4:
            if (row.hasPorts) out += DecimalText(row.sourcePort).view();
            break;
        case 5:
            appendAddress(row.destinationAddress);
            break;
        case 6:
            if (row.hasPorts) out += DecimalText(row.destinationPort).view();
            break;
        case 7:
            out += DecimalText(row.dataLength).view();
            break;
        case kPacketDataColumn:
            AppendPayloadText(payload, PacketRow::kPreviewBytes, out);
            break;
        default:
            break;
    }
}

void AppendPreviewBytes(std::span<const std::uint8_t> payload, std::string& out) {
    const std::size_t start = out.size();
    const std::size_t count = std::min(payload.size(), PacketRow::kPreviewBytes);
    out.append(reinterpret_cast<const char*>(payload.data()), count);
    BlankZeroBytes(std::span<char>(out).subspan(start));
}

}  // namespace ravelin
