// How long the Start command (F5) takes until the first datagram is listed: the capture helper
// is started, opens the capture (loading the kernel socket events, where asked), gives up its
// rights, and streams the first block. A datagram is sent to a port nobody reads every 200 µs,
// so the wait for traffic adds at most that much. Needs root, or membership of the helper's
// group with the helper's capabilities.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "capture/CaptureSession.h"
#include "capture/linux/HelperCaptureSource.h"
#include "pipeline/PacketPipeline.h"
#include "rows/PayloadSpool.h"

namespace {

using namespace ravelin;

class QuietHost : public SessionHost, public ErrorReporter {
public:
    ErrorReporter& reporter() override { return *this; }
    void ShowError(std::string_view text) override { error.assign(text); }
    void OnStateChanged(CaptureState) override {}
    void OnCaptureEnded() override {}
    std::string error;
};

void BM_StartToFirstListed(benchmark::State& state) {
    const auto attribution = static_cast<HelperAttribution>(state.range(0));
    SystemError failure;
    CaptureLists lists(PayloadSpool::Create({"/tmp"}, failure));
    PacketPipeline pipeline(lists);
    QuietHost host;
    CaptureSession session(host, pipeline, [attribution](const IpAddress& address) {
        return std::make_unique<HelperCaptureSource>(address, RAVELIN_CAPTURE_HELPER_PATH,
                                                     attribution, nullptr);
    });
    session.OnAddressChosen(IpAddress(htonl(INADDR_LOOPBACK)));

    std::atomic<bool> sending{true};
    std::thread sender([&sending] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);  // discard: nobody reads it
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (sending.load()) {
            sendto(fd, "f5", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        close(fd);
    });
    for (auto _ : state) {
        const int before = lists.packets.rowCount();
        if (!session.Start()) {
            state.SkipWithError(host.error.c_str());
            break;
        }
        while (lists.packets.rowCount() == before) std::this_thread::yield();
        state.PauseTiming();
        session.Stop();
        state.ResumeTiming();
    }
    sending.store(false);
    sender.join();
}
BENCHMARK(BM_StartToFirstListed)
    ->ArgName("attribution")
    ->Arg(static_cast<int>(HelperAttribution::kNone))
    ->Arg(static_cast<int>(HelperAttribution::kEvents))
    ->Arg(static_cast<int>(HelperAttribution::kConnections))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
