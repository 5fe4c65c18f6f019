// A whole capture file of arbitrary bytes, opened and read the way the program replays one.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "capture/DatagramBatch.h"
#include "capture/linux/PcapFileSource.h"
#include "decode/DatagramDecoder.h"

namespace {

using ravelin::fuzz::Check;

// Enough reads for every seed file, few enough that a huge file cannot stall the fuzzer.
constexpr int kMaximumReads = 200;
constexpr std::size_t kDatagramsPerRead = 16;

const std::string& CapturePath() {
    static const std::string path = ravelin::fuzz::TempPath("capture.pcap");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ravelin::fuzz::WriteWholeFile(CapturePath(), data, size);
    ravelin::PcapFileSource source(CapturePath());
    // Like the capture session, every step is tried even after a failed one: each must cope
    // with what the one before left.
    source.Create();
    source.Configure();
    source.Bind();
    source.SetFilter();

    ravelin::DatagramBatch batch;
    for (int read = 0; read < kMaximumReads; ++read) {
        batch.Clear();
        const auto result = source.Read(batch, kDatagramsPerRead);
        Check(batch.size() <= kDatagramsPerRead, "a read gives at most what was asked");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const ravelin::Datagram datagram = batch[i];
            ravelin::DecodeDatagram(datagram.bytes);
        }
        if (result != ravelin::PacketSource::ReadResult::kData) break;
    }
    return 0;
}
