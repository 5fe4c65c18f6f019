#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <QToolBar>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/IniFile.h"
#include "engine/CaptureController.h"
#include "rows/HttpRow.h"
#include "rows/PacketRow.h"
#include "ui/MainToolBar.h"
#include "ui/PayloadPanes.h"
#include "ui/StatusLine.h"
#include "ui/TopMostSwitch.h"

namespace ravelin {

class AdapterDialog;
class CaptureFileCommands;
class DataEdit;
class LinkController;
class ListCommands;
class PacketListCtrl;
class PaneDivider;
class ProcessTreeCtrl;
class ProcessTreeModel;
class ProcessTreeRefresher;

template <typename Row>
class StoreListModel;
class PacketListModel;

/// Ravelin's window: the process tree at the left; the HTTP list, the packet list and the two
/// data panes at the right; the toolbar, the always-on-top switch and the status line with its
/// counters. Its capture controller decides what each command does to capture; the window shows
/// the outcome. The status line, linking and the lists' copy and save commands are StatusLine,
/// LinkController and ListCommands.
class MainDialog : public QWidget, public CaptureListener, public ErrorReporter {
    Q_OBJECT

public:
    /// The process tree is refreshed this often, off the window's thread.
    static constexpr int kTreeTimerMs = 1000;

    /// A window over the system's `services` (the host's, or a test's fakes) with an engine
    /// set up as `options` say; its configuration file is the options' one.
    MainDialog(SystemServices services, MonitorOptions options, QWidget* parent = nullptr);
    ~MainDialog() override;

    /// The start-up steps. False when a step failed and reported why: the program ends.
    bool Initialise();

    // CaptureListener and ErrorReporter, on the window's thread.
    ErrorReporter& reporter() override { return *this; }
    void OnStateChanged(CaptureState state) override;
    void OnCleared() override;
    void OnAddressChanged(const IpAddress& address) override;
    void OnEndReached() override;  // any thread
    void OnEnded(bool failed) override;
    void ShowError(std::string_view text) override;

    // What tests and the user act on.
    CaptureSession& session() { return controller_->session(); }
    CaptureLists& lists() { return controller_->lists(); }
    ProcessTree& processTree() { return controller_->monitor().processTree(); }
    const Monitor& monitor() const { return controller_->monitor(); }
    MainToolBar* toolBar() const { return toolBar_; }
    QAction* startStopAction() const { return toolBar_->startStopAction(); }
    QAction* cleanAction() const { return toolBar_->cleanAction(); }
    QAction* checkNewAction() const { return toolBar_->checkNewAction(); }
    QAction* switchAdapterAction() const { return toolBar_->switchAdapterAction(); }
    QCheckBox* topMostCheck() const { return &topMost_->check(); }
    QLabel* stateLabel() const { return status_->stateLabel(); }
    QLabel* packetsLabel() const { return status_->packetsLabel(); }
    QLabel* httpsLabel() const { return status_->httpsLabel(); }
    QLabel* addressLabel() const { return status_->infoLabel(); }
    QLabel* modeLabel() const { return status_->modeLabel(); }
    QLabel* lossLabel() const { return status_->lossLabel(); }
    PacketListCtrl* httpList() const { return httpList_; }
    PacketListCtrl* packetList() const { return packetList_; }
    ProcessTreeCtrl* treeView() const { return treeView_; }
    AdapterDialog* adapterDialog() const { return adapterDialog_; }
    DataEdit* textPane() const { return panes_->textPane(); }
    DataEdit* hexPane() const { return panes_->hexPane(); }
    LinkController& linkController() { return *link_; }

    /// Fills both data panes from a packet row (both empty for a row without payload).
    void ShowPacket(int row);
    /// Clears both lists, the panes and the marks, and frees every row, while capture goes on;
    /// the freed memory goes back to the system.
    void CleanAll();
    /// Writes every listed packet to `path` as pcapng (Save capture, once a file is chosen).
    /// False after a reported failure.
    bool SaveCaptureTo(const QString& path);

public slots:
    void OnStartStop();
    void OnPacketListClick();
    void OnAddressChosen(const IpAddress& address);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The configuration key of the tree's width, once the user dragged its edge.
    static constexpr const char* kTreeWidthKey = "TreeWidth";

    void CreateToolBar();
    void CreateTreeDivider();
    void CreateLists();
    void CreateCommands();
    void Layout();
    bool Confirm();
    void OnCleanAll();
    /// A tick in the tree while a saved capture is shown: its packets are listed again through
    /// the new selection, as live traffic would be.
    void OnTreeChecksChanged();

    std::string iniPath_;
    std::unique_ptr<IniFile> ini_;
    std::optional<IpAddress> startAddress_;  // the adapter dialog's first choice

    // Capture and what it feeds.
    std::unique_ptr<CaptureController> controller_;

    std::unique_ptr<TopMostSwitch> topMost_;
    // Controls, owned by Qt's parent chain.
    MainToolBar* toolBar_ = nullptr;
    ProcessTreeCtrl* treeView_ = nullptr;
    PaneDivider* treeDivider_ = nullptr;
    int treeWidth_ = -1;  // where the user dragged the tree's edge; -1: the tree's preferred width
    QSize firstSize_;     // the size Initialise gave, until the first show corrects it
    ProcessTreeModel* treeModel_ = nullptr;
    PacketListCtrl* httpList_ = nullptr;
    PacketListCtrl* packetList_ = nullptr;
    StoreListModel<HttpRow>* httpModel_ = nullptr;
    PacketListModel* packetModel_ = nullptr;
    std::unique_ptr<PayloadPanes> panes_;
    AdapterDialog* adapterDialog_ = nullptr;
    CaptureFileCommands* captureFiles_ = nullptr;

    std::unique_ptr<ProcessTreeRefresher> treeRefresher_;
    // Declared after the lists they reach, so that they go first.
    std::unique_ptr<StatusLine> status_;
    std::unique_ptr<LinkController> link_;
    std::unique_ptr<ListCommands> commands_;
};

}  // namespace ravelin
