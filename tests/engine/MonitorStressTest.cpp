#include <gtest/gtest.h>

#include <stdlib.h>
#include "support/TempDir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "analysis/PacketLinker.h"
#include "analysis/PacketMarks.h"
#include "engine/Monitor.h"
#include "output/Export.h"
#include "support/DatagramBuilder.h"
#include "support/FakePacketSource.h"
#include "support/Gate.h"
#include "support/RecordingHost.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using test::DatagramBuilder;
using test::FakePacketSource;
using test::FakeSourceScript;
using test::Gate;
using test::Ipv4;
using test::RecordingHost;

constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kPshAck = 0x18;
constexpr int kAnswerSegments = 5;
constexpr int kDatagramsPerExchange = 1 + kAnswerSegments + 2;
constexpr int kExchanges = 25'000;  // 200,000 datagrams
constexpr std::size_t kAnswerBytes = 64;

using test::TempDir;

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

/// One request on its own connection: the request, an answer in several segments and the
/// client's acknowledgements, numbered as a real exchange would be so that linking finds work.
void AddExchange(int number, std::vector<std::vector<std::uint8_t>>& datagrams) {
    const std::uint16_t clientPort = static_cast<std::uint16_t>(20000 + number % 40000);
    const std::uint32_t clientSequence = 1000U + static_cast<std::uint32_t>(number) * 7919U;
    const std::uint32_t serverSequence = 5000U + static_cast<std::uint32_t>(number) * 104729U;
    // Every fourth URL has an extension, so the colour lookup in the configuration runs too.
    const std::string path = "/item/" + std::to_string(number) + (number % 4 == 0 ? ".html" : "");
    const std::string request =
        (number % 3 == 0 ? "POST " : "GET ") + path + " HTTP/1.1\r\nHost: 10.0.0.9\r\n\r\n";

    DatagramBuilder toServer;
    toServer.source = Ipv4("10.0.0.2");
    toServer.destination = Ipv4("10.0.0.9");
    toServer.sourcePort = clientPort;
    toServer.destinationPort = 80;
    DatagramBuilder toClient = toServer;
    std::swap(toClient.source, toClient.destination);
    std::swap(toClient.sourcePort, toClient.destinationPort);

    toServer.sequence = clientSequence;
    toServer.ack = serverSequence;
    toServer.tcpFlags = kPshAck;
    toServer.payload = Bytes(request);
    datagrams.push_back(toServer.Build());

    const std::uint32_t requestEnd = clientSequence + static_cast<std::uint32_t>(request.size());
    toClient.ack = requestEnd;
    toClient.payload.assign(kAnswerBytes, static_cast<std::uint8_t>('a' + number % 26));
    for (int segment = 0; segment < kAnswerSegments; ++segment) {
        toClient.sequence = serverSequence + static_cast<std::uint32_t>(segment * kAnswerBytes);
        toClient.tcpFlags = segment == kAnswerSegments - 1 ? kPshAck : kAck;
        datagrams.push_back(toClient.Build());
    }

    toServer.sequence = requestEnd;
    toServer.tcpFlags = kAck;
    toServer.payload.clear();
    for (int half = 1; half <= 2; ++half) {
        toServer.ack =
            serverSequence + static_cast<std::uint32_t>(half * kAnswerSegments / 2 * kAnswerBytes);
        datagrams.push_back(toServer.Build());
    }
}

/// The request target of a request line: the text between the first two spaces.
std::string_view RequestTarget(std::string_view payload) {
    const auto first = payload.find(' ');
    if (first == std::string_view::npos) return {};
    const auto second = payload.find(' ', first + 1);
    if (second == std::string_view::npos) return {};
    return payload.substr(first + 1, second - first - 1);
}

