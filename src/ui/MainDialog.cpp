#include "ui/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QStyle>

#include "attribution/OwnerTables.h"
#include "config/ConfigPath.h"
#include "engine/SourceFactory.h"
#include "ui/AdapterDialog.h"
#include "ui/DataEdit.h"
#include "ui/LinkController.h"
#include "ui/ListCommands.h"
#include "ui/PacketListCtrl.h"
#include "ui/ProcessTreeCtrl.h"
#include "ui/ProcessTreeModel.h"
#include "ui/QtColours.h"
#include "ui/RowListModel.h"
#include "ui/WindowLayout.h"

namespace ravelin {

namespace {

const QList<int> kHttpColumnWidths = {40, 60, 50, 1};
const QList<int> kPacketColumnWidths = {40, 60, 50, 110, 60, 110, 60, 60, 1};

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

MainDialog::MainDialog(const CommandLine& commandLine, QWidget* parent)
    : QWidget(parent), commandLine_(commandLine) {
    setWindowTitle(QStringLiteral("Ravelin V0.5"));
    QIcon icon;
    for (int size : {16, 32, 64}) icon.addFile(QStringLiteral(":/icons/ravelin-%1.png").arg(size));
    setWindowIcon(icon);
    SetBackground(*this, kBackgroundColour);

    topMostCheck_ = new QCheckBox(Utf8("前端显示"), this);
    topMostCheck_->setLayoutDirection(Qt::RightToLeft);  // text at the left of the box
    status_ = std::make_unique<StatusLine>(*this, lists_);
    treeView_ = new ProcessTreeCtrl(this);
    httpList_ = new PacketListCtrl(this);
    packetList_ = new PacketListCtrl(this);
    textPane_ = new DataEdit(DataEdit::Kind::kText, this);
    hexPane_ = new DataEdit(DataEdit::Kind::kHex, this);
    textPane_->SetPartner(hexPane_);
    hexPane_->SetPartner(textPane_);
    for (QWidget* control :
         std::initializer_list<QWidget*>{treeView_, httpList_, packetList_, textPane_, hexPane_}) {
        SetBackground(*control, kBackgroundColour);
    }
    topMostCheck_->adjustSize();
}

MainDialog::~MainDialog() {
    // Capture stops, and the session and a link go, while what they reach still exists.
    session_.reset();
    link_.reset();
}

bool MainDialog::Initialise() {
    iniPath_ = commandLine_.configFile.value_or(DefaultConfigPath());
    ini_ = std::make_unique<IniFile>(iniPath_);

    if (!LoadOwnerTableFunctions(lookupSockets_, *this)) return false;
    // The tree's own table answers the same kernel; should it fail anyway, its new processes
    // merely show grey.
    treeSockets_.Open();

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        const int panels = screen->geometry().height() - available.height();
        resize(std::min(1024, available.width()), std::min(768 - panels, available.height()));
        move(available.topLeft());
    }

    CreateToolBar();

    tree_ = std::make_unique<ProcessTree>(treeProcesses_, treeSockets_);
    tree_->Build();
    treeModel_ = new ProcessTreeModel(*tree_, this);
    treeView_->SetTreeModel(treeModel_);
    treeTimer_.setInterval(kTreeTimerMs);
    connect(&treeTimer_, &QTimer::timeout, this, [this] {
        tree_->RefreshProcessTree();
        treeModel_->Refresh();
    });
    treeTimer_.start();

    CreateLists();
    CreateCommands();

    selection_ = std::make_unique<TreeSelection>(*tree_);
    lookup_ = std::make_unique<PortOwnerLookup>(lookupSockets_, lookupProcesses_);
    filter_ = std::make_unique<ProcessFilter>(*lookup_, *selection_);
    recogniser_ = std::make_unique<HttpRecogniser>(iniPath_);
    pipeline_ = std::make_unique<PacketPipeline>(lists_);
    pipeline_->SetFilter(filter_.get());
    pipeline_->SetRecogniser(recogniser_.get());
    session_ = std::make_unique<CaptureSession>(*this, *pipeline_, SourceFactoryFor(commandLine_));

    status_->UpdateCounters();

    const StartupConfig config = ReadStartupConfig(*ini_);
    maxItemCount_ = config.maxItemCount;

    adapterDialog_ = new AdapterDialog(this);
    connect(adapterDialog_, &AdapterDialog::addressChosen, this, &MainDialog::OnAddressChosen);

    topMostCheck_->setChecked(config.topMost);
    connect(topMostCheck_, &QCheckBox::clicked, this, &MainDialog::ApplyTopMost);
    ApplyTopMost();

    auto* f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    f5->setContext(Qt::WindowShortcut);
    connect(f5, &QShortcut::activated, this, &MainDialog::OnF5);

