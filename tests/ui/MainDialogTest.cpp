#include "ui/MainDialog.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionMenuItem>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/EngineOptions.h"
#include "engine/LinuxServices.h"
#include "support/DatagramBuilder.h"
#include "support/FakePacketSource.h"
#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/Gate.h"
#include "support/PcapFileWriter.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"
#include "support/qt/GuiTest.h"
#include "support/qt/ListsWindow.h"
#include "ui/AdapterDialog.h"
#include "ui/DataEdit.h"
#include "ui/LinkController.h"
#include "ui/PacketListCtrl.h"
#include "ui/PaneDivider.h"
#include "ui/ProcessTreeCtrl.h"
#include "ui/ProcessTreeModel.h"
#include "ui/RowListModel.h"
#include "ui/StatusLine.h"
#include "ui/WindowLayout.h"

#include <pcap/dlt.h>

namespace ravelin {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

// Answers the next message box that opens with the given button, and remembers its text.
void AnswerNextMessageBox(QMessageBox::StandardButton button, QString* text = nullptr) {
    QTimer::singleShot(0, [=] {
        QTRY_VERIFY_WITH_TIMEOUT(
            qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr,
            test::kTryTimeout);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (text != nullptr) *text = box->text();
        box->button(button)->click();
    });
}

// Chooses `path` in the next file dialog that opens, as a user would type it.
void ChooseInNextFileDialog(const QString& path) {
    QTimer::singleShot(0, [=] {
        QTRY_VERIFY_WITH_TIMEOUT(
            qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr,
            test::kTryTimeout);
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

// The node of process `pid` in the tree; invalid while there is none.
QModelIndex ProcessNode(ProcessTreeCtrl* tree, int pid) {
    const QModelIndex root = tree->treeModel()->rootIndex();
    for (int row = 0; row < tree->model()->rowCount(root); ++row) {
        const QModelIndex child = tree->model()->index(row, 0, root);
        if (child.data(ProcessTreeModel::kPidRole).toInt() == pid) return child;
    }
    return {};
}

// Records the text of every menu item it draws, as the user reads it ("text<TAB>shortcut").
class MenuTextStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
            element == CE_MenuItem && item != nullptr && !item->text.isEmpty()) {
            texts.append(item->text);
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    mutable QStringList texts;
};

/// What tshark reads of a capture file: one line per packet, "comment TAB ip.len".
QString TsharkLines(const std::string& path) {
    std::string command =
        "tshark -r '" + path + "' -T fields -e frame.comment -e ip.len 2>/dev/null";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
        ::pclose(pipe);
    }
    return QString::fromStdString(out);
}

// Twelve packets between 10.0.0.2 (this host) and 10.0.0.9; `requests` of them, from the fifth
// on, are HTTP requests (for /app.js, then /5.js, /6.js, ...).
std::string WriteReplayFile(int requests = 1) {
    std::vector<test::Frame> frames;
    for (int i = 0; i < 12; ++i) {
        test::DatagramBuilder builder;
        const bool sent = i % 2 == 0;
        builder.source = test::Ipv4(sent ? "10.0.0.2" : "10.0.0.9");
        builder.destination = test::Ipv4(sent ? "10.0.0.9" : "10.0.0.2");
        builder.sourcePort = sent ? 40000 : 80;
        builder.destinationPort = sent ? 80 : 40000;
        if (i >= 4 && i < 4 + requests) {
            const std::string target = i == 4 ? "app" : std::to_string(i);
            const std::string request = "GET /" + target + ".js HTTP/1.1\r\nHost: h\r\n\r\n";
            builder.payload.assign(request.begin(), request.end());
        }
        frames.push_back({test::EthernetFrame(builder.Build()), 1700000000 + i, 0});
    }
    const std::string path = test::TemporaryPath("window-replay.pcap");
    test::WritePcapFile(path, DLT_EN10MB, frames);
    return path;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

private:
    // The window over fake tables and processes: "curl" (pid kCurl) owns the replayed
    // connection 10.0.0.2:40000 - 10.0.0.9:80; capture reads readFile_, or live.
    std::unique_ptr<MainDialog> MakeWindow() {
        SystemServices services = LinuxServices(readFile_);
        services.spool = test::MakeTestSpool();
        if (fakeSource_ != nullptr) {
            services.packetSources = [script = fakeSource_](const IpAddress& address) {
                return std::make_unique<test::FakePacketSource>(script, address);
            };
        }
        const auto addProcesses = [](test::FakeProcessSource& processes) {
            processes.AddProcess(1, "init");
            processes.AddProcess(kCurl, "curl");
            processes.SetSocketInodes(kCurl, {77});
        };
        auto lookupProcesses = std::make_unique<test::FakeProcessSource>();
        auto treeProcesses = std::make_unique<test::FakeProcessSource>();
        addProcesses(*lookupProcesses);
        addProcesses(*treeProcesses);
        treeProcesses->onQuery = treeQuery_;
        treeProcesses_ = treeProcesses.get();
        auto sockets = std::make_unique<test::FakeSocketTable>();
        sockets->SetTcp({test::FakeSocketTable::Row(
            77, {test::Ipv4("10.0.0.2"), 40000, test::Ipv4("10.0.0.9"), 80})});
        services.lookupSockets = std::move(sockets);
        services.treeSockets = std::make_unique<test::FakeSocketTable>();
        services.lookupProcesses = std::move(lookupProcesses);
        services.treeProcesses = std::move(treeProcesses);
        services.loadOwnerTables = [](ErrorReporter&) { return true; };
        services.openSocketEvents = nullptr;
        // Options as the command line gives them; the file, if any, is read as a live source.
        std::vector<std::string> arguments = {"--config", iniPath_};
        if (bindAddress_) arguments.insert(arguments.end(), {"--bind", *bindAddress_});
        std::string error;
        auto window = std::make_unique<MainDialog>(
            std::move(services), WindowOptions(*ParseCommandLine(arguments, error)));
        if (!window->Initialise()) return nullptr;
        // The adapter dialog offers the default address through the event loop.
        QCoreApplication::processEvents();
        return window;
    }

    // The window listening on 10.0.0.2, the replayed file's host, shown and active.
    std::unique_ptr<MainDialog> ShownWindow() {
        auto window = MakeWindow();
        if (window == nullptr) return nullptr;
        window->OnAddressChosen(test::Ipv4("10.0.0.2"));
        window->show();
        if (!QTest::qWaitForWindowActive(window.get(), test::kTryTimeout)) return nullptr;
        return window;
    }

    static constexpr int kCurl = 4242;
    std::optional<std::string> readFile_;
    std::optional<std::string> bindAddress_;
    std::shared_ptr<test::FakeSourceScript> fakeSource_;
    std::function<void(std::string_view)> treeQuery_;
    test::FakeProcessSource* treeProcesses_ = nullptr;  // the last window's
    std::string iniPath_ = test::TemporaryPath("window.ini");

private slots:
    void init() {
        std::ofstream(iniPath_, std::ios::trunc)
            << "[Config]\nWndTop=2\n[HighLightExtension]\nExt[0]=FF0000,js,\n";
        readFile_.reset();
        bindAddress_.reset();
        fakeSource_.reset();
        treeQuery_ = nullptr;
    }

    void startsWithTheListsToolbarAndStatusOfReady() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        QCOMPARE(window->windowTitle(), QStringLiteral("Ravelin V0.5"));
        QCOMPARE(window->stateLabel()->text(), QStringLiteral("State: Ready."));
        QCOMPARE(window->packetsLabel()->text(), QStringLiteral("Packets: 0"));
        QCOMPARE(window->httpsLabel()->text(), QStringLiteral("HTTPs: 0"));

        const QStringList tips = {
            window->startStopAction()->toolTip(), window->cleanAction()->toolTip(),
            window->checkNewAction()->toolTip(), window->switchAdapterAction()->toolTip()};
        QCOMPARE(
            tips,
            (QStringList{QString::fromUtf8("启动/停止 监听(F5)"), QString::fromUtf8("清除所有数据"),
                         QString::fromUtf8("勾选新进程"), QString::fromUtf8("切换监听网卡")}));
        QVERIFY(window->startStopAction()->isCheckable());
        QVERIFY(!window->startStopAction()->isChecked());
        QVERIFY(window->checkNewAction()->isChecked());

        QAbstractItemModel* packets = window->packetList()->model();
        QCOMPARE(packets->columnCount(), 9);
        QCOMPARE(packets->headerData(8, Qt::Horizontal).toString(), QString::fromUtf8("数据"));
        // Addresses get 110 pixels of a 6-pixel font, more with a larger one.
        QVERIFY(window->packetList()->columnWidth(3) >= 110);
        QCOMPARE(window->packetList()->columnWidth(3), window->packetList()->columnWidth(5));
        QVERIFY(window->packetList()->columnWidth(3) > window->packetList()->columnWidth(4));
        QCOMPARE(window->httpList()->model()->headerData(3, Qt::Horizontal).toString(),
                 QString::fromUtf8("地址"));
        QVERIFY(window->packetList()->following());
        QVERIFY(window->httpList()->following());

        // WndTop=2 is no 1: an ordinary window, and the key is written back as 0.
        QVERIFY(!window->topMostCheck()->isChecked());
        QVERIFY(ReadAll(iniPath_).find("WndTop=0\n") != std::string::npos);
        QVERIFY(window->processTree().allProcessesChecked());
        QVERIFY(window->processTree().FindProcessNode(kCurl).has_value());
    }

    void replaysAFileIntoBothListsWithF5() {
        readFile_ = WriteReplayFile();
        bindAddress_ = "10.0.0.2";  // the file's host: its packets are sent
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        QCOMPARE(window->addressLabel()->text(), QStringLiteral("10.0.0.2"));
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get(), test::kTryTimeout));

