#include "ui/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QThreadPool>
#include <QWindow>

#include <malloc.h>

#include "analysis/HttpRequestParser.h"
#include "config/ConfigPath.h"
#include "decode/IpHeader.h"
#include "output/CaptureSaving.h"
#include "ui/AdapterDialog.h"
#include "ui/DataEdit.h"
#include "ui/LinkController.h"
#include "ui/ListCommands.h"
#include "ui/PacketListCtrl.h"
#include "ui/PaneDivider.h"
#include "ui/ProcessTreeCtrl.h"
#include "ui/ProcessTreeModel.h"
#include "ui/QtColours.h"
#include "ui/RowListModel.h"
#include "ui/ScreenRoom.h"
#include "ui/WindowLayout.h"

namespace ravelin {

namespace {

const QList<int> kHttpColumnWidths = {40, 60, 50, 1};
const QList<int> kPacketColumnWidths = {40, 60, 50, 110, 60, 110, 60, 60, 1};

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

// The longest texts of the columns that hold names or numbers of a known size: serials of
// seven digits, the longest method and protocol names, addresses, ports and lengths.
QString LongestMethod() {
    QString longest;
    for (const std::string_view method : HttpRequestParser::kMethods) {
        if (static_cast<qsizetype>(method.size()) > longest.size()) {
            longest = QString::fromLatin1(method.data(), static_cast<qsizetype>(method.size()));
        }
    }
    return longest;
}

QString LongestProtocol() {
    QString longest;
    for (int number = 0; number < 256; ++number) {
        const std::string_view name = ProtocolName(static_cast<std::uint8_t>(number));
        if (static_cast<qsizetype>(name.size()) > longest.size()) {
            longest = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        }
    }
    return longest;
}

const QString kLongestSerial = QStringLiteral("0000000");
const QString kLongestTime = QStringLiteral("23:59:59");
const QString kLongestAddress = QStringLiteral("255.255.255.255");
const QString kLongestNumber = QStringLiteral("65535");

// The configuration key of the tree's width, once the user dragged its edge.
constexpr const char* kTreeWidthKey = "TreeWidth";

}  // namespace

MainDialog::MainDialog(SystemServices services, std::string iniPath, QWidget* parent)
    : QWidget(parent),
      iniPath_(std::move(iniPath)),
      monitor_(std::make_unique<Monitor>(std::move(services), *this, iniPath_)) {
    setWindowTitle(QStringLiteral("Ravelin V0.5"));
    QIcon icon;
    for (int size : {16, 32, 64}) icon.addFile(QStringLiteral(":/icons/ravelin-%1.png").arg(size));
    setWindowIcon(icon);
    // Wayland desktops show the icon of the desktop entry that a window names
    // (resources/ravelin.desktop), not the window's own; the name must be set before the
    // window is first shown.
    QGuiApplication::setDesktopFileName(QStringLiteral("ravelin"));
    SetBackground(*this, kBackgroundColour);

    topMostCheck_ = new QCheckBox(Utf8("前端显示"), this);
    topMostCheck_->setLayoutDirection(Qt::RightToLeft);  // text at the left of the box
    status_ = std::make_unique<StatusLine>(*this, monitor_->lists(),
                                           [this] { return session().Statistics(); });
    treeView_ = new ProcessTreeCtrl(this);
    httpList_ = new PacketListCtrl(this);
    packetList_ = new PacketListCtrl(this);
    panes_ = std::make_unique<PayloadPanes>(*this, monitor_->lists());
    treeDivider_ = new PaneDivider(this);
    connect(treeDivider_, &PaneDivider::dragged, this, [this](int x) {
        treeWidth_ = x;
        Layout();
    });
    // The width the tree got, which a drag past the window's room does not change, holds for
    // the next start too.
    connect(treeDivider_, &PaneDivider::dropped, this, [this] {
        treeWidth_ = treeView_->width();
        if (ini_ != nullptr) ini_->WriteString("Config", kTreeWidthKey, std::to_string(treeWidth_));
    });
    for (QWidget* control : std::initializer_list<QWidget*>{treeView_, httpList_, packetList_,
                                                            textPane(), hexPane()}) {
        SetBackground(*control, kBackgroundColour);
    }
    topMostCheck_->adjustSize();
}

MainDialog::~MainDialog() {
    // The tree's refreshes end, capture stops, and the session and a link go, while what they
    // reach still exists.
    treeRefresher_.reset();
    monitor_.reset();
    link_.reset();
}

bool MainDialog::Initialise() {
    ini_ = std::make_unique<IniFile>(iniPath_);
    if (!monitor_->LoadOwnerTables(*this, attribution_)) return false;
    status_->ShowAttributionMode(monitor_->attributionMode());

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        firstSize_ = FirstWindowSize(*screen, kFrameEstimate);
        resize(firstSize_);
        move(UsableArea(*screen).topLeft());
    }

