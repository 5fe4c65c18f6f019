#include "attribution/ProcessTree.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace ravelin {

namespace {

constexpr const char* kRootText = "计算机";

}  // namespace

ProcessTree::ProcessTree(ProcessSource& processes, SocketTable& sockets)
    : processes_(processes), sockets_(sockets) {
    root_.view.id = kRootNode;
    root_.view.text = kRootText;
}

void ProcessTree::Build() {
    {
        std::lock_guard lock(mutex_);
        root_.view.checked = true;
        root_.view.textColour = kNodeColour;
        revision_++;
    }
    RefreshProcessTree();
    allProcessesChecked_.store(true);
}

void ProcessTree::ForgetProcessNodes() {
    std::lock_guard refreshLock(refreshMutex_);
    std::lock_guard lock(mutex_);
    if (children_.empty()) return;
    children_.clear();
    Reindex();
    revision_++;
}

void ProcessTree::RefreshProcessTree() {
    std::lock_guard refreshLock(refreshMutex_);

    std::optional<std::vector<int>> ids = processes_.ProcessIds();
    // An empty list is a failed read as well (this program itself runs): pruning on it would
    // drop every node and its check state.
    if (!ids || ids->empty()) return;
    const std::unordered_set<int> running(ids->begin(), ids->end());

    std::unordered_map<int, std::string> withNode;  // pid -> its node's text
    {
        std::lock_guard lock(mutex_);
        const auto removed = std::erase_if(
            children_, [&](const Node& node) { return !running.contains(node.view.pid); });
        for (const Node& node : children_) withNode.emplace(node.view.pid, node.view.text);
        if (removed != 0) {
            Reindex();
            revision_++;
        }
    }

    // Only this refresh adds or removes nodes, so withNode stays true while the probes run
    // unlocked.
    std::vector<Node> added;    // in snapshot order
    std::vector<Node> renamed;  // kept pids that run another program now
    InternetSockets internetSockets;
    for (const ProcessInfo& process : processes_.Snapshot()) {
        const auto [kept, isNew] = withNode.try_emplace(process.pid);
        if (isNew) {
            added.push_back(MakeProcessNode(process, internetSockets));
            kept->second = added.back().view.text;  // a pid listed twice gets one node
        } else if (kept->second != NodeText(process)) {
            // A process that called exec, or a pid reused within a second: the node keeps its
            // place and check box, but names the program that runs now.
            renamed.push_back(MakeProcessNode(process, internetSockets));
            kept->second = renamed.back().view.text;
        }
    }
    if (added.empty() && renamed.empty()) return;

    std::lock_guard lock(mutex_);
    for (const Node& update : renamed) {
        const auto found = indexOfPid_.find(update.view.pid);
        if (found == indexOfPid_.end()) continue;
        NodeView& view = children_[found->second].view;
        view.text = update.view.text;
        view.iconKey = update.view.iconKey;
        view.textColour = update.view.textColour;
    }
    std::vector<Node> children;
    children.reserve(added.size() + children_.size());
    // The last one added in snapshot order goes to the top.
    std::move(added.rbegin(), added.rend(), std::back_inserter(children));
    std::move(children_.begin(), children_.end(), std::back_inserter(children));
    children_ = std::move(children);
    Reindex();
    revision_++;
}

std::string ProcessTree::NodeText(const ProcessInfo& process) {
    // Built by appending: GCC 12 warns falsely about "[" + std::string.
    std::string text;
    text.append(1, '[').append(std::to_string(process.pid)).append(1, ']').append(process.name);
    return text;
}

ProcessTree::Node ProcessTree::MakeProcessNode(const ProcessInfo& process,
                                               InternetSockets& sockets) {
    Node node;
    node.view.id = nextId_++;
    node.view.pid = process.pid;
    node.view.text = NodeText(process);
    node.view.iconKey = processes_.ImagePath(process.pid).value_or(std::string{});
    node.view.checked = checkNewProcesses_.load();
    if (processes_.IsSystemProcess(process.pid) || process.pid <= 4) {
        node.view.textColour = kNodeColour;
    } else if (!HoldsInternetSocket(process.pid, sockets)) {
        node.view.textColour = kGreyNodeColour;
    }
    return node;
}

bool ProcessTree::HoldsInternetSocket(int pid, InternetSockets& sockets) {
    const std::vector<std::uint64_t> held = processes_.SocketInodesOf(pid);
    if (held.empty()) return false;  // spares the costly tables
    if (!sockets.read) {
        sockets.read = true;
        std::vector<SocketRow> rows;
        auto collect = [&](bool complete) {
            // A table that cannot be read marks no socket: its holders' new nodes show grey.
            if (complete) {
                for (const SocketRow& row : rows) sockets.inodes.insert(row.inode);
            }
            rows.clear();
        };
        collect(sockets_.ListTcpSockets(rows));
        collect(sockets_.ListUdpSockets(rows));
    }
    return std::any_of(held.begin(), held.end(),
                       [&](std::uint64_t inode) { return sockets.inodes.contains(inode); });
}

void ProcessTree::Reindex() {
    indexOfPid_.clear();
    indexOfId_.clear();
    for (std::size_t i = 0; i < children_.size(); ++i) {
        indexOfPid_.emplace(children_[i].view.pid, i);  // emplace keeps the topmost
        indexOfId_.emplace(children_[i].view.id, i);
    }
}

const ProcessTree::Node* ProcessTree::FindNode(NodeId id) const {
    if (id == kRootNode) return &root_;
    const auto found = indexOfId_.find(id);
    return found == indexOfId_.end() ? nullptr : &children_[found->second];
}

ProcessTree::Node* ProcessTree::FindNode(NodeId id) {
    return const_cast<Node*>(std::as_const(*this).FindNode(id));
}

std::optional<ProcessTree::NodeId> ProcessTree::FindProcessNode(int pid) const {
    std::lock_guard lock(mutex_);
    const auto found = indexOfPid_.find(pid);
    if (found == indexOfPid_.end()) return std::nullopt;
    return children_[found->second].view.id;
}

bool ProcessTree::IsChecked(NodeId node) const {
    std::lock_guard lock(mutex_);
    const Node* found = FindNode(node);
    return found != nullptr && found->view.checked;
}

void ProcessTree::OnTreeClick(NodeId id) {
    std::lock_guard lock(mutex_);
    Node* clicked = FindNode(id);
    if (clicked == nullptr) return;  // its process ended after the view showed it
    const bool old = clicked->view.checked;
    const bool now = !old;

    if (id == kRootNode) {
        for (Node& child : children_) child.view.checked = now;
    } else if (!now) {
        const bool siblingChecked =
            std::any_of(children_.begin(), children_.end(),
                        [&](const Node& node) { return node.view.id != id && node.view.checked; });
        if (!siblingChecked) root_.view.checked = false;
    }

    if (old) {
        allProcessesChecked_.store(false);
    } else if (std::all_of(children_.begin(), children_.end(), [&](const Node& node) {
                   return node.view.id == id || node.view.checked;
               })) {
        allProcessesChecked_.store(true);
    }

    clicked->view.checked = now;
    revision_++;
}

std::vector<ProcessTree::NodeView> ProcessTree::Nodes() const {
    std::lock_guard lock(mutex_);
    std::vector<NodeView> nodes;
    nodes.reserve(children_.size() + 1);
    nodes.push_back(root_.view);
    for (const Node& child : children_) nodes.push_back(child.view);
    return nodes;
}

}  // namespace ravelin
