#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>

#include "attribution/OwnerNames.h"
#include "attribution/PortOwnerLookup.h"
#include "attribution/ProcessTree.h"
#include "attribution/RecordedProcesses.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// Which processes' traffic is listed: the process tree, or a fixed set of process ids.
class ProcessSelection {
public:
    virtual ~ProcessSelection() = default;
    /// Every process is selected: nothing is filtered and no owner is looked up.
    virtual bool AllSelected() const = 0;
    /// Whether the process's node is checked; nothing when the process has no node.
    virtual std::optional<bool> IsProcessSelected(int pid) const = 0;
    /// Brings the nodes in line with the running processes.
    virtual void Refresh() = 0;
    /// The fallback for traffic without a known owner, and for neither TCP nor UDP.
    virtual bool RootSelected() const = 0;
};

/// The process tree as the selection.
class TreeSelection : public ProcessSelection {
public:
    explicit TreeSelection(ProcessTree& tree) : tree_(tree) {}
    bool AllSelected() const override { return tree_.allProcessesChecked(); }
    std::optional<bool> IsProcessSelected(int pid) const override;
    void Refresh() override { tree_.RefreshProcessTree(); }
    bool RootSelected() const override { return tree_.IsChecked(ProcessTree::kRootNode); }

private:
    ProcessTree& tree_;
};

/// Exactly these processes, as if only their nodes were checked (the root unchecked).
class PidSelection : public ProcessSelection {
public:
    explicit PidSelection(std::unordered_set<int> pids) : pids_(std::move(pids)) {}
    bool AllSelected() const override { return false; }
    std::optional<bool> IsProcessSelected(int pid) const override {
        if (pids_.contains(pid)) return true;
        return std::nullopt;
    }
    void Refresh() override {}
    bool RootSelected() const override { return false; }

private:
    std::unordered_set<int> pids_;
};

/// Every process, as when every node is checked.
class EverythingSelected : public ProcessSelection {
public:
    bool AllSelected() const override { return true; }
    std::optional<bool> IsProcessSelected(int) const override { return true; }
    void Refresh() override {}
    bool RootSelected() const override { return true; }
};

/// The pipeline's process filter: lists a packet when the process that owns its local port is
/// selected, judging traffic without a known owner by the root.
class ProcessFilter : public PacketFilter {
public:
    /// `processes` names the owners found (for the comments of a saved capture).
    ProcessFilter(PortOwnerLookup& lookup, ProcessSelection& selection, ProcessSource& processes)
        : lookup_(lookup), selection_(selection), names_(lookup, processes) {}

    /// Look up the owner of every TCP and UDP packet, even while every process is selected,
    /// so that every decision names it (the headless mode's attribution column).
    void SetAlwaysAttribute(bool always) { alwaysAttribute_ = always; }
    /// Where the owners that a saved capture records are noted, so that the tree shows them.
    void SetRecordedProcesses(RecordedProcesses* recorded) { recorded_ = recorded; }
    /// Whether a packet without a recorded owner is looked up in this host's sockets. Not for a
    /// saved capture's packets: they were sent and received before, or elsewhere, and a socket
    /// open now on the same port belongs to some other process.
    void SetLookUpLiveOwners(bool live) { lookUpLive_ = live; }

    /// A recorded owner (a saved capture's) is taken as it is, without a lookup. The decision
    /// names the owner found, whether the packet is kept or not.
    FilterDecision Keep(const DecodedDatagram& packet, std::uint16_t localPort, bool sentByThisHost,
                        const RecordedOwner& recorded) override;
    void BeginBatch() override { lookup_.BeginBatch(); }
    void EndBatch() override { lookup_.EndBatch(); }

private:
    int LookUpOwner(const DecodedDatagram& packet, std::uint16_t localPort, bool sent);
    /// Whether the selection lists traffic of `owner` (kNoOwner: the root decides).
    bool Selected(int owner);

    PortOwnerLookup& lookup_;
    ProcessSelection& selection_;
    OwnerNames names_;
    RecordedProcesses* recorded_ = nullptr;
    bool alwaysAttribute_ = false;
    bool lookUpLive_ = true;
};

}  // namespace ravelin