    CreateToolBar();

    ProcessTree& tree = monitor_->processTree();
    tree.Build();
    treeModel_ = new ProcessTreeModel(tree, this);
    treeModel_->SetCounters(&monitor_->counters());
    treeView_->SetTreeModel(treeModel_);
    treeRefresher_ = std::make_unique<ProcessTreeRefresher>(
        tree, *treeModel_, std::chrono::milliseconds(kTreeTimerMs));

    CreateLists();
    CreateCommands();

    // Every packet's owner is looked up, so that a saved capture names the process of each.
    monitor_->FilterBy(std::make_unique<TreeSelection>(tree), Monitor::OwnerLookup::kAlways);
    monitor_->CountTraffic(true);
    connect(treeModel_, &ProcessTreeModel::checksChanged, this, &MainDialog::OnTreeChecksChanged);

    status_->UpdateCounters();

    const StartupConfig config = ReadStartupConfig(*ini_);
    maxItemCount_ = config.maxItemCount;
    treeWidth_ = ini_->GetInt("Config", kTreeWidthKey, -1);

    adapterDialog_ = new AdapterDialog(this, startAddress_);
    connect(adapterDialog_, &AdapterDialog::addressChosen, this, &MainDialog::OnAddressChosen);

    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        // Wayland compositors ignore the hint: the box shows that, and WndTop stays as it was
        // for X11 sessions.
        topMostCheck_->setChecked(false);
        topMostCheck_->setEnabled(false);
        topMostCheck_->setToolTip(
            Utf8("Wayland 合成器不支持窗口置顶 (Wayland compositors do not keep a window on top)"));
    } else {
        topMostCheck_->setChecked(config.topMost);
        connect(topMostCheck_, &QCheckBox::clicked, this, &MainDialog::ApplyTopMost);
        ApplyTopMost();
    }

    auto* f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    f5->setContext(Qt::WindowShortcut);
    connect(f5, &QShortcut::activated, this, &MainDialog::OnF5);

    status_->ShowState("Ready");
    return true;
}

void MainDialog::CreateToolBar() {
    toolBar_ = new MainToolBar(this);
    connect(startStopAction(), &QAction::triggered, this, &MainDialog::OnStartStop);
    connect(cleanAction(), &QAction::triggered, this, &MainDialog::OnCleanAll);
    connect(checkNewAction(), &QAction::triggered, this,
            [this] { monitor_->processTree().ToggleCheckNewProcesses(); });
    connect(switchAdapterAction(), &QAction::triggered, this, &MainDialog::OnSwitchAdapter);
    connect(toolBar_->saveCaptureAction(), &QAction::triggered, this, &MainDialog::OnSaveCapture);
    connect(toolBar_->openCaptureAction(), &QAction::triggered, this, &MainDialog::OnOpenCapture);
    toolBar_->lower();
}

void MainDialog::CreateLists() {
    httpModel_ = new HttpListModel(lists().requests, this);
    packetModel_ = new PacketListModel(lists(), this);
    httpList_->SetRowModel(httpModel_, kHttpColumnWidths,
                           {kLongestSerial, kLongestTime, LongestMethod(), QString()});
    packetList_->SetRowModel(
        packetModel_, kPacketColumnWidths,
        {kLongestSerial, kLongestTime, LongestProtocol(), kLongestAddress, kLongestNumber,
         kLongestAddress, kLongestNumber, kLongestNumber, QString()});
    httpList_->StartFollowing(PacketListCtrl::kRefreshPeriodMs);
    packetList_->StartFollowing(PacketListCtrl::kRefreshPeriodMs);
}

