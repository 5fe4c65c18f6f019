#include "ui/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QThreadPool>

#include <malloc.h>

#include "config/ConfigPath.h"
#include "ui/AdapterDialog.h"
#include "ui/CaptureFileCommands.h"
#include "ui/DataEdit.h"
#include "ui/LinkController.h"
#include "ui/ListColumns.h"
#include "ui/ListCommands.h"
#include "ui/PacketListCtrl.h"
#include "ui/ProcessTreeCtrl.h"
#include "ui/ProcessTreeModel.h"
#include "ui/QtColours.h"
#include "ui/RowListModel.h"
#include "ui/ScreenRoom.h"
#include "ui/TopMostSwitch.h"

namespace ravelin {

MainDialog::MainDialog(SystemServices services, MonitorOptions options, QWidget* parent)
    : QWidget(parent), iniPath_(options.configPath), startAddress_(options.address) {
    controller_ =
        std::make_unique<CaptureController>(std::move(services), std::move(options), *this);
    setWindowTitle(QStringLiteral("Ravelin V0.5"));
    QIcon icon;
    for (int size : {16, 32, 64}) icon.addFile(QStringLiteral(":/icons/ravelin-%1.png").arg(size));
    setWindowIcon(icon);
    // Wayland desktops show the icon of the desktop entry that a window names
    // (resources/ravelin.desktop), not the window's own; the name must be set before the
    // window is first shown.
    QGuiApplication::setDesktopFileName(QStringLiteral("ravelin"));
    SetBackground(*this, kBackgroundColour);

    topMost_ = std::make_unique<TopMostSwitch>(*this);
    status_ =
        std::make_unique<StatusLine>(*this, lists(), [this] { return session().Statistics(); });
    treeView_ = new ProcessTreeCtrl(this);
    httpList_ = new PacketListCtrl(this);
    packetList_ = new PacketListCtrl(this);
    panes_ = std::make_unique<PayloadPanes>(*this, lists());
    CreateTreeDivider();
    for (QWidget* control : std::initializer_list<QWidget*>{treeView_, httpList_, packetList_,
                                                            textPane(), hexPane()}) {
        SetBackground(*control, kBackgroundColour);
    }
}

MainDialog::~MainDialog() {
    // The tree's refreshes end, capture stops, and the session and a link go, while what they
    // reach still exists.
    treeRefresher_.reset();
    controller_.reset();
    link_.reset();
}

bool MainDialog::Initialise() {
    ini_ = std::make_unique<IniFile>(iniPath_);
    if (!controller_->Prepare()) return false;
    status_->ShowAttributionMode(monitor().attributionMode());

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        firstSize_ = FirstWindowSize(*screen, kFrameEstimate);
        resize(firstSize_);
        move(UsableArea(*screen).topLeft());
    }

    CreateToolBar();

    ProcessTree& tree = processTree();
    tree.Build();
    treeModel_ = new ProcessTreeModel(tree, this);
    treeModel_->SetCounters(&controller_->monitor().counters());
    treeView_->SetTreeModel(treeModel_);
    treeRefresher_ = std::make_unique<ProcessTreeRefresher>(
        tree, *treeModel_, std::chrono::milliseconds(kTreeTimerMs));

    CreateLists();
    CreateCommands();

    connect(treeModel_, &ProcessTreeModel::checksChanged, this, &MainDialog::OnTreeChecksChanged);

    status_->UpdateCounters();

    const StartupConfig config = ReadStartupConfig(*ini_);
    treeWidth_ = ini_->GetInt("Config", kTreeWidthKey, -1);

    adapterDialog_ = new AdapterDialog(this, startAddress_);
    connect(adapterDialog_, &AdapterDialog::addressChosen, this, [this](const QString& text) {
        if (const auto address = IpAddress::Parse(text.toStdString())) OnAddressChosen(*address);
    });

    topMost_->Restore(*ini_, config.topMost);

    auto* f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    f5->setContext(Qt::WindowShortcut);
    connect(f5, &QShortcut::activated, this, &MainDialog::OnStartStop);

    status_->ShowState("Ready");
    return true;
}