// The window clears, links, shows and saves rows on other threads while capture lists at full
// speed; every one of those paths must leave the lists consistent and race-free.
TEST(MonitorStressTest, ClearLinkReadAndSaveWhileReplayingAtFullSpeed) {
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    const auto config = temp.path() / "ravelin.ini";
    {
        std::ofstream out(config);
        out << "[HighLightExtension]\nExt[0]=FF8000,html,htm,\n";
    }

    auto script = std::make_shared<FakeSourceScript>();
    script->datagrams.reserve(static_cast<std::size_t>(kExchanges) * kDatagramsPerExchange);
    for (int number = 0; number < kExchanges; ++number) AddExchange(number, script->datagrams);
    const int datagramCount = static_cast<int>(script->datagrams.size());

    RecordingHost host;
    SystemServices services;
    services.spool = test::MakeTestSpool();
    services.packetSources = [script](const IpAddress& address) {
        return std::make_unique<FakePacketSource>(script, address);
    };
    MonitorOptions options;
    options.configPath = config.string();
    Monitor monitor(std::move(services), std::move(options), host);
    CaptureLists& lists = monitor.lists();
    CaptureSession& session = monitor.session();
    PacketMarks marks;

    // The workers run until the replay ends, within a deadline in case it never does.
    constexpr auto kWorkLimit = std::chrono::seconds(60);
    const auto deadline = std::chrono::steady_clock::now() + kWorkLimit;
    std::atomic<bool> stop{false};
    auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };
    auto keepGoing = [&] { return !stop.load() && inTime(); };
    Gate go;
    std::atomic<int> workersReady{0};
    constexpr int kWorkers = 4;
    auto waitForGo = [&] {
        workersReady++;
        return go.WaitFor(test::kDeadline);
    };

    // Listed rows must add up over all generations, so every clear's rows are counted. The
    // clears end once most datagrams are listed, so that the final lists hold enough to check.
    long long clearedPackets = 0;
    int clearsWithRows = 0;
    // The last tenth waits for the clears to end, so that the final lists hold it whatever the
    // threads' timing.
    const int lastClearSerial = datagramCount - datagramCount / 10;
    Gate clearsDone;
    script->holdAt = static_cast<std::size_t>(lastClearSerial);
    script->hold = &clearsDone;
    std::thread clearer([&] {
        if (!waitForGo()) return clearsDone.Open();
        // At least one clear takes rows, whatever the threads' timing: the replay waits for the
        // clears at the last tenth, with what it listed since the last one.
        while (keepGoing() &&
               (lists.packets.nextSerial() <= lastClearSerial || clearsWithRows == 0)) {
            const CaptureLists::Detached detached = lists.ClearBoth();
            marks.Forget();
            clearedPackets += detached.packets.rowCount();
            if (detached.packets.rowCount() > 0) ++clearsWithRows;
            std::this_thread::yield();
        }
        clearsDone.Open();
    });

    int links = 0;
    int strayLinks = 0;
    std::thread linker([&] {
        if (!waitForGo()) return;
        std::mt19937 random(1);
        std::vector<std::uint8_t> linkerPayload;
        // At least one link, on the final lists if the replay ran ahead of this thread.
        while (keepGoing() || (links == 0 && inTime())) {
            const int requestCount = lists.requests.rowCount();
            if (requestCount == 0) {
                std::this_thread::yield();
                continue;
            }
            // The request row and its packet row, judged only when no clear ran meanwhile:
            // then both belong to one generation and must agree, as the final lists must.
            const auto generations = [&] {
                return std::pair(lists.packets.generation(), lists.requests.generation());
            };
            const auto before = generations();
            int startRow = -1;
            std::string_view method;
            const int pick = static_cast<int>(random() % static_cast<unsigned>(requestCount));
            lists.requests.ReadRow(pick, [&](const StoredRow<HttpRow>& stored) {
                startRow = stored.row.packetRow;
                method = stored.row.method;
            });
            if (startRow < 0) continue;
            bool startsWithMethod = false;
            const bool found = lists.ReadPacket(
                startRow, kWholePayload, linkerPayload,
                [&](const StoredRow<PacketRow>&, std::span<const std::uint8_t> bytes) {
                    startsWithMethod =
                        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())
                            .starts_with(method);
                });
            if (generations() == before && (!found || !startsWithMethod)) ++strayLinks;
            marks.RestoreMarks(lists.packets);
            for (const int row : LinkedRows(lists.packets, startRow)) {
                marks.MarkRow(lists.packets, row, kMarkColour);
            }
            ++links;
        }
    });

    int emptyCopies = 0;
    std::thread reader([&] {
        if (!waitForGo()) return;
        std::mt19937 random(2);
        std::vector<std::uint8_t> payload;
        std::string text;
        while (keepGoing()) {
            const int packetCount = lists.packets.rowCount();
            if (packetCount == 0) {
                std::this_thread::yield();
                continue;
            }
            const int row = static_cast<int>(random() % static_cast<unsigned>(packetCount));
            text.clear();
            const bool found = lists.ReadPacket(
                row, kWholePayload, payload,
                [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> bytes) {
                    text = CopyAllText(stored, bytes, lists.addresses);
                });
            // A row that vanished in a clear gives nothing; one that exists always has text.
            if (found && text.empty()) ++emptyCopies;
        }
    });

    int saves = 0;
    int failedSaves = 0;
    std::thread saver([&] {
        if (!waitForGo()) return;
        const std::string path = (temp.path() / "payloads.bin").string();
        while (keepGoing() || (saves == 0 && inTime())) {
            const SaveResult result = SavePayloads(path, lists, marks.Rows());
            if (!result.created || !result.written) ++failedSaves;
            ++saves;
        }
    });

    const bool ready = test::WaitUntil([&] { return workersReady.load() == kWorkers; });
    go.Open();
    const bool started = ready && session.Start();
    const bool ended = started && host.WaitForEnd(kWorkLimit);
    stop = true;
    clearer.join();
    linker.join();
    reader.join();
    saver.join();
    ASSERT_TRUE(ready);
    ASSERT_TRUE(started);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(session.FinishEndedCapture());
    EXPECT_TRUE(host.Errors().empty());

    // Every datagram was listed exactly once, across all generations of the list.
    const int finalPackets = lists.packets.rowCount();
    EXPECT_EQ(lists.packets.nextSerial() - 1, datagramCount);
    EXPECT_EQ(clearedPackets + finalPackets, datagramCount);
    EXPECT_GT(clearsWithRows, 0) << "no clear took rows";
    EXPECT_GT(finalPackets, 0);
    EXPECT_EQ(emptyCopies, 0);
    EXPECT_EQ(failedSaves, 0);
    EXPECT_GT(saves, 0);
    EXPECT_GT(links, 0) << "no link was made";
    EXPECT_EQ(strayLinks, 0) << "an HTTP row referred to another generation's packet row";

    // Every HTTP row refers to its own request's packet row in the same generation, and every
    // request packet of the final list has its HTTP row.
    int badRequests = 0;
    std::vector<int> referenced;
    const int finalRequests = lists.requests.rowCount();
    std::vector<StoredRow<HttpRow>> requests;
    lists.requests.ReadRows(0, finalRequests, [&](int, const StoredRow<HttpRow>& request) {
        requests.push_back(request);
    });
    for (const StoredRow<HttpRow>& request : requests) {
        const int packetRow = request.row.packetRow;
        referenced.push_back(packetRow);
        const auto bytes = test::PayloadOf(lists, packetRow);
        const std::string payload(bytes.begin(), bytes.end());
        const std::string_view target = RequestTarget(payload);
        const std::string_view url = request.row.url;
        if (packetRow >= finalPackets || !payload.starts_with(request.row.method) ||
            target.empty() || !url.ends_with(target)) {
            ++badRequests;
        }
    }
    EXPECT_EQ(badRequests, 0);
    EXPECT_TRUE(std::is_sorted(referenced.begin(), referenced.end()));
    EXPECT_EQ(std::adjacent_find(referenced.begin(), referenced.end()), referenced.end());

    int requestPackets = 0;
    for (int row = 0; row < finalPackets; ++row) {
        const auto bytes = test::PayloadOf(lists, row);
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (text.starts_with("GET ") || text.starts_with("POST ")) ++requestPackets;
    }
    EXPECT_GT(finalRequests, 0);
    EXPECT_EQ(finalRequests, requestPackets);
}

}  // namespace
}  // namespace ravelin
