#include "helper/LiveCapture.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

namespace ravelin {

namespace {

constexpr std::uint32_t Extension(std::int32_t offset) {
    return static_cast<std::uint32_t>(SKF_AD_OFF + offset);
}

// IPv4 and IPv6 datagrams, whatever the link type: the kernel names each packet's protocol.
constexpr std::array<sock_filter, 5> kIpFilter = {{
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, Extension(SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 1, 0),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, LiveCapture::kSnapshotLength),
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
    BPF_STMT(BPF_RET | BPF_K, LiveCapture::kSnapshotLength),
    BPF_STMT(BPF_RET | BPF_K, 0),
}};

struct FrameTarget {
    pcap_t* handle;
    CaptureRecordWriter* writer;
    std::size_t frames;
    std::size_t maxBytes;
};

void AppendFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* target = reinterpret_cast<FrameTarget*>(user);  // libpcap's callback argument
    target->writer->Frame({static_cast<std::int64_t>(header->ts.tv_sec),
                           static_cast<std::int32_t>(header->ts.tv_usec)},
                          header->len, {bytes, header->caplen});
    ++target->frames;
    // The ring refills while it is read: without a limit in bytes one read of a busy link
    // would go on for as long as the kernel keeps up, and the buffer grow without end.
    if (target->writer->bytes().size() >= target->maxBytes) pcap_breakloop(target->handle);
}

}  // namespace

LiveCapture::~LiveCapture() {
    if (handle_ != nullptr) pcap_close(handle_);
}

CallResult LiveCapture::Fail(int code, std::string reason) {
    return CallResult::Failure({code, std::move(reason)});
}

CallResult LiveCapture::Create(const std::string& device) {
    device_ = device;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_create(device_.c_str(), errorText);
    if (handle_ == nullptr) return Fail(PCAP_ERROR, errorText);
    return CallResult::Success();
}

CallResult LiveCapture::Configure() {
    if (handle_ == nullptr) return NoHandle();
    if (int status = pcap_set_snaplen(handle_, kSnapshotLength); status != 0) {
        return Fail(status, pcap_statustostr(status));
    }
    // Delivered within kDeliveryTimeoutMs rather than one by one: libpcap's immediate mode
    // gives every datagram a frame of the full snapshot length, so the kernel's buffer holds
    // only about 128 of them and the receive thread must wake for each, and a busy link then
    // loses packets on two cores. Blocks of datagrams packed end to end hold thousands, and
    // arrive at most kDeliveryTimeoutMs late, which no one watching a list can tell.
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

CallResult LiveCapture::Activate() {
    if (handle_ == nullptr) return NoHandle();
    const int status = pcap_activate(handle_);
    if (status < 0) {
        // The error text says more than the status alone, e.g. which permission is missing.
        std::string reason = pcap_statustostr(status);
        const char* detail = pcap_geterr(handle_);
        if (detail != nullptr && detail[0] != '\0') reason += std::string(": ") + detail;
        return Fail(status, reason);
    }
    linkType_ = pcap_datalink(handle_);
    char errorText[PCAP_ERRBUF_SIZE] = {};
    if (pcap_setnonblock(handle_, 1, errorText) != 0) return Fail(PCAP_ERROR, errorText);
    selectableFd_ = pcap_get_selectable_fd(handle_);
    if (selectableFd_ < 0) return Fail(PCAP_ERROR, "no selectable descriptor for " + device_);
    return CallResult::Success();
}

CallResult LiveCapture::SetFilter(bool inboundOnly) {
    if (handle_ == nullptr) return NoHandle();
    // The filter goes to the socket directly, never through pcap_setfilter, which loses the
    // first datagrams of a capture twice over: it makes the socket reject everything while it
    // swaps filters, and it filters the ring blocks that exist at that moment once more in user
    // space, where a direction test cannot be evaluated and fails. Attaching replaces the
    // socket's filter at once. What reached the ring before is kept: libpcap skips a loopback
    // device's outgoing copies itself, and the link layer skips frames without an IPv4
    // datagram.
    const std::span<const sock_filter> filter = inboundOnly
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

CallResult LiveCapture::NoHandle() {
    // A step may fail with an error that CheckCall lets pass; the next step must not go on as
    // if the device were open.
    return Fail(PCAP_ERROR, "no capture handle for " + device_);
}

std::optional<std::size_t> LiveCapture::Read(CaptureRecordWriter& writer, std::size_t maxFrames,
                                             std::size_t maxBytes, SystemError& error) {
    if (handle_ == nullptr || selectableFd_ < 0) {
        error = NoHandle().error();
        return std::nullopt;
    }
    FrameTarget target{handle_, &writer, 0, maxBytes};
    // libpcap reports a vanished or downed interface from here.
    const int result = pcap_dispatch(handle_, static_cast<int>(maxFrames), AppendFrame,
                                     reinterpret_cast<u_char*>(&target));
    if (result < 0 && result != PCAP_ERROR_BREAK) {
        error = {result, pcap_geterr(handle_)};
        return std::nullopt;
    }
    return target.frames;
}

std::optional<CaptureStatistics> LiveCapture::Statistics() {
    pcap_stat stats{};
    if (handle_ == nullptr || pcap_stats(handle_, &stats) != 0) return std::nullopt;
    return CaptureStatistics{stats.ps_recv, stats.ps_drop};
}

}  // namespace ravelin
