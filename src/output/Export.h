#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rows/CaptureLists.h"
#include "rows/PacketRow.h"
#include "rows/RowStore.h"

namespace ravelin {

/// The longest URL that goes to the clipboard; longer ones are cut.
constexpr std::size_t kMaxCopiedUrlLength = 1023;

/// The non-empty URLs, each cut to kMaxCopiedUrlLength characters, joined by CR LF with no
/// line break after the last.
std::string JoinUrls(const std::vector<std::string>& urls);

/// The clipboard text of one packet: time, protocol, both endpoints and the data length, each
/// on a CR LF line, a blank line, the payload as text up to its first zero byte, a blank line
/// and the hex dump of the whole payload. An IPv6 endpoint is "[address]:port".
std::string CopyAllText(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                        const Ipv6AddressBook& addresses);

/// The address of the far side: the source, unless the source is the bound address (compared
/// ignoring case), then the destination. With the bound address 0.0.0.0, the destination of a
/// row sent by this host (PacketRow::sentByThisHost), else the source; so too with "::", and
/// for a row of the other family than the bound address's.
std::string RemoteAddressText(const StoredRow<PacketRow>& stored, std::string_view boundAddressText,
                              const Ipv6AddressBook& addresses);

/// The far side as "address:port" ("[address]:port" for IPv6), chosen as RemoteAddressText
/// chooses it; the port is empty for rows without ports.
std::string RemoteEndpointText(const StoredRow<PacketRow>& stored,
                               std::string_view boundAddressText, const Ipv6AddressBook& addresses);

struct SaveResult {
    bool created = false;  ///< the file was created or truncated
    bool written = false;  ///< every payload was written and the file closed without error
    int errorCode = 0;     ///< errno of the failure, 0 on success
};

/// Writes the payloads of `rowsAscending` one after the other, nothing between them, to a new
/// or truncated file at `path`. Rows that no longer exist or have no payload add nothing.
/// Stops at the first failed write.
SaveResult SavePayloads(const std::string& path, const CaptureLists& lists,
                        const std::vector<int>& rowsAscending);

}  // namespace ravelin
