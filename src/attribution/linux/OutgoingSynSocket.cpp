#include "attribution/linux/OutgoingSynSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "attribution/ConnectionOpenings.h"
#include "attribution/linux/SynSocket.h"

namespace ravelin {

std::unique_ptr<OutgoingSynSocket> OutgoingSynSocket::Open() {
    UniqueFd socketFd = OpenOutgoingSynSocket();
    if (!socketFd.valid()) return nullptr;
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return nullptr;
    return std::make_unique<OutgoingSynSocket>(Token(), std::move(socketFd), std::move(wake));
}

OutgoingSynSocket::OutgoingSynSocket(Token, UniqueFd socket, UniqueFd wake)
    : socket_(std::move(socket)), wake_(std::move(wake)) {}

ConnectionOpenings::Waited OutgoingSynSocket::Wait(std::vector<SocketEndpoints>& openings,
                                                   std::chrono::milliseconds quiet) {
    const auto deadline = std::chrono::steady_clock::now() + quiet;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Waited::kStopped;
        }
        if (ready == 0) return Waited::kQuiet;
        if (fds[1].revents != 0) return Waited::kStopped;
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return Waited::kStopped;
        std::array<std::uint8_t, kKeptSynBytes> datagram{};
        ssize_t length;
        while ((length = recv(socket_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT)) >=
               0) {
            if (auto opening = OpeningOfSyn(std::span<const std::uint8_t>(
                    datagram.data(), static_cast<std::size_t>(length)))) {
                openings.push_back(*opening);
            }
        }
        // An interface going down says so to packet sockets; the others carry on.
        if (errno != EAGAIN && errno != EINTR && errno != ENETDOWN) return Waited::kStopped;
        if (!openings.empty()) return Waited::kOpened;
    }
}

void OutgoingSynSocket::Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = write(wake_.get(), &one, sizeof one);
}

}  // namespace ravelin
