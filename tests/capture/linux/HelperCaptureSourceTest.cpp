#include "capture/linux/HelperCaptureSource.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/CaptureSession.h"
#include "pipeline/PacketPipeline.h"
#include "support/DatagramBuilder.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using test::RecordingHost;

// What the session under test needs around it.
struct Capture {
    explicit Capture(std::string helper)
        : session(host, pipeline, [helper = std::move(helper)](const IpAddress& address) {
              return std::make_unique<HelperCaptureSource>(address, helper,
                                                           HelperAttribution::kNone, nullptr);
          }) {
        session.OnAddressChosen(test::Ipv4("127.0.0.1"));
    }
    std::string FirstError() {
        const auto errors = host.Errors();
        return errors.empty() ? "" : errors[0];
    }
    RecordingHost host;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline{lists};
    CaptureSession session;
};

// A stand-in helper that sends these bytes, as a helper gone wrong might, then waits to be
// ended.
std::string HelperSending(const test::TempDir& directory, std::span<const std::uint8_t> bytes) {
    const auto stream = directory.path() / "stream";
    std::ofstream(stream, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    const auto helper = directory.path() / "helper";
    std::ofstream(helper) << "#!/bin/sh\ncat '" << stream.string() << "' >&3\nexec sleep 10\n";
    std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
    return helper.string();
}

void OpenedAndReady(CaptureRecordWriter& records) {
    for (std::uint32_t step = 0; step < 4; ++step) records.Step(step, nullptr);
    records.Ready(kRawIpLinkType);
}

TEST(HelperCaptureSourceTest, AHelperThatCannotRunSaysWhyAndReplayIsUntouched) {
    test::TempDir directory;
    Capture missing((directory.path() / "ravelin-capture").string());
    EXPECT_FALSE(missing.session.Start());
    EXPECT_NE(missing.FirstError().find("is missing"), std::string::npos) << missing.FirstError();

    // Not executable for this user: what a user outside the group meets.
    const auto denied = directory.path() / "denied";
    std::ofstream(denied) << "#!/bin/sh\n";
    std::filesystem::permissions(denied, std::filesystem::perms::owner_read);
    Capture refused(denied.string());
    EXPECT_FALSE(refused.session.Start());
    EXPECT_EQ(refused.FirstError().rfind("socket 创建套接字失败\nError code: 13\n", 0), 0U);
    EXPECT_NE(refused.FirstError().find("members of the group ravelin"), std::string::npos)
        << refused.FirstError();
}

// A capture that starts at once takes over the helper that loaded the kernel programs for it,
// rather than starting a second one that loads them again; one that could not load them says
// why and is not kept.
TEST(HelperCaptureSourceTest, TheHelperThatLoadedTheEventsGoesOnToCapture) {
    test::TempDir directory;
    CaptureRecordWriter records;
    records.Events(true, "");
    OpenedAndReady(records);
    const std::string helper = HelperSending(directory, records.bytes());
    const auto starts = directory.path() / "starts";
    // The same helper, noting each start.
    std::ofstream(directory.path() / "counted") << "#!/bin/sh\necho \"$*\" >> '" << starts.string()
                                                << "'\nexec '" << helper << "' \"$@\"\n";
    const std::string counted = (directory.path() / "counted").string();
    std::filesystem::permissions(counted, std::filesystem::perms::owner_all);

    const IpAddress loopback = test::Ipv4("127.0.0.1");
    std::string whyNot;
    StartedHelper started = StartHelperWithEvents(loopback, counted, whyNot);
    ASSERT_NE(started.process, nullptr) << whyNot;
    RecordingHost host;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline{lists};
    CaptureSession session(host, pipeline, [&](const IpAddress& address) {
        return std::make_unique<HelperCaptureSource>(address, counted, HelperAttribution::kEvents,
                                                     nullptr, std::move(started));
    });
    session.OnAddressChosen(loopback);
    ASSERT_TRUE(session.Start()) << (host.Errors().empty() ? "" : host.Errors()[0]);
    session.Stop();
    std::ifstream startsFile(starts);
    std::string first;
    std::string second;
    std::getline(startsFile, first);
    EXPECT_NE(first.find("--attribution events"), std::string::npos) << first;
    EXPECT_FALSE(std::getline(startsFile, second)) << second;

    CaptureRecordWriter refused;
    refused.Events(false, "no BTF");
    OpenedAndReady(refused);
    test::TempDir other;
    EXPECT_EQ(
        StartHelperWithEvents(loopback, HelperSending(other, refused.bytes()), whyNot).process,
        nullptr);
    EXPECT_EQ(whyNot, "no BTF");
}

TEST(HelperCaptureSourceTest, AFailedStepIsReportedAsThatStep) {
    test::TempDir directory;
    CaptureRecordWriter records;
    records.Step(0, nullptr);
    records.Step(1, nullptr);
    const SystemError denied{-8, "You don't have permission to perform this capture"};
    records.Step(2, &denied);
    Capture capture(HelperSending(directory, records.bytes()));
    EXPECT_FALSE(capture.session.Start());
    EXPECT_EQ(capture.FirstError().rfind("bind 绑定套接字失败\nError code: -8\nYou don't", 0), 0U)
        << capture.FirstError();
    EXPECT_NE(capture.FirstError().find("lacks its capabilities"), std::string::npos);
}

TEST(HelperCaptureSourceTest, MalformedRecordsEndCaptureAfterWhatCameBefore) {
    test::DatagramBuilder builder;
    builder.protocol = 17;
    builder.payload = {'o', 'k'};
    const auto datagram = builder.Build();
    const std::uint32_t garbage[2] = {0x7777, 16};
    const std::uint32_t oversized[2] = {static_cast<std::uint32_t>(CaptureRecordType::kFrame),
                                        0x7FFFFFFF};
    const std::uint32_t shortFrame[3] = {static_cast<std::uint32_t>(CaptureRecordType::kFrame), 4,
                                         0};
    for (const auto& tail :
         {std::span<const std::uint32_t>(garbage), std::span<const std::uint32_t>(oversized),
          std::span<const std::uint32_t>(shortFrame)}) {
        test::TempDir directory;
        CaptureRecordWriter records;
        OpenedAndReady(records);
        records.Frame({1, 2}, static_cast<std::uint32_t>(datagram.size()), datagram);
        records.Raw(CaptureRecordType::kStatistics, {});  // short: ignored, not fatal
        std::vector<std::uint8_t> bytes(records.bytes().begin(), records.bytes().end());
        const auto* raw = reinterpret_cast<const std::uint8_t*>(tail.data());
        bytes.insert(bytes.end(), raw, raw + tail.size_bytes());
        Capture capture(HelperSending(directory, bytes));
        ASSERT_TRUE(capture.session.Start()) << capture.FirstError();
        ASSERT_TRUE(capture.host.WaitForEnd());
        EXPECT_FALSE(capture.session.FinishEndedCapture());
        EXPECT_EQ(capture.lists.packets.rowCount(), 1);
        EXPECT_EQ(capture.FirstError().rfind("recv 接收包失败\nError code: ", 0), 0U);
        EXPECT_NE(capture.FirstError().find("malformed"), std::string::npos)
            << capture.FirstError();
    }
}

// Every process whose parent is this one and whose program is the capture helper.
std::vector<pid_t> HelperChildren() {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(ravelin-capture)") == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid()) pids.push_back(std::stoi(name));
    }
    return pids;
}

