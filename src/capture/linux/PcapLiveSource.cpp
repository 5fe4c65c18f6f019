#include "capture/linux/PcapLiveSource.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "capture/Interfaces.h"
#include "capture/linux/PcapDispatch.h"
#include "decode/LinkLayer.h"
#include "decode/TextForms.h"

namespace ravelin {

namespace {

// A read waits at most this long, so that a missed wake-up can never hang the receive thread.
constexpr int kPollTimeoutMs = 250;

constexpr std::uint32_t Extension(std::int32_t offset) {
    return static_cast<std::uint32_t>(SKF_AD_OFF + offset);
}

// IPv4 and IPv6 datagrams, whatever the link type: the kernel names each packet's protocol.
constexpr std::array<sock_filter, 5> kIpFilter = {{
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, Extension(SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, PcapLiveSource::kSnapshotLength),
    BPF_STMT(BPF_RET | BPF_K, 0),
}};

// The same, as they arrive: a loopback device hands the kernel's buffer every datagram twice,
// as it goes out and as it comes in, and libpcap skips the outgoing copy only after the kernel
// copied it; dropping it here halves what a busy loopback link costs.
constexpr std::array<sock_filter, 7> kIpInboundFilter = {{
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, Extension(SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 0, 3),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, Extension(SKF_AD_PKTTYPE)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, PcapLiveSource::kSnapshotLength),
    BPF_STMT(BPF_RET | BPF_K, 0),
}};

bool IsLoopbackDevice(const std::string& device) {
    for (const InterfaceAddress& item : ListInterfaces()) {
        if (item.name == device) return item.loopback;
    }
    return false;
}

}  // namespace

