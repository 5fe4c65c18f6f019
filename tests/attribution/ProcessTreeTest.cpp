#include "attribution/ProcessTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/Gate.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;
using test::FakeProcessSource;
using test::FakeSocketTable;
using test::Gate;
using NodeView = ProcessTree::NodeView;

class ProcessTreeTest : public ::testing::Test {
protected:
    ProcessTreeTest() {
        processes_.AddProcess(1, "systemd");
        processes_.AddProcess(250, "sshd");
        processes_.AddProcess(4000, "bash");
        processes_.SetImagePath(250, "/usr/sbin/sshd");
    }

    std::vector<int> Pids() const {
        std::vector<int> pids;
        for (const NodeView& node : tree_.Nodes()) pids.push_back(node.pid);
        pids.erase(pids.begin());  // the root
        return pids;
    }

    NodeView Node(int pid) const {
        for (const NodeView& node : tree_.Nodes()) {
            if (node.id != ProcessTree::kRootNode && node.pid == pid) return node;
        }
        ADD_FAILURE() << "no node for pid " << pid;
        return {};
    }

    void Click(int pid) {
        const auto node = tree_.FindProcessNode(pid);
        if (!node) ADD_FAILURE() << "no node to click for pid " << pid;
        tree_.OnTreeClick(node.value_or(~ProcessTree::NodeId{0}));
    }

    bool Checked(int pid) const { return Node(pid).checked; }
    bool RootChecked() const { return tree_.IsChecked(ProcessTree::kRootNode); }

    /// Everything a view shows, to compare whole trees.
    std::vector<std::string> Dump() const {
        std::vector<std::string> lines;
        for (const NodeView& n : tree_.Nodes()) {
            lines.push_back(std::to_string(n.id) + " " + std::to_string(n.pid) + " " + n.text +
                            " " + n.iconKey + " " + (n.checked ? "x" : "-") + " " +
                            (n.textColour ? std::to_string(*n.textColour) : "default"));
        }
        return lines;
    }

    FakeProcessSource processes_;
    FakeSocketTable sockets_;
    ProcessTree tree_{processes_, sockets_};
};

TEST_F(ProcessTreeTest, BuildChecksTheRootAndListsEveryProcessNewestFirst) {
    EXPECT_FALSE(tree_.allProcessesChecked());
    EXPECT_TRUE(tree_.checkNewProcesses());
    tree_.Build();

    const std::vector<NodeView> nodes = tree_.Nodes();
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0].id, ProcessTree::kRootNode);
    EXPECT_EQ(nodes[0].pid, 0);
    EXPECT_EQ(nodes[0].text, "计算机");
    EXPECT_TRUE(nodes[0].checked);
    EXPECT_EQ(nodes[0].textColour, ProcessTree::kNodeColour);
    EXPECT_EQ(nodes[0].iconKey, "");
    EXPECT_EQ(Pids(), (std::vector<int>{4000, 250, 1}));
    EXPECT_EQ(nodes[1].text, "[4000]bash");
    EXPECT_EQ(nodes[2].text, "[250]sshd");
    EXPECT_EQ(nodes[3].text, "[1]systemd");
    EXPECT_EQ(nodes[2].iconKey, "/usr/sbin/sshd");
    EXPECT_EQ(nodes[1].iconKey, "");
    for (const NodeView& node : nodes) EXPECT_TRUE(node.checked) << node.text;
    EXPECT_TRUE(tree_.allProcessesChecked());
    EXPECT_EQ(tree_.FindProcessNode(250), nodes[2].id);
    EXPECT_EQ(tree_.FindProcessNode(251), std::nullopt);
}

TEST_F(ProcessTreeTest, NewProcessesGoOnTopWithTheStateForNewProcesses) {
    tree_.Build();
    tree_.ToggleCheckNewProcesses();
    EXPECT_FALSE(tree_.checkNewProcesses());
    processes_.AddProcess(5000, "vim");
    const auto before = tree_.revision();
    tree_.RefreshProcessTree();
    EXPECT_NE(tree_.revision(), before);
    EXPECT_EQ(Pids(), (std::vector<int>{5000, 4000, 250, 1}));
    EXPECT_FALSE(Checked(5000));
    EXPECT_TRUE(Checked(4000));

    tree_.ToggleCheckNewProcesses();
    processes_.AddProcess(20, "kworker");
    tree_.RefreshProcessTree();
    EXPECT_EQ(Pids(), (std::vector<int>{20, 5000, 4000, 250, 1}));
    EXPECT_TRUE(Checked(20));
    EXPECT_FALSE(Checked(5000));
}