void MainDialog::CreateToolBar() {
    toolBar_ = new MainToolBar(this);
    connect(startStopAction(), &QAction::triggered, this, &MainDialog::OnStartStop);
    connect(cleanAction(), &QAction::triggered, this, &MainDialog::OnCleanAll);
    connect(checkNewAction(), &QAction::triggered, this,
            [this] { processTree().ToggleCheckNewProcesses(); });
    connect(switchAdapterAction(), &QAction::triggered, this,
            [this] { adapterDialog_->Present(); });
    toolBar_->lower();
}

void MainDialog::CreateLists() {
    httpModel_ = new HttpListModel(lists().requests, this);
    packetModel_ = new PacketListModel(lists(), this);
    httpList_->SetRowModel(httpModel_, HttpListColumns());
    packetList_->SetRowModel(packetModel_, PacketListColumns());
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
    captureFiles_ =
        new CaptureFileCommands(*this, *toolBar_, *controller_, *link_, *this,
                                [this](std::string_view text) { status_->ShowActivity(text); });
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

void MainDialog::OnStateChanged(CaptureState state) {
    const bool running = state == CaptureState::kRunning;
    status_->ShowState(running ? "Listening" : "Ready");
    if (running) {
        status_->StartCounterTimer();
    } else {
        status_->StopCounterTimer();
    }
    startStopAction()->setChecked(running);
}

void MainDialog::OnEndReached() {
    // On the pipeline thread: capture is finished on the window's thread, without waiting.
    // A failure is shown first; either way capture stops, and the state says so.
    QMetaObject::invokeMethod(
        this, [this] { controller_->FinishEnded(); }, Qt::QueuedConnection);
}

void MainDialog::OnEnded(bool /*failed*/) {
    // Every row is stored: the last ones show now rather than at the lists' next tick.
    httpList_->ShowNewRows();
    packetList_->ShowNewRows();
}

void MainDialog::OnAddressChanged(const IpAddress& /*address*/) {
    status_->ShowAddress(session().boundAddressText());
    Layout();  // an IPv6 address may need a wider label
}

void MainDialog::OnCleared() {
    panes_->Clear();
    // Their rows are gone, so are the marks; linking is off while a clean runs (one thread).
    link_->ForgetMarks();
    treeModel_->Refresh();
    httpModel_->Refresh();
    packetModel_->Refresh();
    status_->UpdateCounters();
    status_->ShowActivity("Clean data done");
}

void MainDialog::OnStartStop() {
    // A start that failed leaves the button up, whichever way it was pressed.
    startStopAction()->setChecked(controller_->Toggle());
}

void MainDialog::ShowError(std::string_view text) {
    QMessageBox::critical(this, QStringLiteral("Error"),
                          QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

void MainDialog::OnAddressChosen(const IpAddress& address) {
    controller_->Rebind(address);
}

bool MainDialog::Confirm() {
    const QString sure = QString::fromUtf8("确定?");
    return QMessageBox::question(this, sure, sure, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void MainDialog::OnCleanAll() {
    if (Confirm()) CleanAll();
}

void MainDialog::CleanAll() {
    status_->ShowActivity("Cleaning data");
    controller_->Clear();
    // The freed heap goes back to the system, which can take a while for a large one.
    QThreadPool::globalInstance()->start([] { malloc_trim(0); });
}

bool MainDialog::SaveCaptureTo(const QString& path) {
    return captureFiles_->SaveTo(path);
}

void MainDialog::OnTreeChecksChanged() {
    if (!link_->linking()) controller_->Relist();
}

void MainDialog::ShowPacket(int row) {
    panes_->ShowPacket(row);
}

void MainDialog::OnPacketListClick() {
    const QList<int> rows = packetList_->SelectedRows();
    if (!rows.isEmpty()) ShowPacket(rows.first());
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if ((lists().packets.rowCount() > 0 || lists().requests.rowCount() > 0) && !Confirm()) {
        event->ignore();
        return;
    }
    if (controller_ != nullptr) controller_->Stop();
    if (adapterDialog_ != nullptr) adapterDialog_->hide();
    event->accept();
}

}  // namespace ravelin
