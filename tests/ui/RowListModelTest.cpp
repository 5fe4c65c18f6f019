#include "ui/RowListModel.h"

#include "support/TestSpool.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rows/Colour.h"
#include "support/qt/GuiTest.h"

namespace ravelin {
namespace {

PacketRow Packet(std::uint16_t sourcePort) {
    PacketRow row;
    row.protocol = 6;                            // TCP
    row.sourceAddress = htonl(0xC0A80102);       // 192.168.1.2
    row.destinationAddress = htonl(0x5DB8D822);  // 93.184.216.34
    row.sourcePort = sourcePort;
    row.destinationPort = 80;
    row.hasPorts = true;
    row.dataLength = 5;
    row.hour = 9;
    row.minute = 5;
    row.second = 7;
    return row;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

HttpRow Request(std::string_view method) {
    HttpRow row;
    row.method = method;
    row.hour = 23;
    row.minute = 59;
    row.second = 1;
    return row;
}

/// The first and last row of the only rowsInserted signal a spy saw.
std::pair<int, int> OnlyInsertion(const QSignalSpy& spy) {
    if (spy.count() != 1) return {-1, -1};
    return {spy.at(0).at(1).toInt(), spy.at(0).at(2).toInt()};
}

}  // namespace

class RowListModelTest : public QObject {
    Q_OBJECT

private slots:
    void headingsOfBothLists() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<HttpRow> requests;
        PacketListModel packetModel(lists);
        HttpListModel httpModel(requests);

        QCOMPARE(packetModel.columnCount(), PacketRow::kColumnCount);
        QCOMPARE(httpModel.columnCount(), HttpRow::kColumnCount);
        QCOMPARE(packetModel.headerData(1, Qt::Horizontal).toString(), QStringLiteral("时间"));
        QCOMPARE(packetModel.headerData(8, Qt::Horizontal).toString(), QStringLiteral("数据"));
        QCOMPARE(httpModel.headerData(3, Qt::Horizontal).toString(), QStringLiteral("地址"));
        QVERIFY(!httpModel.headerData(4, Qt::Horizontal).isValid());
        QVERIFY(!httpModel.headerData(-1, Qt::Horizontal).isValid());
        QVERIFY(!packetModel.headerData(0, Qt::Vertical).isValid());
    }

    void cellTextsOfPacketRows() {
        CaptureLists lists{test::MakeTestSpool()};
        test::AddTestPacket(lists, Packet(4321), Bytes(std::string_view("GET\0/", 5)));
        PacketListModel model(lists);  // rows already there are shown from the start
        QCOMPARE(model.rowCount(), 1);

        const QStringList expected{"1",  "9:5:7", "TCP",  "192.168.1.2", "4321", "93.184.216.34",
                                   "80", "5",     "GET /"};
        for (int column = 0; column < PacketRow::kColumnCount; ++column) {
            QCOMPARE(model.data(model.index(0, column)).toString(), expected[column]);
        }
        QVERIFY(!model.data(model.index(0, 0), Qt::EditRole).isValid());
    }