    SetStatus("Ready");
    return true;
}

void MainDialog::CreateToolBar() {
    toolBar_ = new QToolBar(this);
    toolBar_->setMovable(false);
    toolBar_->setIconSize(QSize(16, 16));
    const auto addTool = [this](QStyle::StandardPixmap icon, const char* tip, bool checkable) {
        QAction* action = toolBar_->addAction(style()->standardIcon(icon), QString());
        action->setCheckable(checkable);
        action->setToolTip(Utf8(tip));
        return action;
    };
    startStopAction_ = addTool(QStyle::SP_MediaPlay, "启动/停止 监听(F5)", true);
    cleanAction_ = addTool(QStyle::SP_TrashIcon, "清除所有数据", false);
    checkNewAction_ = addTool(QStyle::SP_DialogApplyButton, "勾选新进程", true);
    checkNewAction_->setChecked(true);
    switchAdapterAction_ = addTool(QStyle::SP_DriveNetIcon, "切换监听网卡", false);
    connect(startStopAction_, &QAction::triggered, this, &MainDialog::OnStartStop);
    connect(cleanAction_, &QAction::triggered, this, &MainDialog::OnCleanAll);
    connect(checkNewAction_, &QAction::triggered, this,
            [this] { tree_->ToggleCheckNewProcesses(); });
    connect(switchAdapterAction_, &QAction::triggered, this, &MainDialog::OnSwitchAdapter);
    toolBar_->lower();
}

void MainDialog::CreateLists() {
    httpModel_ = new HttpListModel(lists_.requests, this);
    packetModel_ = new PacketListModel(lists_.packets, this);
    httpList_->SetRowModel(httpModel_, kHttpColumnWidths);
    packetList_->SetRowModel(packetModel_, kPacketColumnWidths);
    httpList_->StartFollowing(PacketListCtrl::kRefreshPeriodMs);
    packetList_->StartFollowing(PacketListCtrl::kRefreshPeriodMs);
}

void MainDialog::CreateCommands() {
    link_ = std::make_unique<LinkController>(lists_, *httpList_, *packetList_,
                                             [this](std::string_view text) { SetStatus(text); });
    connect(link_.get(), &LinkController::linkingChanged, this,
            [this](bool linking) { cleanAction_->setEnabled(!linking); });
    connect(link_.get(), &LinkController::linked, this, &MainDialog::ShowPacket);
    commands_ = std::make_unique<ListCommands>(
        lists_, *httpList_, *packetList_, *link_, [this] { return session_->boundAddressText(); },
        *this);
    connect(packetList_, &QAbstractItemView::clicked, this, &MainDialog::OnPacketListClick);
    connect(httpList_, &QAbstractItemView::clicked, link_.get(), &LinkController::OnHttpListClick);
}

void MainDialog::OnCaptureEnded() {
    // On the pipeline thread: the session is finished on the window's thread, without waiting.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (session_->FinishEndedCapture()) SetStatus("Ready");
            startStopAction_->setChecked(false);
            status_->UpdateCounters();
        },
        Qt::QueuedConnection);
}

void MainDialog::OnStartStop() {
    session_->OnStartStop();
}

void MainDialog::ShowError(std::string_view text) {
    QMessageBox::critical(this, QStringLiteral("Error"),
                          QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

void MainDialog::OnF5() {
    // The results are not looked at and the status stays: only the button follows.
    if (session_->running()) {
        session_->Stop();
        startStopAction_->setChecked(false);
    } else {
        session_->Start();
        startStopAction_->setChecked(true);
    }
}

void MainDialog::OnAddressChosen(quint32 address) {
    session_->OnAddressChosen(address);
    status_->ShowAddress(session_->boundAddressText());
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
    SetStatus("Cleaning data");
    textPane_->ShowBytes({});
    hexPane_->ShowBytes({});
    const CaptureLists::Detached detached = lists_.ClearBoth();
    // Their rows are gone, so are the marks; linking is off while a clean runs (one thread).
    link_->ForgetMarks();
    httpModel_->Refresh();
    packetModel_->Refresh();
    status_->UpdateCounters();
    SetStatus("Clean data done");
    // `detached` frees every row and payload here, outside any lock.
}

void MainDialog::ShowPacket(int row) {
    std::vector<std::uint8_t> payload;
    lists_.packets.ReadRow(row, [&](const StoredRow<PacketRow>& stored) {
        const auto bytes = stored.row.record.payload();
        payload.assign(bytes.begin(), bytes.end());
    });
    textPane_->ShowBytes(payload);
    hexPane_->ShowBytes(payload);
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
    input.clientWidth = width();
    input.clientHeight = height();
    input.toolbarHeight = toolBar_ != nullptr ? toolBar_->sizeHint().height() : 0;
    input.topmostCheck = {topMostCheck_->width(), topMostCheck_->height()};
    status_->Measure(input);
    const WindowLayout layout = ComputeLayout(input);

    const auto place = [](QWidget* widget, const LayoutRect& rect) {
        widget->setGeometry(rect.x, rect.y, rect.width, rect.height);
    };
    if (toolBar_ != nullptr) toolBar_->setGeometry(0, 0, width(), input.toolbarHeight);
    place(topMostCheck_, layout.topmostCheck);
    place(treeView_, layout.processTree);
    place(httpList_, layout.httpList);
    place(packetList_, layout.packetList);
    place(textPane_, layout.textPane);
    place(hexPane_, layout.hexPane);
    topMostCheck_->raise();
    status_->Place(layout);
}

void MainDialog::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

void MainDialog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Layout();
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if ((lists_.packets.rowCount() > 0 || lists_.requests.rowCount() > 0) && !Confirm()) {
        event->ignore();
        return;
    }
    if (session_ != nullptr) session_->Stop();
    if (adapterDialog_ != nullptr) adapterDialog_->hide();
    event->accept();
}

}  // namespace ravelin
