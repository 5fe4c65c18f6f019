#pragma once

#include <algorithm>
#include <cstdint>

#include "decode/DatagramDecoder.h"
#include "rows/Ipv6AddressBook.h"
#include "rows/PacketRow.h"
#include "rows/TimeOfDay.h"

namespace ravelin {

/// The packet row of a decoded datagram captured at local `time`: what the columns show, the
/// direction, and the record's payload length and TCP numbers and flags. Where the payload lies
/// in the spool is set when the row is listed; IPv6 addresses are numbered in `addresses`.
/// Inline: it runs for every packet.
inline PacketRow MakePacketRow(const DecodedDatagram& decoded, TimeOfDay time, bool sentByThisHost,
                               Ipv6AddressBook& addresses) {
    PacketRow row;
    if (decoded.ipv6) {
        row.ipv6 = true;
        row.sourceAddress = addresses.Number(decoded.ip6.sourceAddress);
        row.destinationAddress = addresses.Number(decoded.ip6.destinationAddress);
        // 40 bytes of header and a payload of up to 65535: a length past what the column
        // holds shows as the most it holds.
        row.dataLength = static_cast<std::uint16_t>(std::min(decoded.dataLength, 0xFFFF));
    } else {
        row.sourceAddress = decoded.ip.sourceAddress;
        row.destinationAddress = decoded.ip.destinationAddress;
        row.dataLength = static_cast<std::uint16_t>(decoded.dataLength);
    }
    row.protocol = decoded.ip.protocol;
    row.hour = time.hour;
    row.minute = time.minute;
    row.second = time.second;
    row.sentByThisHost = sentByThisHost;
    if (decoded.transport != Transport::kNone) {
        row.hasPorts = true;
        row.sourcePort = decoded.sourcePort();
        row.destinationPort = decoded.destinationPort();
    }
    row.record.length = static_cast<std::uint16_t>(decoded.payload.size());
    if (decoded.transport == Transport::kTcp) {
        row.record.sequenceNumber = decoded.tcp.sequenceNumber;
        row.record.ackNumber = decoded.tcp.ackNumber;
        row.record.synFlag = decoded.tcp.synFlag;
        row.record.ackFlag = decoded.tcp.ackFlag;
        row.record.pshFlag = decoded.tcp.pshFlag;
    }
    return row;
}

}  // namespace ravelin
