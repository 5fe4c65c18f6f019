#include "attribution/RelayedEvents.h"

namespace ravelin {

namespace {

template <typename T>
void Append(std::vector<T>& pending, T item, std::size_t limit) {
    if (pending.size() >= limit) {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(limit / 2));
    }
    pending.push_back(std::move(item));
}

}  // namespace

void RelayedSocketEvents::Push(SocketEvent event) {
    const std::lock_guard lock(mutex_);
    Append(pending_, std::move(event), kMaxPending);
}

void RelayedSocketEvents::Drain(std::vector<SocketEvent>& events) {
    const std::lock_guard lock(mutex_);
    if (events.empty()) {
        events.swap(pending_);
        return;
    }
    events.insert(events.end(), std::make_move_iterator(pending_.begin()),
                  std::make_move_iterator(pending_.end()));
    pending_.clear();
}

void RelayedOpenings::Push(const SocketEndpoints& opening) {
    {
        const std::lock_guard lock(mutex_);
        Append(pending_, opening, kMaxPending);
    }
    arrived_.notify_one();
}

ConnectionOpenings::Waited RelayedOpenings::Wait(std::vector<SocketEndpoints>& openings,
                                                 std::chrono::milliseconds quiet) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, quiet, [this] { return stopped_ || !pending_.empty(); });
    if (stopped_) return Waited::kStopped;
    if (pending_.empty()) return Waited::kQuiet;
    openings.insert(openings.end(), pending_.begin(), pending_.end());
    pending_.clear();
    return Waited::kOpened;
}

void RelayedOpenings::Stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    arrived_.notify_all();
}

}  // namespace ravelin
