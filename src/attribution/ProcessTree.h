#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "attribution/ProcessSource.h"
#include "attribution/SocketTable.h"
#include "rows/Colour.h"

namespace ravelin {

/// The process tree without its widget: the root "计算机" (this computer) and under it one
/// checkable node per running process, newest first. Which nodes are checked decides which
/// traffic is listed.
///
/// Thread use: the window's thread refreshes it every second and applies clicks; the pipeline
/// thread looks nodes up and refreshes it when a packet's owner has no node yet. Refreshes
/// never interleave. The probes of a refresh run without the tree's lock, and no lock is held
/// while anything outside the tree is called.
class ProcessTree {
public:
    /// Identifies a node for as long as it exists; ids are never reused.
    using NodeId = std::uint64_t;
    static constexpr NodeId kRootNode = 0;

    static constexpr Colour kNodeColour = 0x00FF0000;      ///< blue: the root, system processes
    static constexpr Colour kGreyNodeColour = 0x008A8A8A;  ///< processes without a socket

    /// What a view shows of one node.
    struct NodeView {
        NodeId id = 0;
        int pid = 0;          ///< item data (0 for the root)
        std::string text;     ///< "[pid]name", or "计算机" for the root
        std::string iconKey;  ///< executable path to find an icon for; empty: generic
        bool checked = false;
        std::optional<Colour> textColour;  ///< none: the view's default text colour
    };

    ProcessTree(ProcessSource& processes, SocketTable& sockets);

    /// Builds the tree: the root, checked and blue, then the first refresh; afterwards every
    /// process is taken as checked (allProcessesChecked).
    void Build();

    /// Removes the nodes of processes that have ended and adds nodes at the top for processes
    /// that have none, checked as checkNewProcesses says. A kept node keeps its place, id and
    /// check state; its text, icon and colour follow a new program (exec, or a reused pid).
    void RefreshProcessTree();
    /// Removes every process node, when the processes come from elsewhere (a saved capture
    /// instead of this host): a pid there is another process than here. The next refresh
    /// brings the nodes of the new source.
    void ForgetProcessNodes();

    /// The node of a process, or nothing.
    std::optional<NodeId> FindProcessNode(int pid) const;
    /// The check state of a node; false for a node that no longer exists.
    bool IsChecked(NodeId node) const;

    /// A click on a node's check box: the node and its subtree take the opposite state; a
    /// process node unchecked as the last checked one unchecks the root; allProcessesChecked
    /// follows.
    void OnTreeClick(NodeId node);

    bool checkNewProcesses() const { return checkNewProcesses_.load(); }
    void ToggleCheckNewProcesses() {
        bool state = checkNewProcesses_.load();
        while (!checkNewProcesses_.compare_exchange_weak(state, !state)) {
        }
    }
    /// True while every process node was checked at the last check-box click: the pipeline then
    /// lists all traffic without attribution.
    bool allProcessesChecked() const { return allProcessesChecked_.load(); }

    /// The root followed by the process nodes, top to bottom.
    std::vector<NodeView> Nodes() const;
    /// Changes whenever a node is added, removed or changes its check state.
    std::uint64_t revision() const { return revision_.load(); }

private:
    struct Node {
        NodeView view;
    };
    /// The inodes of the TCP and UDP sockets, read once per refresh when first needed.
    struct InternetSockets {
        bool read = false;
        std::unordered_set<std::uint64_t> inodes;
    };

    static std::string NodeText(const ProcessInfo& process);                     // "[pid]name"
    Node MakeProcessNode(const ProcessInfo& process, InternetSockets& sockets);  // runs probes
    bool HoldsInternetSocket(int pid, InternetSockets& sockets);
    void Reindex();             // after children_ changed; needs mutex_
    Node* FindNode(NodeId id);  // needs mutex_
    const Node* FindNode(NodeId id) const;

    ProcessSource& processes_;
    SocketTable& sockets_;

    std::mutex refreshMutex_;  // serialises refreshes; taken before mutex_
    NodeId nextId_ = 1;        // guarded by refreshMutex_

    mutable std::mutex mutex_;  // guards the nodes and their indexes
    Node root_;
    std::vector<Node> children_;                         // top to bottom
    std::unordered_map<int, std::size_t> indexOfPid_;    // into children_
    std::unordered_map<NodeId, std::size_t> indexOfId_;  // into children_

    std::atomic<bool> checkNewProcesses_{true};
    std::atomic<bool> allProcessesChecked_{false};
    std::atomic<std::uint64_t> revision_{0};
};

}  // namespace ravelin