TEST_F(ProcessTreeTest, EndedProcessLosesItsNodeAndAKeptOneNamesTheProgramItRunsNow) {
    tree_.Build();
    const ProcessTree::NodeId ended = Node(4000).id;
    Click(250);
    const NodeView old = Node(250);
    processes_.RemoveProcess(4000);
    processes_.AddProcess(250, "nginx");  // pid 250 runs another program (exec, or reused)
    processes_.SetImagePath(250, "/usr/sbin/nginx");
    processes_.SetSocketInodes(250, {7});
    sockets_.SetTcp({FakeSocketTable::Row(7)});
    tree_.RefreshProcessTree();

    EXPECT_EQ(Pids(), (std::vector<int>{250, 1}));
    EXPECT_EQ(tree_.FindProcessNode(4000), std::nullopt);
    const std::vector<std::string> afterRefresh = Dump();
    const bool flag = tree_.allProcessesChecked();
    tree_.OnTreeClick(ended);  // the view may still show the vanished node
    EXPECT_EQ(Dump(), afterRefresh);
    EXPECT_EQ(tree_.allProcessesChecked(), flag);
    EXPECT_FALSE(tree_.IsChecked(ended));
    // The node keeps its place, id and check box; what it shows is the program's now.
    const NodeView kept = Node(250);
    EXPECT_EQ(kept.id, old.id);
    EXPECT_EQ(kept.text, "[250]nginx");
    EXPECT_EQ(kept.iconKey, "/usr/sbin/nginx");
    EXPECT_EQ(old.textColour, ProcessTree::kGreyNodeColour);
    EXPECT_EQ(kept.textColour, std::nullopt);  // it holds a socket
    EXPECT_FALSE(kept.checked);
}

TEST_F(ProcessTreeTest, FailedProcessListLeavesTheTreeAsItWas) {
    tree_.Build();
    Click(1);
    const std::vector<std::string> before = Dump();
    processes_.RemoveProcess(250);
    processes_.AddProcess(7000, "late");
    processes_.FailProcessIds(true);
    tree_.RefreshProcessTree();
    EXPECT_EQ(Dump(), before);

    // An empty list cannot be true while this program runs: treated as a failure as well.
    processes_.FailProcessIds(false);
    for (int pid : processes_.Pids()) processes_.RemoveProcess(pid);
    tree_.RefreshProcessTree();
    EXPECT_EQ(Dump(), before);
}

