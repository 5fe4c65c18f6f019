#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "rows/Ipv6AddressBook.h"
#include "rows/PacketRecord.h"
#include "rows/RowStore.h"

namespace ravelin {

/// One row of the packet list, compact: the column texts are formatted when asked for.
struct PacketRow {
    static constexpr int kColumnCount = 9;
    static constexpr std::size_t kPreviewBytes = 128;

    PacketRecord record;
    /// IPv4: the address in network byte order. IPv6: its number in the capture's
    /// Ipv6AddressBook, which keeps each address once.
    std::uint32_t sourceAddress = 0;
    std::uint32_t destinationAddress = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint16_t dataLength = 0;  ///< the data-length column
    std::uint8_t protocol = 0;
    bool hasPorts : 1 = false;        ///< TCP or UDP
    bool sentByThisHost : 1 = false;  ///< the direction that the row's colour shows
    bool ipv6 : 1 = false;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
};

// A million rows are tens of megabytes: keep the row as small as its fields allow.
static_assert(sizeof(StoredRow<PacketRow>) <= 44);

/// The data column's index.
constexpr int kPacketDataColumn = 8;

/// Appends the text of one column of a stored packet row to `out`, as UTF-8: serial, time,
/// protocol, source address (an IPv6 one from `addresses`) and port, destination address and port,
/// data length, and the preview: at most 128 bytes of `payload` (the row's, from the spool) as the
/// text pane shows them (AppendPayloadText: UTF-8 sequences as their characters, every other byte
/// as one character, zero bytes as spaces).
void AppendPacketCellText(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                          int column, std::string& out, const Ipv6AddressBook& addresses);

/// The preview's bytes themselves: at most the first 128 bytes of `payload`, zero bytes made
/// spaces, every other byte as it is (for output that escapes bytes, not characters).
void AppendPreviewBytes(std::span<const std::uint8_t> payload, std::string& out);

}  // namespace ravelin