    void cellTextsOfHttpRows() {
        RowStore<HttpRow> store;
        store.InsertRow(Request("GET"), Bytes("http://example.com/路径"));
        HttpListModel model(store);
        QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("1"));
        QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("23:59:1"));
        QCOMPARE(model.data(model.index(0, 2)).toString(), QStringLiteral("GET"));
        QCOMPARE(model.data(model.index(0, 3)).toString(),
                 QStringLiteral("http://example.com/路径"));
    }

    void backgroundFromTheRowColour() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        store.InsertRow(Packet(1), {}, kSentColour);
        store.InsertRow(Packet(2));  // no colour
        store.InsertRow(Packet(3), {}, RgbColour(1, 2, 3));
        PacketListModel model(lists);

        QCOMPARE(model.data(model.index(0, 4), Qt::BackgroundRole).value<QColor>(),
                 QColor(0xEE, 0xD8, 0xAE));
        QVERIFY(!model.data(model.index(1, 0), Qt::BackgroundRole).isValid());
        QCOMPARE(model.data(model.index(2, 8), Qt::BackgroundRole).value<QColor>(),
                 QColor(1, 2, 3));
    }

    void rowsAppendedSinceRefreshArriveInOneInsertion() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        store.InsertRow(Packet(1));
        PacketListModel model(lists);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

        for (int i = 0; i < 250; ++i) store.InsertRow(Packet(static_cast<std::uint16_t>(i)));
        QCOMPARE(model.rowCount(), 1);  // nothing announced before the refresh
        model.Refresh();
        QCOMPARE(OnlyInsertion(inserted), std::make_pair(1, 250));
        QCOMPARE(model.rowCount(), 251);

        model.Refresh();  // nothing new: no signal
        QCOMPARE(inserted.count(), 1);

        store.InsertRow(Packet(7));
        inserted.clear();
        model.Refresh();
        QCOMPARE(OnlyInsertion(inserted), std::make_pair(251, 251));
        QCOMPARE(reset.count(), 0);
    }

    void aBoundedRefreshAnnouncesASliceAndSaysWhatIsLeft() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        PacketListModel model(lists);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 25; ++i) store.InsertRow(Packet(1));
        QVERIFY(model.Refresh(10));
        QCOMPARE(OnlyInsertion(inserted), std::make_pair(0, 9));
        inserted.clear();
        QVERIFY(model.Refresh(10));
        QCOMPARE(OnlyInsertion(inserted), std::make_pair(10, 19));
        inserted.clear();
        QVERIFY(!model.Refresh(10));
        QCOMPARE(OnlyInsertion(inserted), std::make_pair(20, 24));
        QCOMPARE(model.rowCount(), 25);
        QVERIFY(!model.Refresh(10));
    }

    void clearResetsTheModel() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        for (int i = 0; i < 10; ++i) store.InsertRow(Packet(1));
        PacketListModel model(lists);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

        store.ClearRows();
        // A clear followed by more rows than before still resets: the rows are other rows.
        for (int i = 0; i < 12; ++i) store.InsertRow(Packet(2));
        model.Refresh();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(inserted.count(), 0);
        QCOMPARE(model.rowCount(), 12);
        QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("11"));

        store.ClearRows();
        model.Refresh();
        QCOMPARE(reset.count(), 2);
        QCOMPARE(model.rowCount(), 0);
    }

    void rowsTakenByAClearReadEmptyUntilTheRefresh() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        store.InsertRow(Packet(1), {}, kSentColour);
        store.InsertRow(Packet(2), {}, kSentColour);
        PacketListModel model(lists);
        const QModelIndex second = model.index(1, 0);

        store.ClearRows();
        store.InsertRow(Packet(3));
        QCOMPARE(model.rowCount(), 2);
        QVERIFY(!model.data(second).isValid());
        QVERIFY(!model.data(second, Qt::BackgroundRole).isValid());
        QVERIFY(!model.data(model.index(5, 0)).isValid());  // beyond any row
    }

    void colourChangesReachTheView() {
        CaptureLists lists{test::MakeTestSpool()};
        RowStore<PacketRow>& store = lists.packets;
        for (int i = 0; i < 5; ++i) store.InsertRow(Packet(1));
        PacketListModel model(lists);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

        store.SetRowColour(2, RgbColour(10, 20, 30));
        model.NotifyColoursChanged(1, 3);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), model.index(1, 0));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), model.index(3, PacketRow::kColumnCount - 1));
        QCOMPARE(model.data(model.index(2, 0), Qt::BackgroundRole).value<QColor>(),
                 QColor(10, 20, 30));

        // Clipped to the rows the view knows; nothing left means no signal.
        model.NotifyColoursChanged(3, 100);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(1).at(1).toModelIndex(), model.index(4, PacketRow::kColumnCount - 1));
        model.NotifyColoursChanged(5, 9);
        model.NotifyColoursChanged(3, 2);
        QCOMPARE(changed.count(), 2);
    }

    // A link marks rows on its own thread and tells the model only when it is done; a paint
    // meanwhile (the next event) shows the marks it has made so far, as before.
    void aColourSetWithoutNoticeShowsAtTheNextEvent() {
        CaptureLists lists{test::MakeTestSpool()};
        for (int i = 0; i < 5; ++i) lists.packets.InsertRow(Packet(1));
        PacketListModel model(lists);
        const QModelIndex third = model.index(2, 3);
        QVERIFY(!model.data(third, Qt::BackgroundRole).isValid());

        lists.packets.SetRowColour(2, RgbColour(10, 20, 30));
        QTRY_COMPARE_WITH_TIMEOUT(model.data(third, Qt::BackgroundRole).value<QColor>(),
                                  QColor(10, 20, 30), test::kTryTimeout);
    }

    // Previews of rows whose frames are large lie far apart in the spool; each row still shows
    // its own, and the rows after it theirs.
    void previewsOfLargeFramesAndSmallOnes() {
        CaptureLists lists{test::MakeTestSpool()};
        std::vector<std::string> payloads;
        for (int i = 0; i < 90; ++i) {
            std::string payload = "row " + std::to_string(i);
            if (i < 60) payload.resize(30000, 'x');
            payloads.push_back(payload);
            test::AddTestPacket(lists, Packet(1), Bytes(payload));
        }
        PacketListModel model(lists);
        for (int i = 0; i < 90; ++i) {
            const QString preview = model.data(model.index(i, 8)).toString();
            QCOMPARE(preview, QString::fromStdString(payloads[i].substr(0, 128)));
        }
    }

    void staysConsistentWhileRowsComeAndGo() {
        RowStore<HttpRow> store;
        HttpListModel model(store);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < 30 * (round + 1); ++i) {
                store.InsertRow(Request("POST"), Bytes("/a"), round % 2 ? kSentColour : kNoColour);
                if (i % 7 == 0) model.Refresh();
            }
            model.Refresh();
            QCOMPARE(model.rowCount(), store.rowCount());
            if (round % 2 == 1) {
                store.ClearRows();
                model.Refresh();
                QCOMPARE(model.rowCount(), 0);
            }
        }
    }

    void burstFromAnotherThread() {
        constexpr int kRows = 100'000;
        CaptureLists lists{test::MakeTestSpool()};
        PacketListModel model(lists);
        int insertedRows = 0;
        connect(&model, &QAbstractItemModel::rowsInserted, &model,
                [&](const QModelIndex&, int first, int last) {
                    QCOMPARE(first, insertedRows);  // contiguous, no gaps or overlaps
                    insertedRows = last + 1;
                });

        std::atomic<bool> done{false};
        std::thread writer([&] {
            for (int i = 0; i < kRows; ++i) {
                test::AddTestPacket(lists, Packet(static_cast<std::uint16_t>(i)), Bytes("payload"),
                                    kReceivedColour);
            }
            done = true;
        });
        // The view's side meanwhile: refresh and read the newest row announced.
        while (!done.load()) {
            model.Refresh();
            const int last = model.rowCount() - 1;
            if (last >= 0) {
                const QString serial = model.data(model.index(last, 0)).toString();
                if (serial != QString::number(last + 1)) {
                    writer.join();
                    QFAIL(qPrintable(QStringLiteral("row %1 reads %2").arg(last).arg(serial)));
                }
            }
        }
        writer.join();
        model.Refresh();
        QCOMPARE(model.rowCount(), kRows);
        QCOMPARE(insertedRows, kRows);
        QCOMPARE(model.data(model.index(kRows - 1, 8)).toString(), QStringLiteral("payload"));
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(RowListModelTest)
#include "RowListModelTest.moc"