TEST_F(ProcessTreeTest, MoreThan1024ProcessesKeepTheirCheckStates) {
    for (int pid = 5000; pid < 6500; ++pid) processes_.AddProcess(pid, "worker");
    tree_.Build();
    for (int pid = 5000; pid < 6500; pid += 3) Click(pid);
    processes_.AddProcess(9000, "new");
    tree_.RefreshProcessTree();
    tree_.RefreshProcessTree();

    ASSERT_EQ(Pids().size(), 1504u);
    EXPECT_EQ(Pids().front(), 9000);
    int wrong = 0;
    for (const NodeView& node : tree_.Nodes()) {
        const bool clicked = node.pid >= 5000 && node.pid < 6500 && (node.pid - 5000) % 3 == 0;
        if (node.checked == clicked) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(ProcessTreeTest, ColoursTellSystemProcessesAndSocketHolders) {
    processes_.AddProcess(4, "kthread");     // low pid
    processes_.AddProcess(5, "agetty");      // first pid above the low ones
    processes_.AddProcess(300, "journald");  // system
    processes_.AddProcess(400, "curl");      // TCP socket
    processes_.AddProcess(500, "dig");       // UDP socket
    processes_.AddProcess(600, "x11");       // a socket in neither table (unix)
    processes_.SetSystemProcess(300);
    processes_.SetSocketInodes(400, {41, 42});
    processes_.SetSocketInodes(500, {51});
    processes_.SetSocketInodes(600, {61});
    sockets_.SetTcp({FakeSocketTable::Row(42)});
    sockets_.SetUdp({FakeSocketTable::Row(51)});
    tree_.Build();

    EXPECT_EQ(Node(4).textColour, ProcessTree::kNodeColour);
    EXPECT_EQ(Node(5).textColour, ProcessTree::kGreyNodeColour);
    EXPECT_EQ(Node(300).textColour, ProcessTree::kNodeColour);
    EXPECT_EQ(Node(400).textColour, std::nullopt);
    EXPECT_EQ(Node(500).textColour, std::nullopt);
    EXPECT_EQ(Node(600).textColour, ProcessTree::kGreyNodeColour);
    EXPECT_EQ(Node(4000).textColour, ProcessTree::kGreyNodeColour);
    EXPECT_EQ(Node(1).textColour, ProcessTree::kNodeColour);

    // Tables that cannot be read vouch for no socket.
    sockets_.FailLists(true);
    processes_.AddProcess(700, "wget");
    processes_.SetSocketInodes(700, {42});
    tree_.RefreshProcessTree();
    EXPECT_EQ(Node(700).textColour, ProcessTree::kGreyNodeColour);
}

TEST_F(ProcessTreeTest, ProbesRunOnlyForNewProcessesAndTablesAtMostOncePerRefresh) {
    processes_.SetSocketInodes(4000, {9});
    tree_.Build();
    EXPECT_EQ(processes_.ProbedPids(), (std::set<int>{1, 250, 4000}));
    processes_.ResetCounters();
    sockets_.ResetCounters();

    tree_.RefreshProcessTree();
    EXPECT_EQ(processes_.ProbedPids(), std::set<int>{});
    EXPECT_EQ(sockets_.tcpListCalls + sockets_.udpListCalls, 0);

    for (int pid : {801, 802, 803}) {
        processes_.AddProcess(pid, "svc");
        processes_.SetSocketInodes(pid, {static_cast<std::uint64_t>(pid)});
    }
    sockets_.SetTcp({FakeSocketTable::Row(801)});
    sockets_.SetUdp({FakeSocketTable::Row(803)});
    tree_.RefreshProcessTree();
    EXPECT_EQ(processes_.ProbedPids(), (std::set<int>{801, 802, 803}));
    EXPECT_EQ(sockets_.tcpListCalls, 1);
    EXPECT_EQ(sockets_.udpListCalls, 1);
    EXPECT_EQ(Node(801).textColour, std::nullopt);
    EXPECT_EQ(Node(802).textColour, ProcessTree::kGreyNodeColour);
    EXPECT_EQ(Node(803).textColour, std::nullopt);
}

TEST_F(ProcessTreeTest, RootClickSetsEveryProcessAndTheFlag) {
    tree_.Build();
    const auto before = tree_.revision();
    tree_.OnTreeClick(ProcessTree::kRootNode);
    EXPECT_NE(tree_.revision(), before);
    EXPECT_FALSE(RootChecked());
    for (int pid : {1, 250, 4000}) EXPECT_FALSE(Checked(pid)) << pid;
    EXPECT_FALSE(tree_.allProcessesChecked());

    Click(250);
    tree_.OnTreeClick(ProcessTree::kRootNode);
    EXPECT_TRUE(RootChecked());
    for (int pid : {1, 250, 4000}) EXPECT_TRUE(Checked(pid)) << pid;
    EXPECT_TRUE(tree_.allProcessesChecked());
}

TEST_F(ProcessTreeTest, UncheckingTheLastCheckedProcessUnchecksTheRoot) {
    tree_.Build();
    Click(1);
    EXPECT_FALSE(tree_.allProcessesChecked());
    Click(250);
    EXPECT_TRUE(RootChecked());
    EXPECT_FALSE(Checked(250));
    Click(4000);
    EXPECT_FALSE(RootChecked());
    EXPECT_FALSE(Checked(4000));
}

TEST_F(ProcessTreeTest, CheckingTheLastUncheckedProcessSetsTheFlagButNotTheRoot) {
    tree_.Build();
    tree_.OnTreeClick(ProcessTree::kRootNode);
    Click(1);
    Click(250);
    EXPECT_TRUE(Checked(250));
    EXPECT_FALSE(tree_.allProcessesChecked());
    EXPECT_FALSE(RootChecked());
    Click(4000);
    EXPECT_TRUE(tree_.allProcessesChecked());
    EXPECT_FALSE(RootChecked());
}

TEST_F(ProcessTreeTest, UncheckedNewNodesLeaveTheFlagAsItIs) {
    tree_.Build();
    tree_.ToggleCheckNewProcesses();
    processes_.AddProcess(5001, "a");
    processes_.AddProcess(5002, "b");
    tree_.RefreshProcessTree();
    EXPECT_FALSE(Checked(5001));
    EXPECT_TRUE(tree_.allProcessesChecked());

    Click(5001);  // 5002 still unchecked: the flag stays as it was
    EXPECT_TRUE(tree_.allProcessesChecked());
    Click(5001);
    EXPECT_FALSE(tree_.allProcessesChecked());
    Click(5001);  // 5002 still unchecked: stays false
    EXPECT_FALSE(tree_.allProcessesChecked());
    Click(5002);
    EXPECT_TRUE(tree_.allProcessesChecked());
}

TEST_F(ProcessTreeTest, PruningAnUncheckedNodeChangesNothingElse) {
    tree_.Build();
    Click(250);
    processes_.RemoveProcess(250);
    tree_.RefreshProcessTree();
    EXPECT_EQ(Pids(), (std::vector<int>{4000, 1}));
    EXPECT_TRUE(RootChecked());
    EXPECT_TRUE(Checked(4000));
    EXPECT_TRUE(Checked(1));
    EXPECT_FALSE(tree_.allProcessesChecked());
}

TEST_F(ProcessTreeTest, ConcurrentRefreshesClicksAndLookupsKeepOneNodePerPid) {
    tree_.Build();
    std::atomic<int> refreshersLeft{2};
    std::atomic<bool> duplicateSeen{false};
    std::latch start(3);
    auto refresher = [&] {
        start.arrive_and_wait();
        for (int i = 0; i < 300; ++i) tree_.RefreshProcessTree();
        refreshersLeft--;
    };
    std::thread first(refresher);
    std::thread second(refresher);
    std::thread clicker([&] {
        start.arrive_and_wait();
        for (int i = 0; refreshersLeft.load() > 0; ++i) {
            const std::vector<NodeView> nodes = tree_.Nodes();
            std::set<int> pids;
            for (const NodeView& node : nodes) {
                if (!pids.insert(node.pid).second) duplicateSeen = true;
            }
            tree_.OnTreeClick(nodes[static_cast<std::size_t>(i) % nodes.size()].id);
            if (const auto node = tree_.FindProcessNode(6000 + i % 50)) tree_.IsChecked(*node);
        }
    });
    for (int i = 0; refreshersLeft.load() > 0; ++i) {
        processes_.AddProcess(6000 + i % 50, "churn");
        processes_.RemoveProcess(6000 + (i * 7) % 50);
    }
    first.join();
    second.join();
    clicker.join();

    EXPECT_FALSE(duplicateSeen.load());
    tree_.RefreshProcessTree();
    std::vector<int> pids = Pids();
    std::sort(pids.begin(), pids.end());
    EXPECT_EQ(pids, processes_.Pids());
}

TEST_F(ProcessTreeTest, ARefreshWaitsForTheOneUnderWay) {
    tree_.Build();
    processes_.AddProcess(4100, "curl");
    Gate entered;
    Gate release;
    std::atomic<bool> armed{true};
    processes_.onQuery = [&](std::string_view query) {
        if (query == "ImagePath" && armed.exchange(false)) {
            entered.Open();
            release.WaitFor(60s);
        }
    };
    auto first = std::async(std::launch::async, [&] { tree_.RefreshProcessTree(); });
    EXPECT_TRUE(entered.WaitFor(test::kDeadline));
    auto second = std::async(std::launch::async, [&] { tree_.RefreshProcessTree(); });
    // Time for an unserialised second refresh to add its own node for 4100; a serialised one
    // waits whatever the outcome.
    second.wait_for(300ms);
    release.Open();
    first.get();
    second.get();
    EXPECT_EQ(Pids(), (std::vector<int>{4100, 4000, 250, 1}));
}

class ProcessTreeProbeTest : public ProcessTreeTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(ProcessTreeProbeTest, LookupsAreNotBlockedWhileAProbeRuns) {
    tree_.Build();
    const ProcessTree::NodeId bash = Node(4000).id;
    processes_.AddProcess(4100, "curl");
    processes_.SetSocketInodes(4100, {77});

    Gate entered;
    Gate release;
    std::atomic<bool> armed{true};
    auto block = [&](std::string_view query) {
        if (query == GetParam() && armed.exchange(false)) {
            entered.Open();
            release.WaitFor(60s);
        }
    };
    processes_.onQuery = block;
    sockets_.onQuery = block;

    auto refresh = std::async(std::launch::async, [&] { tree_.RefreshProcessTree(); });
    const bool probeEntered = entered.WaitFor(test::kDeadline);
    auto lookup = std::async(std::launch::async, [&] {
        tree_.OnTreeClick(bash);
        return tree_.FindProcessNode(4000) == bash && !tree_.IsChecked(bash) &&
               tree_.Nodes().size() >= 4;
    });
    const bool lookupDone = lookup.wait_for(test::kDeadline) == std::future_status::ready;
    release.Open();
    refresh.get();

    EXPECT_TRUE(probeEntered) << GetParam() << " was never called";
    EXPECT_TRUE(lookupDone) << "lookups waited for " << GetParam();
    EXPECT_TRUE(lookup.get());
    EXPECT_EQ(Pids().front(), 4100);
}

INSTANTIATE_TEST_SUITE_P(ProcessTreeProbes, ProcessTreeProbeTest,
                         ::testing::Values("ProcessIds", "Snapshot", "ImagePath", "IsSystemProcess",
                                           "SocketInodesOf", "ListTcpSockets", "ListUdpSockets"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace ravelin
