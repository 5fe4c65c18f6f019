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
    while (openings_->Wait(openings)) {
        for (const SocketEndpoints& ends : openings) Resolve(ends, found);
        openings.clear();
        if (found.empty()) continue;
        {
            const std::lock_guard lock(mutex_);
            for (SocketEvent& event : found) {
                if (waiting_.size() < kMaximumWaiting) waiting_.push_back(std::move(event));
            }
            anyWaiting_.store(true, std::memory_order_release);
        }
        found.clear();
    }
}

void OpeningOwners::Resolve(const SocketEndpoints& ends, std::vector<SocketEvent>& found) {
    const auto inode = sockets_->FindTcpConnection(ends);
    if (!inode || *inode == 0) return;  // over already, or a listener's answer
    const auto pid = inodes_.Find(*inode, InodeOwners::Clock::now());
    if (!pid) return;
    SocketEvent event;
    event.kind = SocketEvent::Kind::kOpened;
    event.tcp = true;
    event.endpoints = ends;
    event.pid = *pid;
    event.name = processes_->ImageName(*pid).value_or("");
    found.push_back(std::move(event));
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
