#include "output/Export.h"

#include <cstdint>
#include <cstring>

#include "base/FileIo.h"
#include "output/HexDump.h"

namespace ravelin {
namespace {

// Columns of the packet list that the texts here are made of.
constexpr int kTimeColumn = 1;
constexpr int kProtocolColumn = 2;
constexpr int kSourceAddressColumn = 3;
constexpr int kSourcePortColumn = 4;
constexpr int kDestinationAddressColumn = 5;
constexpr int kDestinationPortColumn = 6;
constexpr int kDataLengthColumn = 7;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t index = 0; index < left.size(); ++index) {
        if (LowerAscii(left[index]) != LowerAscii(right[index])) return false;
    }
    return true;
}

void AppendLine(std::string& out, std::string_view label, const StoredRow<PacketRow>& stored,
                int column, const Ipv6AddressBook& addresses) {
    out += label;
    AppendPacketCellText(stored, {}, column, out, addresses);
    out += "\r\n";
}

void AppendEndpoint(std::string& out, const StoredRow<PacketRow>& stored, int addressColumn,
                    int portColumn, const Ipv6AddressBook& addresses) {
    // An IPv6 address holds colons of its own: the port needs the brackets to be told apart.
    if (stored.row.ipv6) out += '[';
    AppendPacketCellText(stored, {}, addressColumn, out, addresses);
    if (stored.row.ipv6) out += ']';
    out += ':';
    AppendPacketCellText(stored, {}, portColumn, out, addresses);
}

/// True when the source side is the bound address, so that the far side is the destination.
/// Bound to all interfaces, no source is 0.0.0.0 or ::, and with an address of one family a
/// row of the other was sent or received by the same device: the row's own direction says it.
bool SourceIsBound(const StoredRow<PacketRow>& stored, std::string_view boundAddressText,
                   const Ipv6AddressBook& addresses) {
    const bool boundIpv6 = boundAddressText.find(':') != std::string_view::npos;
    if (boundAddressText == "0.0.0.0" || boundAddressText == "::" || boundIpv6 != stored.row.ipv6) {
        return stored.row.sentByThisHost;
    }
    std::string source;
    AppendPacketCellText(stored, {}, kSourceAddressColumn, source, addresses);
    return EqualIgnoringCase(source, boundAddressText);
}

}  // namespace

std::string JoinUrls(const std::vector<std::string>& urls) {
    std::string text;
    for (const std::string& url : urls) {
        if (url.empty()) continue;
        if (!text.empty()) text += "\r\n";
        text.append(url, 0, kMaxCopiedUrlLength);
    }
    return text;
}

std::string CopyAllText(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                        const Ipv6AddressBook& addresses) {
    std::string text;
    AppendLine(text, "Time:", stored, kTimeColumn, addresses);
    AppendLine(text, "Protocol:", stored, kProtocolColumn, addresses);
    text += "Source:";
    AppendEndpoint(text, stored, kSourceAddressColumn, kSourcePortColumn, addresses);
    text += "\r\nDest:";
    AppendEndpoint(text, stored, kDestinationAddressColumn, kDestinationPortColumn, addresses);
    text += "\r\n";
    AppendLine(text, "DataLength:", stored, kDataLengthColumn, addresses);
    text += "\r\n";
    // The payload is read as a C string: the text ends at its first zero byte.
    const auto* chars = reinterpret_cast<const char*>(payload.data());
    text.append(chars, payload.empty() ? 0 : ::strnlen(chars, payload.size()));
    text += "\r\n\r\n";
    text += HexDump(payload);
    return text;
}

std::string RemoteAddressText(const StoredRow<PacketRow>& stored, std::string_view boundAddressText,
                              const Ipv6AddressBook& addresses) {
    std::string text;
    AppendPacketCellText(stored, {},
                         SourceIsBound(stored, boundAddressText, addresses)
                             ? kDestinationAddressColumn
                             : kSourceAddressColumn,
                         text, addresses);
    return text;
}

std::string RemoteEndpointText(const StoredRow<PacketRow>& stored,
                               std::string_view boundAddressText,
                               const Ipv6AddressBook& addresses) {
    std::string text;
    if (SourceIsBound(stored, boundAddressText, addresses)) {
        AppendEndpoint(text, stored, kDestinationAddressColumn, kDestinationPortColumn, addresses);
    } else {
        AppendEndpoint(text, stored, kSourceAddressColumn, kSourcePortColumn, addresses);
    }
    return text;
}

SaveResult SavePayloads(const std::string& path, const CaptureLists& lists,
                        const std::vector<int>& rowsAscending) {
    SaveResult result;
    // A failed save keeps what fitted; the error says why it ends there.
    const CallResult saved = WriteFile(path, FailedFile::kKeep, [&](int descriptor) {
        result.created = true;
        std::vector<std::uint8_t> bytes;
        for (int row : rowsAscending) {
            // Read from the spool and written outside every lock: a slow disk must not stall
            // capture.
            bytes.clear();
            if (!lists.ReadPacket(
                    row, kWholePayload, bytes,
                    [](const StoredRow<PacketRow>&, std::span<const std::uint8_t>) {})) {
                bytes.clear();
            }
            if (CallResult written = WriteAll(descriptor, bytes); !written.succeeded()) {
                return written;
            }
        }
        return CallResult::Success();
    });
    result.written = saved.succeeded();
    result.errorCode = saved.succeeded() ? 0 : saved.error().code;
    return result;
}

}  // namespace ravelin
