#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
#include "support/PcapFileWriter.h"
#include "support/TestSpool.h"
#include "support/qt/GuiTest.h"
#include "ui/MainDialog.h"

namespace ravelin {
namespace {

// Mesa's driver, which Qt's EGL integration loads for a Wayland window although the window
// paints into shared memory, is unloaded with the libraries it brought (libdrm, libpciaccess,
// libsensors) when the application ends, before LeakSanitizer looks: a leak of theirs would
// come from no library that a report could name or a suppression match. Pinned, every library
// the window loaded is still there at the leak check.
void KeepLoadedLibraries() {
    std::vector<std::string> loaded;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* names) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
                static_cast<std::vector<std::string>*>(names)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &loaded);
    // Outside the walk, which holds the loader's lock. The handles are never closed.
    for (const std::string& name : loaded) {
        ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

}  // namespace

class WaylandWindowTest : public QObject {
    Q_OBJECT

private slots:
    // Qt takes a Wayland screen as all available, panels and all: the first window must still
    // fit, title bar included, below a top bar (GNOME's, 32 pixels); and it names its desktop
    // entry, whose icon the desktop shows for it.
    void theFirstWindowFitsTheScreenWithItsFrame() {
        const QSize screen(1280, 800);
        if (QGuiApplication::platformName() != QLatin1String("wayland")) {
            // Run offscreen, as the window's tests are: the same test again, as a client of a
            // headless weston with a runtime directory of its own.
            const QString weston = QStandardPaths::findExecutable(QStringLiteral("weston"));
            if (weston.isEmpty()) QSKIP("weston is not installed (scripts/install-deps.sh)");
            const QTemporaryDir runtime;
            QVERIFY(QFile::setPermissions(runtime.path(),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            const QString socket = QStringLiteral("ravelin-test-%1").arg(::getpid());
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
            QProcess server;
            const auto stop = qScopeGuard([&server] {
                server.terminate();
                if (!server.waitForFinished(5000)) server.kill();
                server.waitForFinished(5000);
            });
            server.setProcessEnvironment(environment);
            server.setProcessChannelMode(QProcess::MergedChannels);
            server.start(weston, {QStringLiteral("--backend=headless-backend.so"),
                                  QStringLiteral("--use-pixman"),
                                  QStringLiteral("--width=%1").arg(screen.width()),
                                  QStringLiteral("--height=%1").arg(screen.height()),
                                  QStringLiteral("--socket=") + socket});
            const auto ready = [&] {
                return QFile::exists(runtime.filePath(socket)) ||
                       server.state() == QProcess::NotRunning;
            };
            QTRY_VERIFY_WITH_TIMEOUT(ready(), 20000);
            if (!QFile::exists(runtime.filePath(socket))) {
                QSKIP(qPrintable(QStringLiteral("weston cannot start: ") +
                                 QString::fromLocal8Bit(server.readAll())));
            }
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
            // The client keeps the sanitizers' options (and suppressions) of this process.
            QProcess client;
            client.setProcessEnvironment(environment);
            client.setProcessChannelMode(QProcess::MergedChannels);
            client.start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("WaylandWindowTest")});
            const bool finished = client.waitForFinished(90000);
            const QByteArray output = client.readAll();
            const bool passed =
                finished && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
            // QtTest cuts a failure's message short, and a sanitizer's report is long: the
            // whole of it goes to the log.
            if (!passed) std::fputs(output.constData(), stderr);
            QVERIFY2(passed, "the client failed; its output is above");
            return;
        }

        SystemServices services = LinuxServices(std::nullopt);
        services.spool = test::MakeTestSpool();
        services.openSocketEvents = nullptr;
        std::string error;
        const auto commandLine =
            ParseCommandLine({"--config", test::TemporaryPath("wayland-window.ini")}, error);
        MainDialog window(std::move(services), WindowOptions(*commandLine));
        QVERIFY(window.Initialise());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.screen()->geometry().size(), screen);
        QVERIFY(!window.windowHandle()->frameMargins().isNull());  // Qt draws the title bar
        const QSize outer = window.frameGeometry().size();
        QVERIFY2(outer.width() <= screen.width() && outer.height() + 32 <= screen.height(),
                 qPrintable(QStringLiteral("%1x%2").arg(outer.width()).arg(outer.height())));
        QVERIFY(window.rect().contains(window.stateLabel()->geometry()));
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("ravelin"));
        KeepLoadedLibraries();
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(WaylandWindowTest)
#include "WaylandWindowTest.moc"