PcapLiveSource::~PcapLiveSource() {
    if (handle_ != nullptr) pcap_close(handle_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

CallResult PcapLiveSource::Fail(int code, std::string reason) {
    lastError_ = {code, std::move(reason)};
    return CallResult::Failure(lastError_);
}

CallResult PcapLiveSource::Create() {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        lastError_ = SystemError::FromErrno(errno);
        return CallResult::Failure(lastError_);
    }

    // Which interface carries the address is only judged at Bind, as binding a socket would;
    // until then the handle is made for the device it will need.
    const auto device = DeviceForAddress(boundAddress_, ListInterfaces());
    addressFound_ = device.has_value();
    device_ = device.value_or("any");

    char errorText[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_create(device_.c_str(), errorText);
    if (handle_ == nullptr) return Fail(PCAP_ERROR, errorText);
    return CallResult::Success();
}

CallResult PcapLiveSource::Configure() {
    if (handle_ == nullptr) return NoHandle();
    if (int status = pcap_set_snaplen(handle_, kSnapshotLength); status != 0) {
        return Fail(status, pcap_statustostr(status));
    }
    // Delivered within kDeliveryTimeoutMs rather than one by one: libpcap's immediate mode
    // gives every datagram a frame of the full snapshot length, so the kernel's buffer holds
    // only about 128 of them and the receive thread must wake for each, and a busy link then
    // loses packets on two cores. Blocks of datagrams packed end to end hold thousands, and
    // arrive at most a millisecond late, which no one watching a list can tell.
    if (int status = pcap_set_immediate_mode(handle_, 0); status != 0) {
        return Fail(status, pcap_statustostr(status));
    }
    if (int status = pcap_set_timeout(handle_, kDeliveryTimeoutMs); status != 0) {
        return Fail(status, pcap_statustostr(status));
    }
    if (int status = pcap_set_buffer_size(handle_, kKernelBufferBytes); status != 0) {
        return Fail(status, pcap_statustostr(status));
    }
    return CallResult::Success();
}

CallResult PcapLiveSource::Bind() {
    if (handle_ == nullptr) return NoHandle();
    if (!addressFound_) {
        return Fail(EADDRNOTAVAIL, std::string("no interface has the address ") +
                                       std::string(boundAddress_.text().view()));
    }
    const int status = pcap_activate(handle_);
    if (status < 0) {
        // The error text says more than the status alone, e.g. which permission is missing.
        std::string reason = pcap_statustostr(status);
        const char* detail = pcap_geterr(handle_);
        if (detail != nullptr && detail[0] != '\0') reason += std::string(": ") + detail;
        return Fail(status, reason);
    }
    linkType_ = pcap_datalink(handle_);
    if (!IsSupportedLinkType(linkType_)) {
        return Fail(PCAP_ERROR, device_ + ": unsupported link type " + std::to_string(linkType_));
    }
    char errorText[PCAP_ERRBUF_SIZE] = {};
    if (pcap_setnonblock(handle_, 1, errorText) != 0) return Fail(PCAP_ERROR, errorText);
    selectableFd_ = pcap_get_selectable_fd(handle_);
    if (selectableFd_ < 0) return Fail(PCAP_ERROR, "no selectable descriptor for " + device_);
    return CallResult::Success();
}

CallResult PcapLiveSource::SetFilter() {
    if (handle_ == nullptr) return NoHandle();
    // The filter goes to the socket directly, never through pcap_setfilter, which loses the
    // first datagrams of a capture twice over: it makes the socket reject everything while it
    // swaps filters, and it filters the ring blocks that exist at that moment once more in user
    // space, where a direction test cannot be evaluated and fails. Attaching replaces the
    // socket's filter at once. What reached the ring before is kept: libpcap skips a loopback
    // device's outgoing copies itself, and the link layer skips frames without an IPv4
    // datagram.
    const std::span<const sock_filter> filter = IsLoopbackDevice(device_)
                                                    ? std::span<const sock_filter>(kIpInboundFilter)
                                                    : std::span<const sock_filter>(kIpFilter);
    sock_fprog program{};
    program.len = static_cast<unsigned short>(filter.size());
    // The kernel copies the program and never writes through the pointer.
    program.filter = const_cast<sock_filter*>(filter.data());
    if (setsockopt(pcap_fileno(handle_), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) !=
        0) {
        return Fail(errno, "SO_ATTACH_FILTER: " + SystemError::FromErrno(errno).reason);
    }
    return CallResult::Success();
}

CallResult PcapLiveSource::NoHandle() {
    // A step may fail with an error that CheckCall lets pass; the next step must not go on as
    // if the device were open.
    return Fail(PCAP_ERROR, "no capture handle for " + device_);
}

PacketSource::ReadResult PcapLiveSource::Read(DatagramBatch& batch, std::size_t maxDatagrams) {
    if (handle_ == nullptr || selectableFd_ < 0) {
        NoHandle();
        return ReadResult::kError;
    }
    if (maxDatagrams == 0) return ReadResult::kData;  // libpcap would take 0 as "no limit"
    pollfd fds[2] = {{selectableFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, kPollTimeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return ReadResult::kData;
        lastError_ = SystemError::FromErrno(errno);
        return ReadResult::kError;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto ignored = read(wakeFd_, &count, sizeof count);
    }
    if (fds[0].revents == 0) return ReadResult::kData;
    // libpcap reports a vanished or downed interface from here.
    const int result = DispatchIntoBatch(handle_, linkType_, batch, maxDatagrams);
    if (result < 0 && result != PCAP_ERROR_BREAK) {
        lastError_ = {result, pcap_geterr(handle_)};
        return ReadResult::kError;
    }
    return ReadResult::kData;
}

void PcapLiveSource::Interrupt() {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = write(wakeFd_, &one, sizeof one);
}

std::optional<CaptureStatistics> PcapLiveSource::Statistics() {
    pcap_stat stats{};
    if (handle_ == nullptr || pcap_stats(handle_, &stats) != 0) return std::nullopt;
    return CaptureStatistics{stats.ps_recv, stats.ps_drop};
}

}  // namespace ravelin