TEST(HelperCaptureSourceTest, AHelperThatDiesMidCaptureIsAReadErrorAndTheRowsStay) {
    if (geteuid() != 0) GTEST_SKIP() << "live capture needs the helper's rights";
    Capture capture(RAVELIN_CAPTURE_HELPER_PATH);
    ASSERT_TRUE(capture.session.Start()) << capture.FirstError();
    const auto helpers = HelperChildren();
    ASSERT_EQ(helpers.size(), 1U);

    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = test::Ipv4("127.0.0.1");
    ASSERT_TRUE(test::WaitUntil([&] {
        sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        return capture.lists.packets.rowCount() > 0;
    }));
    close(sender);
    const auto counts = capture.session.Statistics();
    ASSERT_TRUE(counts.has_value());
    EXPECT_GE(counts->received, 1U);

    const int listed = capture.lists.packets.rowCount();
    // As the kernel ends a process out of memory; a sanitizer build would catch SIGSEGV itself.
    kill(helpers[0], SIGKILL);
    ASSERT_TRUE(capture.host.WaitForEnd());
    EXPECT_FALSE(capture.session.FinishEndedCapture());
    EXPECT_GE(capture.lists.packets.rowCount(), listed);
    EXPECT_NE(capture.FirstError().find("ended unexpectedly (killed by signal 9"),
              std::string::npos)
        << capture.FirstError();
    EXPECT_TRUE(HelperChildren().empty());
}

}  // namespace
}  // namespace ravelin
