#include "attribution/OpeningOwners.h"

namespace ravelin {

OpeningOwners::OpeningOwners(std::unique_ptr<ConnectionOpenings> openings,
                             std::unique_ptr<SocketTable> sockets,
                             std::unique_ptr<ProcessSource> processes)
    : openings_(std::move(openings)),
      sockets_(std::move(sockets)),
      processes_(std::move(processes)),
      inodes_(*processes_),
      thread_([this] { Run(); }) {}

OpeningOwners::~OpeningOwners() {
    openings_->Stop();
    thread_.join();
}

void OpeningOwners::Run() {
    // A first search would walk every process while the first connections come and go; now,
    // the first connection of a program is found among the processes started since.
    inodes_.WalkEverything(InodeOwners::Clock::now());
    std::vector<SocketEndpoints> openings;
    std::vector<SocketEvent> found;
    std::vector<Unresolved> unresolved;
    auto quiet = kIdleLook;
    for (;;) {
        const auto waited = openings_->Wait(openings, quiet);
        if (waited == ConnectionOpenings::Waited::kStopped) return;
        const auto now = InodeOwners::Clock::now();
        if (waited == ConnectionOpenings::Waited::kOpened) {
            for (const SocketEndpoints& ends : openings) {
                const auto inode = sockets_->FindTcpConnection(ends);
                if (!inode || *inode == 0) continue;  // over already, or a listener's answer
                if (const auto pid = FindQuickly(ends, *inode, now)) {
                    found.push_back(Opened(ends, *pid));
                } else {
                    unresolved.push_back({ends, *inode});
                }
            }
            openings.clear();
            Publish(found);
            quiet = kBurstGap;
            continue;
        }
        // Walking every process takes milliseconds (hundreds, cold), in which the next short
        // connections would come and go unseen: it waits until no opening has come for a
        // while, and is only for connections that are still open.
        for (const Unresolved& opening : unresolved) {
            if (sockets_->FindTcpConnection(opening.ends) != opening.inode) continue;
            if (const auto pid = inodes_.Find(opening.inode, now)) {
                found.push_back(Opened(opening.ends, *pid));
            }
        }
        unresolved.clear();
        Publish(found);
        // Not walked afresh: a walk that began just before a burst of openings would miss them.
        inodes_.ForgetIfOld(now);
        quiet = kIdleLook;
    }
}

std::optional<int> OpeningOwners::FindQuickly(const SocketEndpoints& ends, std::uint64_t inode,
                                              InodeOwners::Clock::time_point now) {
    if (const auto pid = inodes_.FindQuickly(inode, now, InodeOwners::Quickly::kRecentOwners)) {
        return pid;
    }
    // Listing every process takes long enough for the next few openings to end unseen: only
    // for a connection that has not ended meanwhile.
    if (sockets_->FindTcpConnection(ends) != inode) return std::nullopt;
    return inodes_.FindQuickly(inode, now, InodeOwners::Quickly::kAlsoNewProcesses);
}

SocketEvent OpeningOwners::Opened(const SocketEndpoints& ends, int pid) {
    SocketEvent event;
    event.kind = SocketEvent::Kind::kOpened;
    event.tcp = true;
    event.endpoints = ends;
    event.pid = pid;
    event.name = processes_->ImageName(pid).value_or("");
    return event;
}

void OpeningOwners::Publish(std::vector<SocketEvent>& found) {
    if (found.empty()) return;
    {
        const std::lock_guard lock(mutex_);
        for (SocketEvent& event : found) {
            if (waiting_.size() < kMaximumWaiting) waiting_.push_back(std::move(event));
        }
        anyWaiting_.store(true, std::memory_order_release);
    }
    found.clear();
}

void OpeningOwners::Drain(std::vector<SocketEvent>& events) {
    // Called for every packet looked up: cheap while nothing came.
    if (!anyWaiting_.load(std::memory_order_acquire)) return;
    const std::lock_guard lock(mutex_);
    for (SocketEvent& event : waiting_) events.push_back(std::move(event));
    waiting_.clear();
    anyWaiting_.store(false, std::memory_order_release);
}

}  // namespace ravelin
