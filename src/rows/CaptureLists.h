#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/PcapngFormat.h"
#include "rows/HttpRow.h"
#include "rows/Ipv6AddressBook.h"
#include "rows/PacketOwner.h"
#include "rows/PacketRow.h"
#include "rows/PayloadSpool.h"
#include "rows/RowStore.h"

namespace ravelin {

/// ReadPacket's limit for the whole payload.
constexpr std::size_t kWholePayload = static_cast<std::size_t>(-1);

/// A packet on its way into the lists, with its HTTP row where it carries a request. The
/// strings are owned, so that a packet can wait for the rest of its group.
struct PacketToList {
    PacketRow row;
    Datagram datagram;  ///< its frame goes to the spool
    std::size_t payloadStart = 0;
    Colour colour = kNoColour;
    int ownerPid = kNoOwner;
    std::string ownerName;
    std::optional<HttpRow> request;  ///< packetRow is filled in as the packet is listed
    std::string url;
    Colour requestColour = kNoColour;
    // Where the rows went: set by AddPackets.
    int packetRow = -1;
    int requestRow = -1;
};

/// The two lists that capture fills, and the spool that holds their packets' bytes. The
/// pipeline adds one datagram's packet row and HTTP row under `updateMutex`, and a clear of
/// both lists takes it too, so an HTTP row never refers to a packet row of another generation
/// and the spool holds exactly the listed packets, in order. Readers of single rows need only
/// the stores' own locks.
struct CaptureLists {
    explicit CaptureLists(std::unique_ptr<PayloadSpool> payloadSpool)
        : spool(std::move(payloadSpool)) {}

    RowStore<PacketRow> packets;
    RowStore<HttpRow> requests;
    /// The IPv6 addresses that packet rows name by number.
    Ipv6AddressBook addresses;
    std::mutex updateMutex;
    const std::unique_ptr<PayloadSpool> spool;

    /// Lists a packet: its frame goes to the spool, with a comment that names `owner` where it
    /// is known, and the row points at the payload, which begins `payloadStart` bytes into the
    /// frame. Call with `updateMutex` held. Nothing when the spool cannot be written
    /// (spool->failure()).
    std::optional<int> AddPacket(PacketRow row, const Datagram& datagram, std::size_t payloadStart,
                                 Colour colour, PacketOwner owner) {
        const std::string_view comment =
            owner.pid == kNoOwner ? std::string_view() : ownerComments_.For(owner.pid, owner.name);
        const auto frameOffset = spool->Append(datagram, comment);
        if (!frameOffset) return std::nullopt;
        row.record.SetPayloadOffset(*frameOffset + payloadStart);
        return packets.InsertRow(row, {}, colour);
    }

    /// Lists a group of packets in order, each as AddPacket would, with their HTTP rows, taking
    /// each lock once for the group. Call with `updateMutex` held. Returns how many were
    /// listed: all of them, or those before the first that the spool could not take.
    std::size_t AddPackets(std::span<PacketToList> group) {
        std::size_t stored = 0;
        {
            PayloadSpool::Appender frames(*spool);
            for (PacketToList& packet : group) {
                const std::string_view comment =
                    packet.ownerPid == kNoOwner
                        ? std::string_view()
                        : ownerComments_.For(packet.ownerPid, packet.ownerName);
                const auto frameOffset = frames.Append(packet.datagram, comment);
                if (!frameOffset) break;
                packet.row.record.SetPayloadOffset(*frameOffset + packet.payloadStart);
                ++stored;
            }
        }
        const std::span<PacketToList> listed = group.first(stored);
        bool anyRequest = false;
        {
            RowStore<PacketRow>::Appender rows(packets);
            for (PacketToList& packet : listed) {
                packet.packetRow = rows.InsertRow(packet.row, {}, packet.colour);
                packet.requestRow = -1;
                anyRequest = anyRequest || packet.request.has_value();
            }
        }
        if (anyRequest) {
            RowStore<HttpRow>::Appender rows(requests);
            for (PacketToList& packet : listed) {
                if (!packet.request) continue;
                packet.request->packetRow = packet.packetRow;
                const auto* urlBytes = reinterpret_cast<const std::uint8_t*>(packet.url.data());
                packet.requestRow = rows.InsertRow(*packet.request, {urlBytes, packet.url.size()},
                                                   packet.requestColour);
            }
        }
        return stored;
    }

    /// Runs `reader(const StoredRow<PacketRow>&, std::span<const std::uint8_t> payload)` on a
    /// copy of one row with at most `maxPayload` bytes of its payload, outside every lock.
    /// False when the row is gone (a clear came between).
    template <typename Reader>
    bool ReadPacket(int row, std::size_t maxPayload, std::vector<std::uint8_t>& buffer,
                    Reader&& reader) const {
        // The spool's generation is read before the row: a clear in between makes the spool
        // refuse the read instead of giving another generation's bytes.
        const std::uint64_t generation = spool->generation();
        std::optional<StoredRow<PacketRow>> stored;
        if (!packets.ReadRow(row, [&](const StoredRow<PacketRow>& found) { stored = found; })) {
            return false;
        }
        const std::size_t length = stored->row.record.length;
        if (!spool->Read(stored->row.record.payloadOffset(),
                         length < maxPayload ? length : maxPayload, generation, buffer)) {
            return false;
        }
        reader(*stored, std::span<const std::uint8_t>(buffer));
        return true;
    }

    /// The rows of both lists, taken out together; they are freed when this goes.
    struct Detached {
        RowStore<HttpRow>::DetachedRows requests;
        RowStore<PacketRow>::DetachedRows packets;
    };

    /// Empties both lists and the spool at once, between two of the pipeline's datagrams, so
    /// that no HTTP row survives that refers to a packet row of the old lists. The caller frees
    /// the rows by letting the result go, outside any lock.
    Detached ClearBoth() {
        std::lock_guard update(updateMutex);
        Detached detached;
        detached.requests = requests.ClearRows();
        detached.packets = packets.ClearRows();
        // After the rows: a reader that took the spool's generation before this and a row
        // after it is refused by the spool.
        spool->Reset();
        return detached;
    }

private:
    pcapng::OwnerComments ownerComments_;  // guarded by updateMutex
};

}  // namespace ravelin
