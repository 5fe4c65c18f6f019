#include "ui/LinkController.h"

#include <QTest>

#include "support/RecordingHost.h"
#include "support/qt/GuiTest.h"
#include "support/qt/ListsWindow.h"
#include "ui/QtColours.h"

namespace ravelin {

class LinkControllerTest : public QObject {
    Q_OBJECT

private slots:
    void aClickOnAnHttpRowMarksItsExchangeUntilCleared() {
        test::ListsWindow lists;
        test::RecordingHost host;
        LinkController link(lists.lists, *lists.httpList, *lists.packetList,
                            [&](std::string_view text) { host.status = std::string(text); });
        connect(lists.httpList, &QAbstractItemView::clicked, &link,
                &LinkController::OnHttpListClick);
        QVERIFY(lists.Show());
        lists.packetList->StartFollowing(PacketListCtrl::kRefreshPeriodMs);

        test::ClickRow(lists.httpList, 0);
        QVERIFY(!lists.packetList->following());
        QVERIFY(link.linking());
        QCOMPARE(host.status, std::string("Linking packets"));
        QTRY_COMPARE_WITH_TIMEOUT(host.status, std::string("Link packets done"), test::kTryTimeout);
        QVERIFY(!link.linking());
        QCOMPARE(link.marks().Rows(), (std::vector<int>{1, 2, 3}));
        const auto colourOf = [&](int row) {
            return lists.packetModel.data(lists.packetModel.index(row, 0), Qt::BackgroundRole)
                .value<QColor>();
        };
        QCOMPARE(colourOf(2), ToQColor(kMarkColour));
        QCOMPARE(colourOf(4), ToQColor(kSentColour));

        link.OnClearMarks();
        QVERIFY(link.marks().Rows().empty());
        QCOMPARE(colourOf(1), ToQColor(kSentColour));
        QCOMPARE(colourOf(2), ToQColor(kReceivedColour));
    }

    void goingAwayWaitsForARunningLink() {
        test::ListsWindow lists;
        auto link = std::make_unique<LinkController>(lists.lists, *lists.httpList,
                                                     *lists.packetList, [](std::string_view) {});
        lists.httpList->selectRow(0);
        link->OnHttpListClick();
        link.reset();
        QCoreApplication::processEvents();  // the link's closing call to the controller is dropped
        Colour colour = kNoColour;
        lists.lists.packets.ReadRow(
            3, [&](const StoredRow<PacketRow>& stored) { colour = stored.colour; });
        QCOMPARE(colour, kMarkColour);
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(LinkControllerTest)
#include "LinkControllerTest.moc"
