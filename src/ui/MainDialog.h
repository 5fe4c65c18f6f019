#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <QToolBar>
#include <QWidget>

#include <memory>
#include <string>

#include "analysis/HttpRecogniser.h"
#include "app/CommandLine.h"
#include "attribution/PortOwnerLookup.h"
#include "attribution/ProcessFilter.h"
#include "attribution/ProcessTree.h"
#include "attribution/linux/NetlinkSocketTable.h"
#include "attribution/linux/ProcFsProcessSource.h"
#include "capture/CaptureSession.h"
#include "config/IniFile.h"
#include "pipeline/PacketPipeline.h"
#include "rows/CaptureLists.h"
#include "rows/HttpRow.h"
#include "rows/PacketRow.h"
#include "ui/StatusLine.h"

namespace ravelin {

class AdapterDialog;
class DataEdit;
class LinkController;
class ListCommands;
class PacketListCtrl;
class ProcessTreeCtrl;
class ProcessTreeModel;
template <typename Row>
class StoreListModel;

/// Ravelin's window: the process tree at the left; the HTTP list, the packet list and the two
/// data panes at the right; the toolbar, the always-on-top switch and the status line with its
/// counters. It owns the capture session and everything that feeds the lists; the status line,
/// linking and the lists' copy and save commands are StatusLine, LinkController and ListCommands.
class MainDialog : public QWidget, public SessionHost, public ErrorReporter {
    Q_OBJECT

public:
    static constexpr int kTreeTimerMs = 1000;

    explicit MainDialog(const CommandLine& commandLine, QWidget* parent = nullptr);
    ~MainDialog() override;

    /// The start-up steps. False when a step failed and reported why: the program ends.
    bool Initialise();

    // SessionHost and ErrorReporter, on the window's thread.
    ErrorReporter& reporter() override { return *this; }
    void SetStatus(std::string_view text) override { status_->SetStatus(text); }
    void StartCounterTimer() override { status_->StartCounterTimer(); }
    void StopCounterTimer() override { status_->StopCounterTimer(); }
    void OnCaptureEnded() override;  // any thread
    void ShowError(std::string_view text) override;

    // What tests and the user act on.
    CaptureSession& session() { return *session_; }
    CaptureLists& lists() { return lists_; }
    ProcessTree& processTree() { return *tree_; }
    QToolBar* toolBar() const { return toolBar_; }
    QAction* startStopAction() const { return startStopAction_; }
    QAction* cleanAction() const { return cleanAction_; }
    QAction* checkNewAction() const { return checkNewAction_; }
    QAction* switchAdapterAction() const { return switchAdapterAction_; }
    QCheckBox* topMostCheck() const { return topMostCheck_; }
    QLabel* stateLabel() const { return status_->stateLabel(); }
    QLabel* packetsLabel() const { return status_->packetsLabel(); }
    QLabel* httpsLabel() const { return status_->httpsLabel(); }
    PacketListCtrl* httpList() const { return httpList_; }
    PacketListCtrl* packetList() const { return packetList_; }
    ProcessTreeCtrl* treeView() const { return treeView_; }
    AdapterDialog* adapterDialog() const { return adapterDialog_; }
    const std::string& iniPath() const { return iniPath_; }
    DataEdit* textPane() const { return textPane_; }
    DataEdit* hexPane() const { return hexPane_; }
    LinkController& linkController() { return *link_; }
    ListCommands& listCommands() { return *commands_; }

    /// Fills both data panes from a packet row (both empty for a row without payload).
    void ShowPacket(int row);
    /// Clears both lists, the panes and the marks, and frees every row, while capture goes on.
    void CleanAll();

public slots:
    void OnStartStop();
    void OnPacketListClick();
    void OnAddressChosen(quint32 address);
    void ApplyTopMost();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateToolBar();
    void CreateLists();
    void CreateCommands();
    void Layout();
    bool Confirm();
    void OnCleanAll();
    void OnSwitchAdapter();
    void OnF5();

    const CommandLine& commandLine_;
    std::string iniPath_;
    std::unique_ptr<IniFile> ini_;
    int maxItemCount_ = 65535;

    // Capture and what it feeds. Each thread has its own socket table and process source: the
    // pipeline thread's for owner lookups, the window's (and refreshes') for the tree.
    CaptureLists lists_;
    NetlinkSocketTable lookupSockets_;
    NetlinkSocketTable treeSockets_;
    ProcFsProcessSource lookupProcesses_;
    ProcFsProcessSource treeProcesses_;
    std::unique_ptr<ProcessTree> tree_;
    std::unique_ptr<TreeSelection> selection_;
    std::unique_ptr<PortOwnerLookup> lookup_;
    std::unique_ptr<ProcessFilter> filter_;
    std::unique_ptr<HttpRecogniser> recogniser_;
    std::unique_ptr<PacketPipeline> pipeline_;
    std::unique_ptr<CaptureSession> session_;

    // Controls, owned by Qt's parent chain.
    QToolBar* toolBar_ = nullptr;
    QAction* startStopAction_ = nullptr;
    QAction* cleanAction_ = nullptr;
    QAction* checkNewAction_ = nullptr;
    QAction* switchAdapterAction_ = nullptr;
    QCheckBox* topMostCheck_ = nullptr;
    ProcessTreeCtrl* treeView_ = nullptr;
    ProcessTreeModel* treeModel_ = nullptr;
    PacketListCtrl* httpList_ = nullptr;
    PacketListCtrl* packetList_ = nullptr;
    StoreListModel<HttpRow>* httpModel_ = nullptr;
    StoreListModel<PacketRow>* packetModel_ = nullptr;
    DataEdit* textPane_ = nullptr;
    DataEdit* hexPane_ = nullptr;
    AdapterDialog* adapterDialog_ = nullptr;

    QTimer treeTimer_;
    // Declared after the lists they reach, so that they go first.
    std::unique_ptr<StatusLine> status_;
    std::unique_ptr<LinkController> link_;
    std::unique_ptr<ListCommands> commands_;
};

}  // namespace ravelin
