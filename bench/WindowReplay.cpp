// Replays a capture file into the window, offscreen, and reports how long the rows take to
// reach the view, the longest stall of the window's thread meanwhile, and the memory per row.
//
//   QT_QPA_PLATFORM=offscreen ravelin_window_bench FILE
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
#include "ui/MainDialog.h"
#include "ui/PacketListCtrl.h"

namespace {

long PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ravelin_window_bench FILE\n");
        return 2;
    }
    QApplication application(argc, argv);
    ravelin::SystemServices services = ravelin::LinuxServices(std::string(argv[1]));
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto commandLine =
        ravelin::ParseCommandLine({"--read", argv[1], "--config", "/dev/null"}, error);
    ravelin::MainDialog window(std::move(services), ravelin::WindowOptions(*commandLine));
    if (!window.Initialise()) return 1;
    window.show();
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
        if (now - lastTick > 20 && std::getenv("RAVELIN_BENCH_GAPS") != nullptr) {
            std::fprintf(stderr, "gap of %lld ms ending at %lld ms, %d rows in the view\n",
                         static_cast<long long>(now - lastTick), static_cast<long long>(now),
                         window.packetList()->model()->rowCount());
        }
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
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

    if (std::getenv("RAVELIN_BENCH_NO_FOLLOW") != nullptr) {
        window.packetList()->StopFollowing();
        window.httpList()->StopFollowing();
    }
    clock.start();
    ticker.start(10);
    watcher.start(5);
    window.OnStartStop();
    QApplication::exec();

    const int rows = window.lists().packets.rowCount();
    std::size_t payloadBytes = 0;
    window.lists().packets.ReadRows(
        0, rows, [&](int, const auto& stored) { payloadBytes += stored.row.record.length; });
    const long peakKiB = PeakResidentKiB();
    const double perRow = rows > 0 ? (static_cast<double>(peakKiB - baselineKiB) * 1024.0 -
                                      static_cast<double>(payloadBytes)) /
                                         rows
                                   : 0.0;
    std::printf(
        "rows=%d seconds=%.3f longest_stall_ms=%lld peak_rss_mib=%.1f "
        "bytes_per_row_beyond_payload=%.1f\n",
        rows, static_cast<double>(listedAfter) / 1000.0, static_cast<long long>(longestGap),
        static_cast<double>(peakKiB) / 1024.0, perRow);
    return 0;
}