        QTest::keyClick(window.get(), Qt::Key_F5);
        QVERIFY(window->startStopAction()->isChecked());
        QAbstractItemModel* packets = window->packetList()->model();
        QTRY_COMPARE_WITH_TIMEOUT(packets->rowCount(), 12, test::kTryTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(window->httpList()->model()->rowCount(), 1, test::kTryTimeout);
        // The file's end stops capture by itself.
        QTRY_VERIFY_WITH_TIMEOUT(!window->session().running(), test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(!window->startStopAction()->isChecked(), test::kTryTimeout);
        QCOMPARE(window->packetsLabel()->text(), QStringLiteral("Packets: 12"));
        QCOMPARE(window->httpsLabel()->text(), QStringLiteral("HTTPs: 1"));

        QCOMPARE(packets->data(packets->index(0, 3)).toString(), QStringLiteral("10.0.0.2"));
        QCOMPARE(packets->data(packets->index(0, 0), Qt::BackgroundRole).value<QColor>(),
                 QColor(0xEE, 0xD8, 0xAE));
        QCOMPARE(packets->data(packets->index(1, 0), Qt::BackgroundRole).value<QColor>(),
                 QColor(0xCA, 0xE1, 0xFF));
        QAbstractItemModel* requests = window->httpList()->model();
        QCOMPARE(requests->data(requests->index(0, 3)).toString(),
                 QStringLiteral("http://h/app.js"));
        QCOMPARE(requests->data(requests->index(0, 0), Qt::BackgroundRole).value<QColor>(),
                 QColor(0xFF, 0x00, 0x00));

        // A click on a packet row shows its payload in both panes.
        test::ClickRow(window->packetList(), 4);
        QCOMPARE(window->textPane()->toPlainText(),
                 QStringLiteral("GET /app.js HTTP/1.1\nHost: h\n\n"));
        QVERIFY(window->hexPane()->toPlainText().startsWith(QStringLiteral("47 45 54 20 ")));

        // A click on the HTTP row links its exchange: its own packet and the rows that share
        // its acknowledgement number (every test packet has the same numbers). The request's
        // packet shows in the panes, and cleaning is possible again.
        test::ClickRow(window->packetList(), 0);
        QCOMPARE(window->textPane()->toPlainText(), QString());
        test::ClickRow(window->httpList(), 0);
        QVERIFY(!window->cleanAction()->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(window->stateLabel()->text(),
                                  QStringLiteral("State: Link packets done."), test::kTryTimeout);
        QVERIFY(window->cleanAction()->isEnabled());
        QCOMPARE(window->textPane()->toPlainText(),
                 QStringLiteral("GET /app.js HTTP/1.1\nHost: h\n\n"));
        QVERIFY(!window->linkController().marks().Rows().empty());

        // Clearing empties both lists, the panes and the counters, and frees the rows.
        window->CleanAll();
        QCOMPARE(window->stateLabel()->text(), QStringLiteral("State: Clean data done."));
        QCOMPARE(packets->rowCount(), 0);
        QCOMPARE(window->httpList()->model()->rowCount(), 0);
        QCOMPARE(window->packetsLabel()->text(), QStringLiteral("Packets: 0"));
        QCOMPARE(window->textPane()->toPlainText(), QString());
        QVERIFY(window->linkController().marks().Rows().empty());
    }

    void columnsAndTreeNodesShowTheirWholeText() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), test::kTryTimeout));
        const auto fits = [](PacketListCtrl* list, int column, const QString& text) {
            return list->columnWidth(column) > list->fontMetrics().horizontalAdvance(text) + 6;
        };
        QVERIFY(fits(window->httpList(), 0, QStringLiteral("2999999")));
        QVERIFY(fits(window->httpList(), 2, QStringLiteral("OPTIONS")));
        QVERIFY(fits(window->packetList(), 0, QStringLiteral("2999999")));
        QVERIFY(fits(window->packetList(), 3, QStringLiteral("255.255.255.255")));

        // The name column follows a node that appears later with a longer name, up to where the
        // sending rate still shows beside it; dragging the tree's edge gives the name more room.
        window->resize(1024, 768);
        ProcessTreeCtrl* tree = window->treeView();
        const auto rateInView = [tree] {
            return tree->header()->sectionViewportPosition(1) + tree->columnWidth(1) <=
                   tree->viewport()->width();
        };
        const std::string name = "a-process-with-a-name-longer-than-most-are";
        const int longNameWidth =
            tree->indentation() * 2 + tree->fontMetrics().horizontalAdvance(
                                          QStringLiteral("[778]") + QString::fromStdString(name));
        treeProcesses_->AddProcess(778, name);
        QTRY_VERIFY_WITH_TIMEOUT(window->processTree().FindProcessNode(778).has_value(),
                                 test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(rateInView(), test::kTryTimeout);
        QVERIFY(tree->columnWidth(0) < longNameWidth);

        auto* divider = window->findChild<PaneDivider*>();
        QVERIFY(divider != nullptr);
        const int treeWidth = tree->width();
        const int listX = window->httpList()->x();
        // The strip moves under the mouse: each event's position is given where it is now.
        const auto dragBy = [&](int through, int to) {
            const QPoint grip(divider->width() / 2, divider->height() / 2);
            const QPoint start = divider->mapToParent(grip);
            QTest::mousePress(divider, Qt::LeftButton, {}, grip);
            QTest::mouseMove(divider, divider->mapFromParent(start + QPoint(through, 0)));
            QTest::mouseRelease(divider, Qt::LeftButton, {},
                                divider->mapFromParent(start + QPoint(to, 0)));
        };
        dragBy(100, 150);
        QCOMPARE(tree->width(), treeWidth + 150);
        QCOMPARE(window->httpList()->x(), listX + 150);
        QTRY_VERIFY_WITH_TIMEOUT(tree->columnWidth(0) > longNameWidth, test::kTryTimeout);
        QVERIFY(rateInView());
        // When that process ends, the column gives the room back.
        treeProcesses_->RemoveProcess(778);
        QTRY_VERIFY_WITH_TIMEOUT(tree->columnWidth(0) < longNameWidth, test::kTryTimeout);
        treeProcesses_->AddProcess(779, name);
        QTRY_VERIFY_WITH_TIMEOUT(tree->columnWidth(0) > longNameWidth, test::kTryTimeout);
        // However far it goes, the lists and the text pane keep room; the next start has the
        // tree as wide as the drag left it.
        dragBy(300, 5000);
        QVERIFY(window->textPane()->width() >= kMinimumTextPaneWidth);
        QCOMPARE(window->hexPane()->x() + window->hexPane()->width(), window->width());
        auto next = MakeWindow();
        QVERIFY(next != nullptr);
        next->resize(1024, 768);
        next->show();
        QVERIFY(QTest::qWaitForWindowExposed(next.get(), test::kTryTimeout));
        QCOMPARE(next->treeView()->width(), tree->width());

        // Hovering a node too long for the pane shows its whole text.
        const QModelIndex curl = ProcessNode(tree, kCurl);
        QVERIFY(curl.isValid());
        tree->setColumnWidth(0, tree->indentation() * 2 + 20);  // past the indentation
        const QPoint at = tree->visualRect(curl).center();
        QHelpEvent hover(QEvent::ToolTip, at, tree->viewport()->mapToGlobal(at));
        QApplication::sendEvent(tree->viewport(), &hover);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), QStringLiteral("[%1]curl").arg(kCurl),
                                  test::kTryTimeout);
    }

    void aReadErrorLeavesTheWindowStopped() {
        readFile_ = WriteReplayFile();
        std::filesystem::resize_file(*readFile_, std::filesystem::file_size(*readFile_) - 10);
        auto window = ShownWindow();
        QVERIFY(window != nullptr);

        // The box opens later, from the end of capture: answered by polling.
        QString error;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                error = box->text();
                box->button(QMessageBox::Ok)->click();
                answer.stop();
            }
        });
        answer.start(20);
        QTest::mouseClick(window->toolBar()->widgetForAction(window->startStopAction()),
                          Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(error.contains(QStringLiteral("truncated")), test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(!window->startStopAction()->isChecked(), test::kTryTimeout);
        QCOMPARE(window->stateLabel()->text(), QStringLiteral("State: Ready."));
    }

    // An idle live source that has delivered `count` datagrams of 10.0.0.2.
    void UseIdleSource(int count) {
        fakeSource_ = std::make_shared<test::FakeSourceScript>();
        fakeSource_->endAfterDatagrams = false;
        for (int i = 0; i < count; ++i) {
            test::DatagramBuilder builder;
            builder.source = test::Ipv4("10.0.0.2");
            builder.destination = test::Ipv4("10.0.0.9");
            builder.sourcePort = static_cast<std::uint16_t>(40000 + i % 7);
            builder.destinationPort = 53;
            builder.protocol = 17;  // UDP
            fakeSource_->datagrams.push_back(builder.Build());
        }
    }

    void theKernelsLossShowsOnceItDrops() {
        UseIdleSource(3);
        fakeSource_->statistics = CaptureStatistics{3, 0};
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        window->startStopAction()->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window->packetsLabel()->text(), QStringLiteral("Packets: 3"),
                                  test::kTryTimeout);
        QVERIFY(!window->lossLabel()->isVisible());

        fakeSource_->statistics = CaptureStatistics{1200, 45};
        QTRY_VERIFY_WITH_TIMEOUT(window->lossLabel()->isVisible(), test::kTryTimeout);
        QCOMPARE(window->lossLabel()->text(), QStringLiteral("Received: 1200  Dropped: 45"));
        // It sits between the state and the address, clear of both.
        const QRect loss = window->lossLabel()->geometry();
        QVERIFY(loss.left() > window->stateLabel()->geometry().right());
        QVERIFY(loss.right() < window->addressLabel()->geometry().left());
        window->startStopAction()->trigger();
        QVERIFY(window->lossLabel()->isVisible());  // the last capture's counts stay
    }

    void theCountersCatchUpWhenCaptureStops() {
        UseIdleSource(5000);
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        QTest::keyClick(window.get(), Qt::Key_F5);
        QTRY_COMPARE_WITH_TIMEOUT(window->lists().packets.rowCount(), 5000, test::kTryTimeout);
        QTest::keyClick(window.get(), Qt::Key_F5);
        QVERIFY(!window->session().running());
        QAbstractItemModel* packets = window->packetList()->model();
        QTRY_COMPARE_WITH_TIMEOUT(packets->rowCount(), 5000, test::kTryTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(window->packetsLabel()->text(), QStringLiteral("Packets: 5000"),
                                  test::kTryTimeout);
    }

    void aSlowTreeRefreshLeavesTheWindowResponsive() {
        test::Gate release;
        std::atomic<bool> slow{false};
        std::atomic<int> waiting{0};
        std::atomic<bool> gaveUp{false};
        treeQuery_ = [&](std::string_view query) {
            if (!slow.load() || query != "ProcessIds") return;
            ++waiting;
            if (!release.WaitFor(test::kDeadline)) gaveUp = true;
        };
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), test::kTryTimeout));
        treeProcesses_->AddProcess(777, "late");
        slow = true;

        QTRY_VERIFY_WITH_TIMEOUT(waiting.load() > 0, test::kTryTimeout);
        // The refresh waits; the window's clicks still go through while it does. A refresh on
        // the window's thread would have to give up its wait before the click could come.
        QAbstractItemModel* tree = window->treeView()->model();
        const QModelIndex root = window->treeView()->treeModel()->rootIndex();
        const QModelIndex first = tree->index(0, 0, root);
        const QRect box = window->treeView()->visualRect(first);
        window->treeView()->selectionModel()->clear();
        QTest::mouseClick(window->treeView()->viewport(), Qt::LeftButton, {}, box.center());
        QVERIFY(window->treeView()->selectionModel()->isSelected(first));
        QVERIFY(!gaveUp.load());
        QCOMPARE(tree->rowCount(root), 2);

        release.Open();
        QTRY_COMPARE_WITH_TIMEOUT(tree->rowCount(root), 3, test::kTryTimeout);
        QCOMPARE(tree->index(0, 0, root).data().toString(), QStringLiteral("[777]late"));
    }

    void aDarkThemeKeepsTheTextDarkOnTheLightBackgrounds() {
        const QPalette before = QApplication::palette();
        QPalette dark = before;
        for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base}) {
            dark.setColor(role, QColor(0x20, 0x20, 0x20));
        }
        for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text}) {
            dark.setColor(role, QColor(0xF0, 0xF0, 0xF0));
        }
        QApplication::setPalette(dark);
        readFile_ = WriteReplayFile();
        auto window = MakeWindow();
        QApplication::setPalette(before);
        QVERIFY(window != nullptr);
        window->OnAddressChosen(test::Ipv4("10.0.0.2"));
        window->show();
        window->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(window->packetList()->model()->rowCount(), 12, test::kTryTimeout);

        const auto readable = [](const QColor& text, const QColor& background) {
            return background.lightness() - text.lightness() > 120;
        };
        for (QWidget* control : std::initializer_list<QWidget*>{
                 window->packetList(), window->httpList(), window->treeView(), window->textPane(),
                 window->hexPane()}) {
            const QPalette& colours = control->palette();
            QVERIFY(readable(colours.color(QPalette::Text), colours.color(QPalette::Base)));
        }
        QVERIFY(readable(window->stateLabel()->palette().color(QPalette::WindowText),
                         window->palette().color(QPalette::Window)));
        // Rows with colours of their own get dark text as well.
        QAbstractItemModel* packets = window->packetList()->model();
        const QModelIndex row = packets->index(1, 0);
        QVERIFY(readable(row.data(Qt::ForegroundRole).value<QColor>(),
                         row.data(Qt::BackgroundRole).value<QColor>()));
    }

    void payloadsOfAnyScriptShowWithoutWarnings() {
        // Syriac and Thaana letters, which need OpenType shaping, amid binary bytes.
        test::DatagramBuilder builder;
        builder.source = test::Ipv4("10.0.0.2");
        builder.destination = test::Ipv4("10.0.0.9");
        builder.protocol = 17;  // UDP
        builder.payload = {0xDC, 0x90, 0xDC, 0x91, 0x01, 0xFF, 0xDE, 0x80, 0xDE, 0x81, 'a'};
        readFile_ = test::TemporaryPath("window-scripts.pcap");
        test::WritePcapFile(*readFile_, DLT_EN10MB,
                            {{test::EthernetFrame(builder.Build()), 1700000000, 0}});
        QTest::failOnWarning(QRegularExpression(QStringLiteral("OpenType")));
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        window->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(window->packetList()->model()->rowCount(), 1, test::kTryTimeout);
        test::ClickRow(window->packetList(), 0);
        QVERIFY(window->textPane()->toPlainText().contains(QChar(0x0710)));
        // Painting is what loads the fonts.
        (void)window->grab();
    }

    void theStateAlwaysTellsWhetherCaptureRuns() {
        UseIdleSource(3);
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get(), test::kTryTimeout));
        const auto state = [&] { return window->stateLabel()->text(); };

        QTest::keyClick(window.get(), Qt::Key_F5);
        QCOMPARE(state(), QStringLiteral("State: Listening."));
        QTRY_COMPARE_WITH_TIMEOUT(window->lists().packets.rowCount(), 3, test::kTryTimeout);
        // A save's report gives way to the state again while capture goes on.
        ChooseInNextFileDialog(
            QString::fromStdString(test::TemporaryPath("window-while-listening.pcapng")));
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("State: Capture saved."),
                                  test::kTryTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("State: Listening."), test::kTryTimeout);
        window->activateWindow();  // the file dialog had the keyboard
        QVERIFY(QTest::qWaitForWindowActive(window.get(), test::kTryTimeout));
        QTest::keyClick(window.get(), Qt::Key_F5);
        QVERIFY(!window->session().running());
        QCOMPARE(state(), QStringLiteral("State: Ready."));

        // Started by the button, and restarted on another adapter: listening all along.
        QTest::mouseClick(window->toolBar()->widgetForAction(window->startStopAction()),
                          Qt::LeftButton);
        QCOMPARE(state(), QStringLiteral("State: Listening."));
        window->switchAdapterAction()->trigger();
        window->adapterDialog()->adapterList()->selectRow(0);
        QMetaObject::invokeMethod(window->adapterDialog(), "accept");
        QTRY_COMPARE_WITH_TIMEOUT(fakeSource_->sourcesCreated.load(), 3, test::kTryTimeout);
        QVERIFY(window->session().running());
        QCOMPARE(state(), QStringLiteral("State: Listening."));
    }

    // With the default font and one a quarter larger: at 1024x768 a process's id and a name of
    // 20 characters show whole beside its sending rate, and every label of the status line and
    // the toolbar's row whole and apart; a wider window widens the lists, not the tree; and the
    // window goes no smaller than its panes need.
    void theLayoutHoldsInBothFonts_data() {
        QTest::addColumn<double>("fontScale");
        QTest::newRow("default font") << 1.0;
        QTest::newRow("a quarter larger") << 1.25;
    }

    void theLayoutHoldsInBothFonts() {
        QFETCH(double, fontScale);
        const QFont before = QApplication::font();
        const auto restore = qScopeGuard([before] { QApplication::setFont(before); });
        QFont font = before;
        font.setPointSizeF(before.pointSizeF() * fontScale);
        QApplication::setFont(font);
        UseIdleSource(3);
        fakeSource_->statistics = CaptureStatistics{4294967295, 4294967295};
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        treeProcesses_->AddProcess(29148, "xdg-permission-store");
        window->resize(1024, 768);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), test::kTryTimeout));
        window->startStopAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window->lossLabel()->isVisible(), test::kTryTimeout);

        ProcessTreeCtrl* tree = window->treeView();
        const auto showsWhole = [tree](int pid) {
            const QModelIndex node = ProcessNode(tree, pid);
            return node.isValid() &&
                   tree->sizeHintForIndex(node).width() <= tree->visualRect(node).width();
        };
        QTRY_VERIFY_WITH_TIMEOUT(showsWhole(29148), test::kTryTimeout);
        const QModelIndex rate = ProcessNode(tree, 29148).siblingAtColumn(1);
        QVERIFY(tree->visualRect(rate).right() < tree->viewport()->width());
        QCOMPARE(window->modeLabel()->text(), window->modeLabel()->toolTip());  // with the reason
        QList<QRect> places;
        for (QWidget* label : std::initializer_list<QWidget*>{
                 window->stateLabel(), window->lossLabel(), window->packetsLabel(),
                 window->httpsLabel(), window->modeLabel(), window->addressLabel(),
                 window->topMostCheck()}) {
            QVERIFY(label->isVisible() && label->width() >= label->sizeHint().width());
            QVERIFY(window->rect().contains(label->geometry()));
            places.append(label->geometry());
        }
        for (QAction* action : window->toolBar()->actions()) {
            const QWidget* button = window->toolBar()->widgetForAction(action);
            places.append(QRect(button->mapTo(window.get(), QPoint()), button->size()));
        }
        for (int a = 0; a < places.size(); ++a) {
            for (int b = a + 1; b < places.size(); ++b) QVERIFY(!places[a].intersects(places[b]));
        }

        const int treeWidth = tree->width();
        const int listWidth = window->httpList()->width();
        window->resize(1390, 860);
        QCOMPARE(tree->width(), treeWidth);
        QCOMPARE(window->httpList()->width(), listWidth + 1390 - 1024);

        // A short name still shows whole, and each list and pane a few rows.
        window->resize(400, 300);
        QVERIFY(window->width() > 400);
        QTRY_VERIFY_WITH_TIMEOUT(showsWhole(kCurl), test::kTryTimeout);
        QVERIFY(window->textPane()->width() >= kMinimumTextPaneWidth);
        const int row = window->packetList()->verticalHeader()->defaultSectionSize();
        for (QAbstractScrollArea* pane : std::initializer_list<QAbstractScrollArea*>{
                 tree, window->httpList(), window->packetList(), window->textPane(),
                 window->hexPane()}) {
            QVERIFY(pane->viewport()->height() >= 3 * row);
        }
    }

    // Ctrl+A and Ctrl+C copy every URL of the list, and its menu names each key once.
    void theHttpListCopiesEveryUrlAndNamesEachKeyOnce() {
        readFile_ = WriteReplayFile(3);
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        window->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(window->httpList()->model()->rowCount(), 3, test::kTryTimeout);
        test::ClickRow(window->httpList(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!window->linkController().linking(), test::kTryTimeout);
        QTest::keyClick(window->httpList(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window->httpList(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("http://h/app.js\r\nhttp://h/5.js\r\nhttp://h/6.js"));

        auto* menu = window->httpList()->findChild<QMenu*>();
        QVERIFY(menu != nullptr);
        MenuTextStyle style;
        menu->setStyle(&style);
        const QPoint at =
            window->httpList()->visualRect(window->httpList()->model()->index(0, 1)).center();
        // What a right click delivers.
        QContextMenuEvent click(QContextMenuEvent::Mouse, at,
                                window->httpList()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(window->httpList()->viewport(), &click);
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), test::kTryTimeout);
        (void)menu->grab();  // paints every item
        menu->close();
        menu->setStyle(nullptr);
        QCOMPARE(style.texts.mid(0, 4),
                 (QStringList{"复制URL(Ctrl+C)", "保存数据到文件(Ctrl+S)", "保存抓包(Ctrl+Shift+S)",
                              "打开抓包文件(Ctrl+O)"}));
    }

    void closingWithRowsAsksFirst() {
        readFile_ = WriteReplayFile();
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        QVERIFY(window->close());  // nothing listed: no question
        window->show();
        window->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(window->packetList()->model()->rowCount(), 12, test::kTryTimeout);

        // Lists with rows: closing asks first, and No keeps the window.
        QString question;
        AnswerNextMessageBox(QMessageBox::No, &question);
        QVERIFY(!window->close());
        QCOMPARE(question, QString::fromUtf8("确定?"));
        AnswerNextMessageBox(QMessageBox::Yes);
        QVERIFY(window->close());
    }

    void alwaysOnTopIsWrittenBack() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        window->topMostCheck()->click();
        QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(ReadAll(iniPath_).find("WndTop=1\n") != std::string::npos);
        window->topMostCheck()->click();
        QVERIFY(!window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(ReadAll(iniPath_).find("WndTop=0\n") != std::string::npos);
    }

    void clickStopsFollowingAndTheDownArrowResumesIt() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        PacketListCtrl* list = window->packetList();
        QVERIFY(list->following());
        QTest::mouseClick(list->viewport(), Qt::LeftButton);
        QVERIFY(!list->following());
        list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QVERIFY(list->following());
        list->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        QVERIFY(!list->following());
    }

    // Rows come in two bursts. At the last row the list follows the first; scrolled up by the
    // user, it stays where it is through the second, its selection too, and its scroll bar on
    // the screen shows where it is among the rows it now has.
    void aListFollowsBurstsOnlyFromItsLastRow() {
        UseIdleSource(3000);
        test::Gate secondBurst;
        fakeSource_->holdAt = 1000;
        fakeSource_->hold = &secondBurst;
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        // Before the window goes, which waits for capture to end.
        auto openOnReturn = qScopeGuard([&] { secondBurst.Open(); });
        PacketListCtrl* list = window->packetList();
        const QAbstractItemModel* packets = list->model();
        const auto shown = [&](int row) {
            const QRect cell = list->visualRect(packets->index(row, 0));
            return !cell.isEmpty() && list->viewport()->rect().contains(cell);
        };
        // The scroll bar as the screen shows it, and as it draws itself now.
        QScrollBar* bar = list->verticalScrollBar();
        const auto onScreen = [&] {
            const QPoint at = bar->mapTo(window.get(), QPoint());
            return window->screen()
                ->grabWindow(window->winId(), at.x(), at.y(), bar->width(), bar->height())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        };
        const auto drawn = [&] {
            return bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };

        QTest::keyClick(window.get(), Qt::Key_F5);
        QTRY_COMPARE_WITH_TIMEOUT(packets->rowCount(), 1000, test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(shown(999), test::kTryTimeout);
        QVERIFY(!shown(0));
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(), drawn(), test::kTryTimeout);

        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(), drawn(), test::kTryTimeout);
        const int top = list->rowAt(0);
        test::ClickRow(list, top + 1);
        QVERIFY(!list->following());
        const int scrolledTo = bar->value();
        QCOMPARE(list->SelectedRows(), QList<int>{top + 1});

        secondBurst.Open();
        QTRY_COMPARE_WITH_TIMEOUT(packets->rowCount(), 3000, test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 2000, test::kTryTimeout);
        QCOMPARE(bar->value(), scrolledTo);
        QCOMPARE(list->rowAt(0), top);
        QCOMPARE(list->SelectedRows(), QList<int>{top + 1});
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(), drawn(), test::kTryTimeout);

        // The down arrow hands the list back: it shows the last row and follows again.
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QVERIFY(list->following());
        QVERIFY(shown(2999));
    }

    void theLastColumnFillsTheList() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->resize(1400, 600);
        window->show();
        PacketListCtrl* list = window->packetList();
        const auto filled = [list] {
            std::vector<int> widths;
            for (int column = 0; column < 9; ++column) widths.push_back(list->columnWidth(column));
            return widths.back() > 0 && widths.back() == StretchLastColumn(list->width(), widths);
        };
        QVERIFY(filled());
        list->horizontalHeader()->resizeSection(3, list->columnWidth(3) + 50);  // the user's drag
        QVERIFY(filled());
        window->resize(1600, 600);
        QTRY_VERIFY_WITH_TIMEOUT(filled(), test::kTryTimeout);
        // Where the others fill the list, the data column is still there to scroll to.
        list->horizontalHeader()->resizeSection(3, list->width());
        QVERIFY(list->columnWidth(8) > list->fontMetrics().horizontalAdvance("GET /index.html"));
    }

    void adapterOkWithoutSelectionAsksForOne() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->show();
        window->switchAdapterAction()->trigger();
        AdapterDialog* dialog = window->adapterDialog();
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QString::fromUtf8("网卡"));
        dialog->adapterList()->clearSelection();
        QMetaObject::invokeMethod(dialog, "accept");
        QTRY_VERIFY_WITH_TIMEOUT(dialog->findChild<QMessageBox*>() != nullptr, test::kTryTimeout);
        QCOMPARE(dialog->findChild<QMessageBox*>()->text(), QString::fromUtf8("请选择一个网卡"));
        QVERIFY(dialog->isVisible());
        dialog->reject();
        QVERIFY(!dialog->isVisible());
    }

    // A capture's owners survive Save and Open: tshark reads them as packet comments, the opened
    // file's processes make the tree, and ticking them filters the file's packets again.
    void aSavedCaptureKeepsItsOwnersThroughSaveAndOpen() {
        if (std::system("command -v tshark >/dev/null") != 0) QSKIP("tshark is not installed");
        readFile_ = WriteReplayFile();
        auto window = ShownWindow();
        QVERIFY(window != nullptr);
        window->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(window->stateLabel()->text(), QStringLiteral("State: Ready."),
                                  test::kTryTimeout);
        QCOMPARE(window->lists().packets.rowCount(), 12);

        const std::string saved = test::TemporaryPath("window-saved.pcapng");
        ChooseInNextFileDialog(QString::fromStdString(saved));
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_COMPARE_WITH_TIMEOUT(window->stateLabel()->text(),
                                  QStringLiteral("State: Capture saved."), test::kTryTimeout);
        const QString curlLine = QStringLiteral("pid=%1 name=curl\t").arg(kCurl);
        const QStringList lines = TsharkLines(saved).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 12);
        for (const QString& line : lines) QVERIFY2(line.startsWith(curlLine), qPrintable(line));

        // Opened: the same packets, the tree made of the file's process, and a save of it is
        // the file itself.
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get(), test::kTryTimeout));
        ChooseInNextFileDialog(QString::fromStdString(saved));
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(window->stateLabel()->text(), QStringLiteral("State: Ready."),
                                  test::kTryTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(window->lists().packets.rowCount(), 12, test::kTryTimeout);
        ProcessTree& tree = window->processTree();
        QTRY_VERIFY_WITH_TIMEOUT(tree.FindProcessNode(kCurl).has_value(), test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(!tree.FindProcessNode(1).has_value(),
                                 test::kTryTimeout);  // init runs here, not in the file
        const std::string again = test::TemporaryPath("window-saved-again.pcapng");
        QVERIFY(window->SaveCaptureTo(QString::fromStdString(again)));
        QCOMPARE(ReadAll(again), ReadAll(saved));

        // Unticking the file's only process lists none of its packets.
        auto* model = window->treeView()->treeModel();
        QTRY_VERIFY_WITH_TIMEOUT(model->rowCount(model->rootIndex()) == 1, test::kTryTimeout);
        QVERIFY(model->setData(model->index(0, 0, model->rootIndex()), Qt::Unchecked,
                               Qt::CheckStateRole));
        QTRY_COMPARE_WITH_TIMEOUT(window->stateLabel()->text(), QStringLiteral("State: Ready."),
                                  test::kTryTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(!window->session().running(), test::kTryTimeout);
        QCOMPARE(window->lists().packets.rowCount(), 0);
    }

    void theTreeCountsEachProcessTrafficUntilClean() {
        readFile_ = WriteReplayFile();
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        window->OnAddressChosen(test::Ipv4("10.0.0.2"));
        window->OnStartStop();
        QTRY_VERIFY_WITH_TIMEOUT(!window->session().running(), test::kTryTimeout);
        QCOMPARE(window->lists().packets.rowCount(), 12);

        ProcessTreeModel* model = window->treeView()->treeModel();
        const auto curlCell = [&](int column) {
            const QModelIndex root = model->rootIndex();
            for (int row = 0; row < model->rowCount(root); ++row) {
                const QModelIndex child = model->index(row, column, root);
                if (child.siblingAtColumn(0).data(ProcessTreeModel::kPidRole).toInt() == kCurl) {
                    return child.data().toString();
                }
            }
            return QStringLiteral("no curl");
        };
        // Six segments each way of 40 header bytes, one with a 33-byte request; the tree's
        // refresh brings them.
        QTRY_COMPARE_WITH_TIMEOUT(curlCell(ProcessTreeModel::kSentColumn), QStringLiteral("273 B"),
                                  test::kTryTimeout);
        QCOMPARE(curlCell(ProcessTreeModel::kReceivedColumn), QStringLiteral("240 B"));
        QCOMPARE(model->index(0, ProcessTreeModel::kSentColumn).data().toString(),
                 QStringLiteral("0 B"));  // the root: every packet had its owner

        window->CleanAll();
        QCOMPARE(curlCell(ProcessTreeModel::kSentColumn), QStringLiteral("0 B"));
        QCOMPARE(curlCell(ProcessTreeModel::kReceivedColumn), QStringLiteral("0 B"));
    }

    void unCheckingTheRootUnchecksEveryProcess() {
        auto window = MakeWindow();
        QVERIFY(window != nullptr);
        auto* model = window->treeView()->treeModel();
        QVERIFY(model->setData(model->rootIndex(), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!window->processTree().allProcessesChecked());
        const auto node = window->processTree().FindProcessNode(kCurl);
        QVERIFY(node.has_value());
        QVERIFY(!window->processTree().IsChecked(*node));

        // Only curl ticked: its connection's packets are listed.
        readFile_ = WriteReplayFile();
        auto replay = MakeWindow();
        QVERIFY(replay != nullptr);
        auto* replayModel = replay->treeView()->treeModel();
        QVERIFY(replayModel->setData(replayModel->rootIndex(), Qt::Unchecked, Qt::CheckStateRole));
        QModelIndex curl;
        const QModelIndex root = replayModel->rootIndex();
        for (int row = 0; row < replayModel->rowCount(root); ++row) {
            const QModelIndex child = replayModel->index(row, 0, root);
            if (child.data().toString().contains(QStringLiteral("curl"))) curl = child;
        }
        QVERIFY(curl.isValid());
        QVERIFY(replayModel->setData(curl, Qt::Checked, Qt::CheckStateRole));
        replay->OnAddressChosen(test::Ipv4("10.0.0.2"));
        replay->OnStartStop();
        QTRY_COMPARE_WITH_TIMEOUT(replay->stateLabel()->text(), QStringLiteral("State: Ready."),
                                  test::kTryTimeout);
        QCOMPARE(replay->lists().packets.rowCount(), 12);
        QVERIFY(replay->monitor().attributionMode().starts_with("socket tables"));
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(MainDialogTest)
#include "MainDialogTest.moc"
