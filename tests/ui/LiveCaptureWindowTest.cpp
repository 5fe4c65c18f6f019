#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
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
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(QStringLiteral("python3"),
                     {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                      QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1")});
        const QRegularExpression announced(QStringLiteral("port (\\d+)"));
        QString banner;
        QTRY_VERIFY_WITH_TIMEOUT(
            (banner += QString::fromUtf8(server.readAll()), announced.match(banner).hasMatch()),
            20000);
        const QString serverPort = announced.match(banner).captured(1);

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

        QProcess curl;
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                    QStringLiteral("-w"), QStringLiteral("%{local_port}"),
                    QStringLiteral("http://127.0.0.1:%1/").arg(serverPort)});
        QVERIFY(curl.waitForFinished(20000));
        const QString clientPort = QString::fromUtf8(curl.readAllStandardOutput());
        QVERIFY2(!clientPort.isEmpty(), curl.readAllStandardError().constData());

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
        server.terminate();
        server.waitForFinished(5000);
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(LiveCaptureWindowTest)
#include "LiveCaptureWindowTest.moc"
