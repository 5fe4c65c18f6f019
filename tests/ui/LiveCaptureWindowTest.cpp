#include <QLabel>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

#include <chrono>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
#include "support/ChildProcess.h"
#include "support/DatagramBuilder.h"
#include "support/PcapFileWriter.h"
#include "support/TestSpool.h"
#include "support/qt/GuiTest.h"
#include "ui/MainDialog.h"
#include "ui/PacketListCtrl.h"

namespace ravelin {

class LiveCaptureWindowTest : public QObject {
    Q_OBJECT

private slots:
    // The first packets after F5 reach the lists: on a quiet loopback they are the ones a
    // capture once lost, and a connection made right after the key is the first thing a user
    // looks for.
    void aFetchRightAfterF5ShowsItsHandshakeAndRequest() {
        if (::geteuid() != 0) QSKIP("live capture on lo needs CAP_NET_RAW; run as root");
        // The peers are spawned (posix_spawn), not started with QProcess: Qt's vfork-like clone
        // shares the parent's memory with the child, and ThreadSanitizer, seeing a fork there,
        // takes the parent for a forked child and kills it at its next thread (F5 starts some).
        test::ChildProcess server(
            {"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1"});
        QVERIFY2(server.pid() > 0, server.error().c_str());
        const auto banner = server.ReadLine(std::chrono::seconds(20));
        QVERIFY2(banner.has_value(), "python3 -m http.server said nothing");
        const QRegularExpressionMatch announced = QRegularExpression(QStringLiteral("port (\\d+)"))
                                                      .match(QString::fromStdString(*banner));
        QVERIFY2(announced.hasMatch(), banner->c_str());
        const QString serverPort = announced.captured(1);

        SystemServices services = LinuxServices(std::nullopt);
        services.spool = test::MakeTestSpool();
        std::string error;
        const auto commandLine = ParseCommandLine(
            {"--config", test::TemporaryPath("live-window.ini"), "--bind", "127.0.0.1"}, error);
        MainDialog window(std::move(services), WindowOptions(*commandLine));
        QVERIFY(window.Initialise());
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_F5);
        QCOMPARE(window.stateLabel()->text(), QStringLiteral("State: Listening."));

        test::ChildProcess curl({"curl", "-sS", "-o", "/dev/null", "-w", "%{local_port}\n",
                                 "http://127.0.0.1:" + serverPort.toStdString() + "/"});
        QVERIFY2(curl.pid() > 0, curl.error().c_str());
        const auto localPort = curl.ReadLine(std::chrono::seconds(20));
        QVERIFY2(localPort.has_value() && !localPort->empty(), "curl failed (its error is above)");
        QVERIFY(curl.WaitForExit(std::chrono::seconds(20)));
        const QString clientPort = QString::fromStdString(*localPort);

        // The connection's rows in order: source port, destination port, length, data.
        const QAbstractItemModel* packets = window.packetList()->model();
        const auto connection = [&] {
            QStringList rows;
            for (int row = 0; row < packets->rowCount(); ++row) {
                const auto cell = [&](int column) {
                    return packets->data(packets->index(row, column)).toString();
                };
                const QStringList ports{cell(4), cell(6)};
                if (ports.contains(clientPort) && ports.contains(serverPort)) {
                    rows.append(cell(4) + " " + cell(6) + " " + cell(7) + " " + cell(8));
                }
            }
            return rows;
        };
        QTRY_VERIFY_WITH_TIMEOUT(connection().size() >= 4, 10000);
        const QStringList rows = connection();
        // The SYN, the SYN-ACK, the ACK, then the request.
        QCOMPARE(rows.value(0), clientPort + " " + serverPort + " 0 ");
        QCOMPARE(rows.value(1), serverPort + " " + clientPort + " 0 ");
        QVERIFY2(rows.filter(QRegularExpression(QStringLiteral("^\\d+ \\d+ \\d+ GET / HTTP/1.1")))
                         .size() == 1,
                 qPrintable(rows.join('\n')));
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(LiveCaptureWindowTest)
#include "LiveCaptureWindowTest.moc"
