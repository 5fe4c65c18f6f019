// The capture helper's stream as Ravelin reads it, from bytes that may come from a helper gone
// wrong: every record cut out of it, every payload read back, and the kernel events and SYNs
// decoded as the attribution relays decode them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "attribution/ConnectionOpenings.h"
#include "attribution/linux/SocketEventRecord.h"
#include "capture/CaptureRecords.h"
#include "decode/LinkLayer.h"

namespace {

using ravelin::fuzz::Check;
using namespace ravelin;

void ReadPayload(const CaptureRecord& record) {
    switch (record.type) {
        case CaptureRecordType::kEvents:
            (void)ReadEventsPayload(record.payload);
            break;
        case CaptureRecordType::kStep:
            (void)ReadStepPayload(record.payload);
            break;
        case CaptureRecordType::kReady:
            (void)ReadReadyPayload(record.payload);
            break;
        case CaptureRecordType::kFrame:
            if (const auto frame = ReadFramePayload(record.payload)) {
                Check(frame->frame.size() + 16 == record.payload.size(), "frame length");
                for (int linkType : {1, 113, 276, 12})
                    (void)ExtractIpDatagram(linkType, frame->frame);
            }
            break;
        case CaptureRecordType::kSocketEvent:
            (void)DecodeSocketEventRecord(record.payload);
            break;
        case CaptureRecordType::kSyn:
            (void)OpeningOfSyn(record.payload);
            break;
        case CaptureRecordType::kStatistics:
            (void)ReadStatisticsPayload(record.payload);
            break;
        case CaptureRecordType::kFailure:
            (void)ReadFailurePayload(record.payload);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    for (;;) {
        CaptureRecord record;
        std::size_t used = 0;
        if (ReadCaptureRecord(bytes, record, used) != NextRecord::kRecord) break;
        Check(used >= 8 && used <= bytes.size(), "a record within the bytes");
        Check(record.payload.data() == bytes.data() + 8 && record.payload.size() == used - 8,
              "the payload right behind its header");
        // Written again, a record is the same bytes: what the helper sends is what is read.
        CaptureRecordWriter again;
        again.Raw(record.type, record.payload);
        Check(std::equal(again.bytes().begin(), again.bytes().end(), bytes.begin()),
              "the same record written again");
        ReadPayload(record);
        bytes = bytes.subspan(used);
    }
    return 0;
}