void MainDialog::CreateCommands() {
    link_ = std::make_unique<LinkController>(
        lists(), *httpList_, *packetList_,
        [this](std::string_view text) { status_->ShowActivity(text); });
    connect(link_.get(), &LinkController::linkingChanged, this,
            [this](bool linking) { cleanAction()->setEnabled(!linking); });
    connect(link_.get(), &LinkController::linked, this, &MainDialog::ShowPacket);
    commands_ = std::make_unique<ListCommands>(
        lists(), *httpList_, *packetList_, *link_, [this] { return session().boundAddressText(); },
        *this);
    // The whole capture's commands, in both lists' menus too.
    for (QMenu* menu : {commands_->httpMenu(), commands_->packetMenu()}) {
        menu->addSeparator();
        menu->addAction(toolBar_->saveCaptureAction());
        menu->addAction(toolBar_->openCaptureAction());
    }
    connect(packetList_, &QAbstractItemView::clicked, this, &MainDialog::OnPacketListClick);
    connect(httpList_, &QAbstractItemView::clicked, link_.get(), &LinkController::OnHttpListClick);
}

void MainDialog::OnCaptureEnded() {
    // On the pipeline thread: the session is finished on the window's thread, without waiting.
    QMetaObject::invokeMethod(
        this,
        [this] {
            // A failure is shown first; either way capture has stopped (and the state says so).
            session().FinishEndedCapture();
            startStopAction()->setChecked(false);
            status_->UpdateCounters();
        },
        Qt::QueuedConnection);
}

void MainDialog::OnStartStop() {
    session().OnStartStop();
}

