// Costs of the steps every captured datagram goes through, one datagram at a time, so that a
// slow step shows up by name before it shows up as a slow replay (bench/replay.sh).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/HttpRecogniser.h"
#include "analysis/WebRecogniser.h"
#include "capture/DatagramBatch.h"
#include "decode/DatagramDecoder.h"
#include "decode/LinkLayer.h"
#include "decode/QuicInitial.h"
#include "decode/QuicInitialCrypto.h"
#include "pipeline/PacketPipeline.h"
#include "pipeline/PipelineSteps.h"
#include "pipeline/ProcessCounters.h"
#include "rows/CaptureLists.h"
#include "rows/PacketRow.h"
#include "rows/RowStore.h"
#include "support/TlsBuilder.h"

namespace {

using ravelin::CaptureTime;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kClient[4] = {10, 0, 0, 2};
constexpr std::uint8_t kServer[4] = {192, 0, 2, 80};
constexpr CaptureTime kTime{1704110400, 0};
constexpr int kLinkTypeEthernet = 1;  // DLT_EN10MB
// Rows listed before a store is cleared: as many as a long capture lists between clears, and
// enough for the every-1000th-row trim to run 200 times per store.
constexpr int kRowsPerStore = 200'000;

void PutBe16(Bytes& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void PutBe32(Bytes& out, std::size_t at, std::uint32_t value) {
    PutBe16(out, at, value >> 16);
    PutBe16(out, at + 2, value & 0xFFFF);
}

/// An IPv4 datagram with a 20-byte header, the transport header and `payload` behind it.
Bytes Ipv4(std::uint8_t protocol, bool outbound, const Bytes& transportHeader,
           std::span<const std::uint8_t> payload) {
    // Sized once and filled in place: growing it by insert() trips a false -Warray-bounds in
    // GCC 12.
    Bytes out(20 + transportHeader.size() + payload.size());
    out[0] = 0x45;
    PutBe16(out, 2, static_cast<std::uint32_t>(out.size()));
    out[8] = 64;
    out[9] = protocol;
    std::memcpy(&out[12], outbound ? kClient : kServer, 4);
    std::memcpy(&out[16], outbound ? kServer : kClient, 4);
    std::copy(transportHeader.begin(), transportHeader.end(), out.begin() + 20);
    std::copy(payload.begin(), payload.end(),
              out.begin() + 20 + static_cast<std::ptrdiff_t>(transportHeader.size()));
    return out;
}

Bytes Tcp(bool outbound, std::uint8_t flags, std::span<const std::uint8_t> payload) {
    Bytes header(20);
    PutBe16(header, 0, outbound ? 40512 : 80);
    PutBe16(header, 2, outbound ? 80 : 40512);
    PutBe32(header, 4, 0x12345678);
    PutBe32(header, 8, 0x9ABCDEF0);
    header[12] = 5 << 4;
    header[13] = flags;
    PutBe16(header, 14, 64240);
    return Ipv4(6, outbound, header, payload);
}

Bytes Udp(bool outbound, std::span<const std::uint8_t> payload) {
    Bytes header(8);
    PutBe16(header, 0, outbound ? 45123 : 53);
    PutBe16(header, 2, outbound ? 53 : 45123);
    PutBe16(header, 4, static_cast<std::uint32_t>(8 + payload.size()));
    return Ipv4(17, outbound, header, payload);
}

Bytes TcpFrom(std::uint16_t clientPort, std::uint16_t serverPort, std::uint8_t flags,
              std::span<const std::uint8_t> payload) {
    Bytes datagram = Tcp(true, flags, payload);
    PutBe16(datagram, 20, clientPort);
    PutBe16(datagram, 22, serverPort);
    return datagram;
}

Bytes UdpFrom(std::uint16_t clientPort, std::uint16_t serverPort,
              std::span<const std::uint8_t> payload) {
    Bytes datagram = Udp(true, payload);
    PutBe16(datagram, 20, clientPort);
    PutBe16(datagram, 22, serverPort);
    return datagram;
}

Bytes Icmp(bool outbound) {
    Bytes header(8);
    header[0] = outbound ? 8 : 0;
    const Bytes echo(56, 0x61);
    return Ipv4(1, outbound, header, echo);
}

Bytes Filler(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return bytes;
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr std::string_view kRequest =
    "GET /assets/js/module-042.js HTTP/1.1\r\nHost: www.example.com\r\nAccept: */*\r\n\r\n";
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kPshAck = 0x18;

/// A typical TCP datagram: a full-size segment of a download.
const Bytes& FullSegment() {
    static const Bytes datagram = Tcp(false, kAck, Filler(1448));
    return datagram;
}

/// 1000 datagrams in the proportions of bench/make_capture.py's traffic (pure ACKs, full and
/// partial data segments, HTTP requests, DNS, ICMP echo), in a fixed pseudo-random order.
const ravelin::DatagramBatch& Mix() {
    static const ravelin::DatagramBatch batch = [] {
        const Bytes data = Filler(1448);
        const Bytes dnsQuery = Filler(33);
        const Bytes dnsResponse = Filler(49);
        struct Kind {
            int weight;  // per 1000
            Bytes datagram;
        };
        const std::array<Kind, 8> kinds{{
            {360, Tcp(true, kAck, {})},
            {353, Tcp(false, kAck, data)},
            {68, Tcp(false, kPshAck, std::span(data).first(700))},
            {110, Tcp(true, kPshAck, AsBytes(kRequest))},
            {42, Udp(true, dnsQuery)},
            {42, Udp(false, dnsResponse)},
            {13, Icmp(true)},
            {12, Icmp(false)},
        }};
        std::vector<double> weights;
        for (const Kind& kind : kinds) weights.push_back(kind.weight);
        std::mt19937 random(20240101);
        std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
        ravelin::DatagramBatch mix;
        for (int i = 0; i < 1000; ++i) {
            mix.Add(kinds[pick(random)].datagram, kTime);
        }
        return mix;
    }();
    return batch;
}

/// 20,000 datagrams: Mix()'s traffic for nine tenths, and for the last tenth connections that
/// open, half with a TLS ClientHello over TCP (curl's size) and half with a QUIC client Initial
/// of 1200 bytes, each on a connection of its own. The 1000 QUIC connections are more than the
/// QUIC step remembers, so every Initial is opened afresh, as a new connection's is.
const ravelin::DatagramBatch& WebMix() {
    static const ravelin::DatagramBatch batch = [] {
        namespace test = ravelin::test;
        const Bytes hello = test::ClientHelloBuilder::Modern("www.example.com", 420).Build();
        const Bytes records = test::HandshakeRecords(hello);
        const ravelin::DatagramBatch& plain = Mix();
        std::mt19937 random(20240102);
        std::uniform_int_distribution<int> pick(0, 19);
        ravelin::DatagramBatch mix;
        std::size_t next = 0;
        std::uint16_t connection = 0;
        for (int i = 0; i < 20'000; ++i) {
            const int kind = pick(random);
            if (kind == 0) {
                mix.Add(TcpFrom(static_cast<std::uint16_t>(20000 + connection++), 443, kPshAck,
                                records),
                        kTime);
            } else if (kind == 1) {
                Bytes id = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0, 0};
                PutBe16(id, 6, connection);
                const Bytes initial = test::SealClientInitial(ravelin::QuicVersion::kVersion1, id,
                                                              {}, test::CryptoFrame(0, hello), 0);
                mix.Add(UdpFrom(static_cast<std::uint16_t>(20000 + connection++), 443, initial),
                        kTime);
            } else {
                mix.Add(plain[next].bytes, kTime);
                if (++next == plain.size()) next = 0;
            }
        }
        return mix;
    }();
    return batch;
}

void BM_DecodeDatagram(benchmark::State& state) {
    const Bytes& datagram = FullSegment();
    for (auto _ : state) {
        auto decoded = ravelin::DecodeDatagram(datagram);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeDatagram);

void BM_RowStoreInsertRow(benchmark::State& state) {
    const Bytes payload = Filler(500);
    ravelin::RowStore<ravelin::PacketRow> store;
    ravelin::PacketRow row;
    row.protocol = 6;
    row.dataLength = 500;
    int inStore = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.InsertRow(row, payload, 0x00FF00));
        if (++inStore == kRowsPerStore) {
            state.PauseTiming();
            { auto cleared = store.ClearRows(); }
            inStore = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}
BENCHMARK(BM_RowStoreInsertRow);

/// A configuration file with extension colours, as a user would keep one, in a directory of
/// its own that goes when the program ends. Its time stamp is put an hour back: a file changed
/// in the last two seconds is read again on every request, which is not the steady state.
class ColourConfig {
public:
    ColourConfig() {
        char pattern[] = "/tmp/ravelin-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        directory_ = pattern;
        path_ = directory_ + "/Ravelin.ini";
        // Twenty keys; the requests' extension "js" is listed by the last one, so every
        // request tries all twenty values.
        std::ofstream file(path_);
        file << "[Config]\nWndTop=0\n[HighLightExtension]\n";
        for (int i = 0; i < 19; ++i) {
            file << "Ext[" << i << "]=" << std::hex << (0x101010 * (i + 1)) << std::dec << ",ext"
                 << i << "a,ext" << i << "b,ext" << i << "c,\n";
        }
        file << "Ext[19]=00A000,js,css,json,\n";
        file.close();
        const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        utimensat(AT_FDCWD, path_.c_str(), anHourAgo, 0);
    }
    ~ColourConfig() {
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    ColourConfig(const ColourConfig&) = delete;
    ColourConfig& operator=(const ColourConfig&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string directory_;
    std::string path_;
};

const std::string& ConfigPath() {
    static const ColourConfig config;
    return config.path();
}

void BM_HttpRecogniserRecognise(benchmark::State& state) {
    ravelin::HttpRecogniser recogniser(ConfigPath());
    for (auto _ : state) {
        auto request = recogniser.RecognisePayload(AsBytes(kRequest));
        benchmark::DoNotOptimize(request);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpRecogniserRecognise);

/// A 64 KiB segment of a download (no zero byte in it) that begins no request.
void BM_HttpRecogniserDownloadSegment(benchmark::State& state) {
    ravelin::HttpRecogniser recogniser(ConfigPath());
    const Bytes segment(std::size_t{64} << 10, std::uint8_t{0x78});
    for (auto _ : state) {
        auto request = recogniser.RecognisePayload(segment);
        benchmark::DoNotOptimize(request);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * segment.size()));
}
BENCHMARK(BM_HttpRecogniserDownloadSegment);

/// The client's address as the pipeline compares it: network byte order.
std::uint32_t BoundAddress() {
    std::uint32_t address = 0;
    std::memcpy(&address, kClient, sizeof address);
    return address;
}

/// Replays `mix` through a pipeline into lists over a spool, emptied every kRowsPerStore rows
/// outside the timing; `configure` sets the pipeline's steps. With `batchDatagrams`, a batch
/// ends every so many datagrams, as the capture session ends one when its queue runs dry, and
/// once more after the last.
template <typename Configure>
void RunPipeline(benchmark::State& state, const ravelin::DatagramBatch& mix, Configure configure,
                 std::size_t batchDatagrams = 0) {
    ravelin::SystemError error;
    ravelin::CaptureLists lists(ravelin::PayloadSpool::Create({"/tmp"}, error));
    if (lists.spool == nullptr) {
        state.SkipWithError(("no payload spool: " + error.reason).c_str());
        return;
    }
    ravelin::PacketPipeline pipeline(lists);
    configure(pipeline);
    const std::uint32_t boundAddress = BoundAddress();
    std::size_t next = 0;
    std::size_t inBatch = 0;
    int inStore = 0;
    for (auto _ : state) {
        if (inBatch == 0 && batchDatagrams != 0) pipeline.BeginBatch();
        benchmark::DoNotOptimize(pipeline.Process(mix[next], boundAddress));
        if (++next == mix.size()) next = 0;
        if (++inBatch == batchDatagrams) {
            pipeline.EndBatch();
            inBatch = 0;
        }
        if (++inStore == kRowsPerStore) {
            state.PauseTiming();
            lists.ClearBoth();
            inStore = 0;
            state.ResumeTiming();
        }
    }
    if (batchDatagrams != 0) pipeline.EndBatch();
    state.SetItemsProcessed(state.iterations());
}

/// Decode, HTTP recognition, packet row with its frame spooled, HTTP row, colours, under the
/// lists' lock: everything the pipeline thread does per datagram. Arguments: whether the working
/// set is trimmed, and whether the HTTP step runs (11% of the mix are requests).
void BM_PipelineProcess(benchmark::State& state) {
    ravelin::HttpRecogniser recogniser(ConfigPath());
    RunPipeline(state, Mix(), [&](ravelin::PacketPipeline& pipeline) {
        if (state.range(1) != 0) pipeline.SetRecogniser(&recogniser);
        pipeline.SetTrimWorkingSet(state.range(0) != 0);
    });
}
BENCHMARK(BM_PipelineProcess)->ArgNames({"trim", "http"})->Args({0, 0})->Args({0, 1})->Args({1, 1});

/// The same over WebMix(), where a tenth of the datagrams open TLS or QUIC connections: the
/// plain HTTP step alone (web 0) against the step that also lists TLS and QUIC (web 1).
void BM_PipelineProcessWeb(benchmark::State& state) {
    ravelin::HttpRecogniser http(ConfigPath());
    ravelin::WebRecogniser web(ConfigPath());
    RunPipeline(state, WebMix(), [&](ravelin::PacketPipeline& pipeline) {
        pipeline.SetRecogniser(state.range(0) != 0 ? static_cast<ravelin::RequestRecogniser*>(&web)
                                                   : &http);
    });
}
BENCHMARK(BM_PipelineProcessWeb)->ArgName("web")->Arg(0)->Arg(1);

// A busy desktop's traffic: this many processes own the connections of FlowMix().
constexpr int kOwningProcesses = 40;
constexpr int kFlows = 80;
constexpr std::uint16_t kFirstFlowPort = 40000;
constexpr int kFirstPid = 2000;
// The capture session's largest batch (CaptureSession::kBatchDatagrams). The pipeline ends a
// batch, and hands its counts over, when it has emptied the queue: while traffic keeps it busy
// that is once every this many datagrams at the most, the most hand-overs a busy capture makes.
constexpr std::size_t kSessionBatch = 512;

/// Mix()'s datagrams in the same order, each on one of kFlows connections instead of all on
/// one: the client's port changes every 1 to 16 datagrams, as a capture interleaves the runs
/// of its flows, and every flow has its turn before any has another. Short runs make the
/// counting look for its process more often than a download does. ICMP has no ports, and so no
/// owner.
const ravelin::DatagramBatch& FlowMix() {
    static const ravelin::DatagramBatch batch = [] {
        const ravelin::DatagramBatch& plain = Mix();
        std::mt19937 random(20240103);
        std::uniform_int_distribution<int> pickRun(1, 16);
        std::vector<int> turns(kFlows);
        std::iota(turns.begin(), turns.end(), 0);
        std::size_t turn = turns.size();
        ravelin::DatagramBatch mix;
        std::uint16_t port = kFirstFlowPort;
        int runLeft = 0;
        for (std::size_t i = 0; i < plain.size(); ++i) {
            if (runLeft-- == 0) {
                if (turn == turns.size()) {
                    std::shuffle(turns.begin(), turns.end(), random);
                    turn = 0;
                }
                port = static_cast<std::uint16_t>(kFirstFlowPort + turns[turn++]);
                runLeft = pickRun(random) - 1;
            }
            Bytes datagram(plain[i].bytes.begin(), plain[i].bytes.end());
            if (datagram[9] != 1) {  // not ICMP
                const bool outbound = std::memcmp(&datagram[12], kClient, 4) == 0;
                PutBe16(datagram, outbound ? 20 : 22, port);
            }
            mix.Add(datagram, kTime);
        }
        return mix;
    }();
    return batch;
}

/// Names FlowMix()'s owners by local port as the attribution filter does, from a table made
/// once instead of the sockets, and keeps every packet. Every process owns at least one flow;
/// the rest go mostly to the first few, as a browser holds most of a desktop's connections.
class PortTableFilter : public ravelin::PacketFilter {
public:
    PortTableFilter() : owners_(65536, ravelin::kNoOwner) {
        static constexpr std::array<std::string_view, 8> kNames{
            "firefox", "curl", "thunderbird", "ssh", "syncthing", "python3", "apt", "dropbox"};
        for (int process = 0; process < kOwningProcesses; ++process) {
            names_.emplace_back(kNames[static_cast<std::size_t>(process) % kNames.size()]);
        }
        std::vector<double> weights;
        for (int process = 0; process < kOwningProcesses; ++process) {
            weights.push_back(1.0 / (process + 1));
        }
        std::mt19937 random(20240104);
        std::discrete_distribution<int> pick(weights.begin(), weights.end());
        for (int flow = 0; flow < kFlows; ++flow) {
            owners_[kFirstFlowPort + flow] = flow < kOwningProcesses ? flow : pick(random);
        }
    }

    ravelin::FilterDecision Keep(const ravelin::DecodedDatagram& packet, std::uint16_t localPort,
                                 bool /*sentByThisHost*/,
                                 const ravelin::RecordedOwner& /*recorded*/) override {
        if (packet.transport == ravelin::Transport::kNone) return {};
        const int process = owners_[localPort];
        if (process == ravelin::kNoOwner) return {};
        return {true, kFirstPid + process, names_[static_cast<std::size_t>(process)]};
    }

private:
    std::vector<int> owners_;  // by local port: an index into names_, or kNoOwner
    std::vector<std::string> names_;
};

/// The pipeline over FlowMix() with every packet's owner named, without counting (counters 0)
/// and counting each packet for its owner (counters 1); the counts are handed over at the end
/// of every session batch. Afterwards the counts must add up to every datagram processed.
void BM_PipelineCounting(benchmark::State& state) {
    PortTableFilter filter;
    ravelin::ProcessCounters counters;
    const bool counting = state.range(0) != 0;
    RunPipeline(
        state, FlowMix(),
        [&](ravelin::PacketPipeline& pipeline) {
            pipeline.SetFilter(&filter);
            if (counting) pipeline.SetCounters(&counters);
        },
        kSessionBatch);
    if (!counting) return;
    std::uint64_t packets = 0;
    const std::vector<ravelin::ProcessTraffic> processes = counters.Snapshot();
    for (const ravelin::ProcessTraffic& traffic : processes) {
        packets += traffic.sent.packets + traffic.received.packets;
    }
    if (packets != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("the counts do not add up to the datagrams processed");
    }
    state.counters["processes"] = static_cast<double>(processes.size());
}
BENCHMARK(BM_PipelineCounting)->ArgName("counters")->Arg(0)->Arg(1);

/// Only the recognition step of the pipeline over WebMix(): decode and recognise, no rows, so
/// that the steps' own cost shows without the row stores' memory traffic, which varies from run
/// to run by more than the steps cost. Plain HTTP (web 0) against every web connection (web 1).
void BM_RecogniseWeb(benchmark::State& state) {
    const ravelin::DatagramBatch& mix = WebMix();
    ravelin::HttpRecogniser http(ConfigPath());
    ravelin::WebRecogniser web(ConfigPath());
    ravelin::RequestRecogniser& recogniser =
        state.range(0) != 0 ? static_cast<ravelin::RequestRecogniser&>(web) : http;
    std::size_t next = 0;
    for (auto _ : state) {
        const ravelin::Datagram datagram = mix[next];
        const auto decoded = ravelin::DecodeDatagram(datagram.bytes);
        if (decoded && !decoded->payload.empty()) {
            benchmark::DoNotOptimize(recogniser.Recognise(*decoded, datagram.time));
        }
        if (++next == mix.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecogniseWeb)->ArgName("web")->Arg(0)->Arg(1);

/// Opening one client Initial of a new connection: keys derived, header protection removed,
/// 1200 bytes decrypted, frames read.
void BM_QuicInitialOpen(benchmark::State& state) {
    namespace test = ravelin::test;
    const Bytes id = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    const Bytes initial = test::SealClientInitial(
        ravelin::QuicVersion::kVersion1, id, {},
        test::CryptoFrame(0, test::ClientHelloBuilder::Modern("www.example.com").Build()), 0);
    ravelin::QuicInitialCrypto crypto;
    std::vector<std::uint8_t> plaintext;
    std::vector<ravelin::CryptoFragment> fragments;
    for (auto _ : state) {
        ravelin::QuicInitialPackets packets(initial);
        const auto header = packets.Next();
        ravelin::QuicInitialKeys keys;
        fragments.clear();
        const bool opened = header &&
                            crypto.DeriveClientKeys(header->version, header->destinationId, keys) &&
                            crypto.Open(*header, keys, plaintext) &&
                            ravelin::ReadInitialFrames(plaintext, fragments);
        if (!opened) state.SkipWithError("the Initial did not open");
        benchmark::DoNotOptimize(fragments);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuicInitialOpen);

/// The key derivation alone for one new connection: the Initial secret from its destination
/// connection id, then the client's secret, key, IV and header protection key. Argument 0 is
/// version 1, 1 version 2 (longer labels).
void BM_QuicInitialKeys(benchmark::State& state) {
    const Bytes id = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    const auto version =
        state.range(0) != 0 ? ravelin::QuicVersion::kVersion2 : ravelin::QuicVersion::kVersion1;
    ravelin::QuicInitialCrypto crypto;
    for (auto _ : state) {
        ravelin::QuicInitialKeys keys;
        if (!crypto.DeriveClientKeys(version, id, keys)) state.SkipWithError("no keys");
        benchmark::DoNotOptimize(keys);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuicInitialKeys)->ArgName("v2")->Arg(0)->Arg(1);

/// The receive thread's copy of one datagram into the batch handed to the pipeline; the batch
/// is cleared every 512 datagrams, as the receive loop reuses its batches.
void BM_DatagramBatchAdd(benchmark::State& state) {
    const ravelin::DatagramBatch& mix = Mix();
    ravelin::DatagramBatch batch;
    std::size_t next = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const ravelin::Datagram datagram = mix[next];
        batch.Add(datagram.bytes, datagram.time);
        bytes += static_cast<std::int64_t>(datagram.bytes.size());
        if (++next == mix.size()) next = 0;
        if (batch.size() == 512) batch.Clear();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_DatagramBatchAdd);

/// The same with the link-layer strip before it: what the receive thread does per frame.
void BM_EthernetFrameIntoBatch(benchmark::State& state) {
    const ravelin::DatagramBatch& mix = Mix();
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        Bytes frame{2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x08, 0x00};
        frame.insert(frame.end(), mix[i].bytes.begin(), mix[i].bytes.end());
        frames.push_back(std::move(frame));
    }
    ravelin::DatagramBatch batch;
    std::size_t next = 0;
    for (auto _ : state) {
        const auto datagram = ravelin::ExtractIpDatagram(kLinkTypeEthernet, frames[next]);
        if (datagram) batch.Add(*datagram, kTime);
        if (++next == frames.size()) next = 0;
        if (batch.size() == 512) batch.Clear();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EthernetFrameIntoBatch);

}  // namespace

BENCHMARK_MAIN();
