#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "attribution/SocketTable.h"

namespace ravelin::test {

/// Socket tables set by the test. Safe to change from one thread while others read them.
class FakeSocketTable : public SocketTable {
public:
    /// Called at the start of every query with its name ("FindTcpConnection",
    /// "ListTcpSockets", "ListTcpListeners", "ListUdpSockets"), without the fake's lock. Set
    /// it before any other thread queries.
    std::function<void(std::string_view query)> onQuery;

    std::atomic<int> findCalls{0};
    std::atomic<int> tcpListCalls{0};
    std::atomic<int> listenerListCalls{0};
    std::atomic<int> udpListCalls{0};

    /// A row of a socket with this inode; the ends matter only to FindTcpConnection.
    static SocketRow Row(std::uint64_t inode, SocketEndpoints endpoints = {}) {
        return SocketRow{endpoints, inode};
    }

    /// Every TCP socket; listeners are those without a remote port.
    void SetTcp(std::vector<SocketRow> rows) {
        std::lock_guard lock(mutex_);
        tcp_ = std::move(rows);
    }
    void SetUdp(std::vector<SocketRow> rows) {
        std::lock_guard lock(mutex_);
        udp_ = std::move(rows);
    }
    /// While set, the lists fail after filling in their rows, which callers must then ignore.
    void FailLists(bool fail) { failLists_.store(fail); }

    void ResetCounters() { findCalls = tcpListCalls = listenerListCalls = udpListCalls = 0; }

    std::optional<std::uint64_t> FindTcpConnection(const SocketEndpoints& endpoints) override {
        Enter("FindTcpConnection", findCalls);
        std::lock_guard lock(mutex_);
        for (const SocketRow& row : tcp_) {
            if (row.endpoints.remotePort != 0 && row.endpoints == endpoints) return row.inode;
        }
        return std::nullopt;
    }

    bool ListTcpSockets(std::vector<SocketRow>& rows) override {
        Enter("ListTcpSockets", tcpListCalls);
        std::lock_guard lock(mutex_);
        return Answer(tcp_, rows, false);
    }

    bool ListTcpListeners(std::vector<SocketRow>& rows) override {
        Enter("ListTcpListeners", listenerListCalls);
        std::lock_guard lock(mutex_);
        return Answer(tcp_, rows, true);
    }

    bool ListUdpSockets(std::vector<SocketRow>& rows) override {
        Enter("ListUdpSockets", udpListCalls);
        std::lock_guard lock(mutex_);
        return Answer(udp_, rows, false);
    }

private:
    void Enter(std::string_view query, std::atomic<int>& counter) {
        counter++;
        if (onQuery) onQuery(query);
    }

    bool Answer(const std::vector<SocketRow>& table, std::vector<SocketRow>& rows,
                bool listenersOnly) const {
        rows.clear();
        for (const SocketRow& row : table) {
            if (!listenersOnly || row.endpoints.remotePort == 0) rows.push_back(row);
        }
        return !failLists_.load();
    }

    mutable std::mutex mutex_;
    std::vector<SocketRow> tcp_;
    std::vector<SocketRow> udp_;
    std::atomic<bool> failLists_{false};
};

}  // namespace ravelin::test
