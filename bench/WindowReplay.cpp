// Replays a capture file into the window, offscreen, and reports how long the rows take to
// reach the view, the longest stall of the window's thread meanwhile, and the memory per row.
//
//   QT_QPA_PLATFORM=offscreen ravelin_window_bench FILE
//
// RAVELIN_BENCH_GAPS=1 prints each gap between ticks over 20 ms; RAVELIN_BENCH_SLOW=1 prints
// each event that kept the window's thread over 8 ms, with the thread's own CPU time in it and
// how often it waited (for a lock, a read) or was preempted (another thread took its core).
// RAVELIN_BENCH_NO_OWNERS=1 replays without looking up packets' owners, as the headless
// replay does; RAVELIN_BENCH_NO_FOLLOW=1 with both lists scrolled up by the user;
// RAVELIN_BENCH_HIDDEN=1 without showing the window.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
#include "ui/MainDialog.h"
#include "ui/PacketListCtrl.h"

namespace {

// Whether the environment asks for a variant of the run.
bool Asked(const char* variable) {
    return std::getenv(variable) != nullptr;  // NOLINT(concurrency-mt-unsafe): no setenv here
}

// RAVELIN_BENCH_CONFIG names the configuration file; /dev/null by default. Other programs'
// writes to /dev/null touch it, and a file touched within two seconds is read again.
std::string ConfigPath() {
    const char* chosen = std::getenv("RAVELIN_BENCH_CONFIG");  // NOLINT(concurrency-mt-unsafe)
    return chosen != nullptr ? chosen : "/dev/null";
}

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The thread's voluntary (it waited: a lock, a read) and involuntary (another thread took its
// core) context switches so far.
std::pair<long, long> ThreadSwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Times the outermost events the window's thread handles, and names the slow ones.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing_ || depth_ > 0) return QApplication::notify(receiver, event);
        if (event->type() == QEvent::UpdateRequest) ++paints_;
        ++depth_;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ThreadCpuMs();
        const auto switchesBefore = ThreadSwitches();
        const int type = event->type();
        const char* name = receiver->metaObject()->className();
        const bool result = QApplication::notify(receiver, event);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const double cpuMs = ThreadCpuMs() - cpuStart;
        const auto switchesAfter = ThreadSwitches();
        const long waits = switchesAfter.first - switchesBefore.first;
        const long preemptions = switchesAfter.second - switchesBefore.second;
        busyMs_ += ms;
        cpuMs_ += cpuMs;
        waits_ += waits;
        preemptions_ += preemptions;
        if (ms > 8.0 && Asked("RAVELIN_BENCH_SLOW")) {
            (void)std::fprintf(
                stderr,
                "slow event %d to %s: %.1f ms, %.1f ms on the CPU, waited %ld times, "
                "preempted %ld times\n",
                type, name, ms, cpuMs, waits, preemptions);
        }
        --depth_;
        return result;
    }

    void StopTiming() { timing_ = false; }
    /// Time in the window thread's events, the part of it on the CPU, its context switches, and
    /// how often it painted.
    void PrintTotals() const {
        (void)std::printf(
            "events_ms=%.0f events_cpu_ms=%.0f events_waits=%ld events_preemptions=%ld "
            "paints=%ld\n",
            busyMs_, cpuMs_, waits_, preemptions_, paints_);
    }
    void StartTiming() { timing_ = true; }

private:
    bool timing_ = false;
    int depth_ = 0;
    double busyMs_ = 0;
    double cpuMs_ = 0;
    long waits_ = 0;
    long preemptions_ = 0;
    long paints_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: ravelin_window_bench FILE\n");
        return 2;
    }
    TimedApplication application(argc, argv);
    ravelin::SystemServices services = ravelin::LinuxServices(std::string(argv[1]));
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        (void)std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto commandLine =
        ravelin::ParseCommandLine({"--read", argv[1], "--config", ConfigPath()}, error);
    ravelin::MonitorOptions options = ravelin::WindowOptions(*commandLine);
    // Without the owner lookups that the window's engine makes for every packet, the replay
    // does the headless replay's work, and what remains is the window's own.
    if (Asked("RAVELIN_BENCH_NO_OWNERS")) options.findOwners = false;
    ravelin::MainDialog window(std::move(services), std::move(options));
    if (!window.Initialise()) return 1;
    // Hidden, the window draws nothing: its thread's longest stall is then what the machine's
    // scheduler alone gives it while the replay and anything else run.
    if (!Asked("RAVELIN_BENCH_HIDDEN")) window.show();
    QCoreApplication::processEvents();
    const long baselineKiB = PeakResidentKiB();

    // The window's thread ticks every 10 ms; the longest gap between two ticks is its stall.
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (now - lastTick > 20 && Asked("RAVELIN_BENCH_GAPS")) {
            (void)std::fprintf(stderr, "gap of %lld ms ending at %lld ms, %d rows in the view\n",
                               static_cast<long long>(now - lastTick), static_cast<long long>(now),
                               window.packetList()->model()->rowCount());
        }
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });

    // The last row stored, seen from a thread of its own so that a stalled window's thread
    // does not move it.
    clock.start();
    std::atomic<bool> watching{true};
    std::atomic<qint64> storedAfter{-1};
    std::thread storeWatch([&] {
        int seen = 0;
        while (watching.load()) {
            const int stored = window.lists().packets.rowCount();
            if (stored != seen) {
                seen = stored;
                storedAfter = clock.elapsed();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    qint64 listedAfter = -1;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (window.session().running()) return;
        const int stored = window.lists().packets.rowCount();
        if (stored > 0 && window.packetList()->model()->rowCount() == stored) {
            listedAfter = clock.elapsed();
            QCoreApplication::exit(0);  // quit() would close the window, which asks first
        }
    });

    if (Asked("RAVELIN_BENCH_NO_FOLLOW")) {
        window.packetList()->StopFollowing();
        window.httpList()->StopFollowing();
    }
    application.StartTiming();
    ticker.start(10);
    watcher.start(5);
    window.OnStartStop();
    QApplication::exec();
    application.StopTiming();
    watching = false;
    storeWatch.join();

    const int rows = window.lists().packets.rowCount();
    std::size_t payloadBytes = 0;
    window.lists().packets.ReadRows(
        0, rows, [&](int, const auto& stored) { payloadBytes += stored.row.record.length; });
    const long peakKiB = PeakResidentKiB();
    const double perRow = rows > 0 ? (static_cast<double>(peakKiB - baselineKiB) * 1024.0 -
                                      static_cast<double>(payloadBytes)) /
                                         rows
                                   : 0.0;
    (void)std::printf(
        "rows=%d seconds=%.3f stored_seconds=%.3f shown_after_stored_ms=%lld "
        "longest_stall_ms=%lld peak_rss_mib=%.1f bytes_per_row_beyond_payload=%.1f\n",
        rows, static_cast<double>(listedAfter) / 1000.0,
        static_cast<double>(storedAfter.load()) / 1000.0,
        static_cast<long long>(listedAfter - storedAfter.load()),
        static_cast<long long>(longestGap), static_cast<double>(peakKiB) / 1024.0, perRow);
    application.PrintTotals();
    return 0;
}
