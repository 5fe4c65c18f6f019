#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "attribution/ConnectionOpenings.h"
#include "attribution/SocketEvents.h"

namespace ravelin {

/// Socket events that another thread hands over as they come (the capture's receive thread,
/// from the capture helper's stream), kept until the owner lookup drains them.
class RelayedSocketEvents final : public SocketEventSource {
public:
    /// Beyond this many undrained events the oldest half goes: a lookup that never drains
    /// (nothing is attributed) must not grow them without end.
    static constexpr std::size_t kMaxPending = std::size_t{1} << 16;

    void Push(SocketEvent event);
    void Drain(std::vector<SocketEvent>& events) override;

private:
    std::mutex mutex_;
    std::vector<SocketEvent> pending_;  // guarded by mutex_
};

/// Connection openings that another thread hands over as they come.
class RelayedOpenings final : public ConnectionOpenings {
public:
    static constexpr std::size_t kMaxPending = std::size_t{1} << 16;

    void Push(const SocketEndpoints& opening);
    Waited Wait(std::vector<SocketEndpoints>& openings, std::chrono::milliseconds quiet) override;
    void Stop() override;

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SocketEndpoints> pending_;  // guarded by mutex_
    bool stopped_ = false;                  // guarded by mutex_
};

}  // namespace ravelin