void MainDialog::ShowError(std::string_view text) {
    QMessageBox::critical(this, QStringLiteral("Error"),
                          QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

void MainDialog::OnF5() {
    // The results are not looked at: the button follows the key, the state text the session.
    if (session().running()) {
        session().Stop();
        startStopAction()->setChecked(false);
    } else {
        session().Start();
        startStopAction()->setChecked(true);
    }
}

void MainDialog::OnAddressChosen(quint32 address) {
    // An adapter means live traffic again, after a saved capture was shown.
    if (monitor_->showingOpenedCapture()) {
        session().Stop();
        monitor_->ReturnToSystemSources();
    }
    session().OnAddressChosen(address);
    status_->ShowAddress(session().boundAddressText());
}

void MainDialog::OnSwitchAdapter() {
    adapterDialog_->show();
    adapterDialog_->move(geometry().center() - adapterDialog_->rect().center());
    adapterDialog_->raise();
    adapterDialog_->activateWindow();
}

bool MainDialog::Confirm() {
    return QMessageBox::question(this, Utf8("确定?"), Utf8("确定?"),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MainDialog::OnCleanAll() {
    if (Confirm()) CleanAll();
}

void MainDialog::CleanAll() {
    FreeRows();
    QThreadPool::globalInstance()->start([] { malloc_trim(0); });
}

void MainDialog::FreeRows() {
    status_->ShowActivity("Cleaning data");
    panes_->Clear();
    const CaptureLists::Detached detached = lists().ClearBoth();
    // Their rows are gone, so are the marks; linking is off while a clean runs (one thread).
    link_->ForgetMarks();
    // The counters start again with the lists.
    monitor_->counters().Reset();
    treeModel_->Refresh();
    httpModel_->Refresh();
    packetModel_->Refresh();
    status_->UpdateCounters();
    status_->ShowActivity("Clean data done");
    // `detached` frees every row and payload here, outside any lock; the freed heap then goes
    // back to the system, which can take a while for a large one.
}

void MainDialog::OnSaveCapture() {
    const QString path =
        QFileDialog::getSaveFileName(this, Utf8("保存抓包"), QStringLiteral("capture.pcapng"),
                                     QStringLiteral("pcapng (*.pcapng);;All files (*)"));
    if (!path.isEmpty()) SaveCaptureTo(path);
}

bool MainDialog::SaveCaptureTo(const QString& path) {
    if (!CheckCall(SaveCapture(path.toStdString(), monitor_->lists()), "WriteFile 保存抓包文件失败",
                   *this)) {
        return false;
    }
    status_->ShowActivity("Capture saved");
    return true;
}

void MainDialog::OnOpenCapture() {
    const QString path = QFileDialog::getOpenFileName(
        this, Utf8("打开抓包文件"), QString(),
        QStringLiteral("Captures (*.pcapng *.pcap *.cap);;All files (*)"));
    if (!path.isEmpty()) OpenCaptureFile(path);
}

void MainDialog::OpenCaptureFile(const QString& path) {
    // Rows are freed here, which a running link must not see (as with Clean).
    if (link_->linking()) return;
    session().Stop();
    FreeRows();
    monitor_->OpenCapture(path.toStdString());
    // A saved capture was made elsewhere: on 0.0.0.0 without interfaces, none counts as sent.
    session().OnAddressChosen(0);
    status_->ShowAddress(session().boundAddressText());
    startStopAction()->setChecked(session().Start());
}

void MainDialog::OnTreeChecksChanged() {
    if (!monitor_->showingOpenedCapture() || link_->linking()) return;
    session().Stop();
    FreeRows();
    startStopAction()->setChecked(session().Start());
}

void MainDialog::ShowPacket(int row) {
    panes_->ShowPacket(row);
}

void MainDialog::OnPacketListClick() {
    const QList<int> rows = packetList_->SelectedRows();
    if (!rows.isEmpty()) ShowPacket(rows.first());
}

void MainDialog::ApplyTopMost() {
    const bool topMost = topMostCheck_->isChecked();
    if (topMost != windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        const bool visible = isVisible();
        setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
        if (visible) show();  // changing the flags hides a window
    }
    ini_->WriteString("Config", "WndTop", topMost ? "1" : "0");
}

void MainDialog::Layout() {
    LayoutInput input;
    if (toolBar_ != nullptr) {
        input.toolbarHeight = toolBar_->sizeHint().height();
        input.toolbarWidth = toolBar_->sizeHint().width();
    }
    input.topmostCheck = {topMostCheck_->width(), topMostCheck_->height()};
    status_->Measure(input);
    input.treePreferredWidth = treeView_->PreferredWidth();
    input.treeMinimumWidth = treeView_->MinimumWidth();
    input.listMinimumHeight = httpList_->horizontalHeader()->sizeHint().height() +
                              3 * httpList_->verticalHeader()->defaultSectionSize() +
                              2 * httpList_->frameWidth();
    input.treeWidth = treeWidth_;
    // Before the client size is read: a larger minimum resizes the window.
    const LayoutSize least = MinimumClientSize(input);
    QSize minimum(least.width, least.height);
    if (const QScreen* screen = this->screen()) {
        minimum = minimum.boundedTo(UsableArea(*screen).size());
    }
    if (minimum != minimumSize()) setMinimumSize(minimum);
    input.clientWidth = width();
    input.clientHeight = height();
    const WindowLayout layout = ComputeLayout(input);

    const auto place = [](QWidget* widget, const LayoutRect& rect) {
        widget->setGeometry(rect.x, rect.y, rect.width, rect.height);
    };
    if (toolBar_ != nullptr) toolBar_->setGeometry(0, 0, width(), input.toolbarHeight);
    place(topMostCheck_, layout.topmostCheck);
    place(treeView_, layout.processTree);
    place(httpList_, layout.httpList);
    place(packetList_, layout.packetList);
    place(textPane(), layout.textPane);
    place(hexPane(), layout.hexPane);
    place(treeDivider_, layout.treeDivider);
    treeDivider_->raise();
    topMostCheck_->raise();
    status_->Place(layout);
}

void MainDialog::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

void MainDialog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Once shown, a platform that draws the frame itself (Wayland) knows how large it is: the
    // first size then leaves it just the room it takes.
    const QScreen* screen = this->screen();
    const QMargins frame = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
    if (screen != nullptr && size() == firstSize_ && !frame.isNull()) {
        firstSize_ = FirstWindowSize(*screen, frame);
        resize(firstSize_);
    }
    Layout();
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if ((lists().packets.rowCount() > 0 || lists().requests.rowCount() > 0) && !Confirm()) {
        event->ignore();
        return;
    }
    if (monitor_ != nullptr) session().Stop();
    if (adapterDialog_ != nullptr) adapterDialog_->hide();
    event->accept();
}

}  // namespace ravelin
