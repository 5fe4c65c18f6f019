#include "analysis/PacketLinker.h"

#include <algorithm>
#include <cstdint>

namespace ravelin {
namespace {

/// What linking needs of a row, copied out so that no pointer into the store outlives its lock.
struct LinkFields {
    int index = 0;
    std::uint32_t sequenceNumber = 0;
    std::uint32_t ackNumber = 0;
    std::int32_t length = 0;
    bool pshFlag = false;
};

// The lock is held for one chunk at a time, so capture can go on during a long scan.
constexpr int kScanChunk = 4096;

/// Calls `visit(const LinkFields&)` for the rows [first, end) that still exist, in order, until
/// it returns false. Returns the index it stopped at, or `end` when it never stopped.
template <typename Visitor>
int ScanRows(const RowStore<PacketRow>& packets, int first, int end, Visitor&& visit) {
    std::vector<LinkFields> chunk;
    chunk.reserve(static_cast<std::size_t>(std::min(kScanChunk, std::max(end - first, 0))));
    for (int chunkStart = first; chunkStart < end; chunkStart += kScanChunk) {
        const int count = std::min(kScanChunk, end - chunkStart);
        chunk.clear();
        const int visited =
            packets.ReadRows(chunkStart, count, [&](int index, const StoredRow<PacketRow>& row) {
                const PacketRecord& record = row.row.record;
                chunk.push_back({index, record.sequenceNumber, record.ackNumber, record.length,
                                 record.pshFlag});
            });
        for (const LinkFields& fields : chunk) {
            if (!visit(fields)) return fields.index;
        }
        // Fewer rows than asked for: the list was cleared meanwhile, nothing further exists.
        if (visited < count) break;
    }
    return end;
}

}  // namespace

std::vector<int> LinkedRows(const RowStore<PacketRow>& packets, int startRow) {
    if (startRow < 0) return {};
    std::vector<int> marked{startRow};
    const int rowCount = packets.rowCount();

    LinkFields start;
    const bool found = packets.ReadRow(startRow, [&](const StoredRow<PacketRow>& row) {
        const PacketRecord& record = row.row.record;
        start = {startRow, record.sequenceNumber, record.ackNumber, record.length, record.pshFlag};
    });
    if (!found || startRow >= rowCount) return marked;

    // The rest of the request: the segments sharing its ack number, up to the one with PSH.
    int requestEnd = startRow;
    if (!start.pshFlag) {
        requestEnd = ScanRows(packets, startRow + 1, rowCount, [&](const LinkFields& row) {
            if (row.ackNumber != start.ackNumber) return true;
            marked.push_back(row.index);
            return !row.pshFlag;
        });
        if (requestEnd >= rowCount) return marked;
    }

    // The first segment of the answer carries data where the request's acknowledgement points.
    std::uint32_t answerAck = 0;
    const int answerStart = ScanRows(packets, requestEnd + 1, rowCount, [&](const LinkFields& row) {
        if (row.sequenceNumber != start.ackNumber || row.length <= 0) return true;
        answerAck = row.ackNumber;
        return false;
    });
    if (answerStart >= rowCount) return marked;
    marked.push_back(answerStart);

    // The rest of the answer: everything the server sends acknowledges the same request bytes.
    ScanRows(packets, answerStart + 1, rowCount, [&](const LinkFields& row) {
        if (row.ackNumber == answerAck) marked.push_back(row.index);
        return true;
    });
    return marked;
}

}  // namespace ravelin
