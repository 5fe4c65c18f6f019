#include "capture/linux/PcapLiveSource.h"

#include <linux/filter.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "capture/Interfaces.h"
#include "capture/linux/PcapDispatch.h"
#include "decode/LinkLayer.h"
#include "decode/TextForms.h"

namespace ravelin {

namespace {

// A read waits at most this long, so that a missed wake-up can never hang the receive thread.
constexpr int kPollTimeoutMs = 250;

bool IsLoopbackDevice(const std::string& device) {
    for (const InterfaceAddress& item : ListIpv4Interfaces()) {
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
    const auto device = DeviceForAddress(boundAddress_, ListIpv4Interfaces());
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
                                       std::string(AddressText(boundAddress_).view()));
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
    bpf_program program{};
    if (pcap_compile(handle_, &program, "ip", 1, PCAP_NETMASK_UNKNOWN) != 0) {
        return Fail(PCAP_ERROR, pcap_geterr(handle_));
    }
    const int status = pcap_setfilter(handle_, &program);
    pcap_freecode(&program);
    if (status != 0) return Fail(PCAP_ERROR, pcap_geterr(handle_));
    if (IsLoopbackDevice(device_)) DropOutgoingCopiesInKernel();
    return CallResult::Success();
}

void PcapLiveSource::DropOutgoingCopiesInKernel() {
    // A loopback device hands the kernel's buffer every datagram twice, as it goes out and as
    // it comes in; libpcap skips the outgoing copy only after the kernel copied it into the
    // ring, and dropping it in the kernel halves what a busy loopback link costs.
    //
    // The direction test goes to the socket directly, not through pcap_setfilter: libpcap
    // filters the ring blocks that exist when a filter is set once more in user space, where
    // a direction test cannot be evaluated and fails, so the first datagrams of a capture
    // would be lost. libpcap's own filter stays "ip", which user space can evaluate, and it
    // still skips any outgoing copy that reached the ring before this filter took over.
    bpf_program program{};
    if (pcap_compile(handle_, &program, "ip and inbound", 1, PCAP_NETMASK_UNKNOWN) != 0) return;
    sock_fprog kernelProgram{};
    kernelProgram.len = static_cast<unsigned short>(program.bf_len);
    // The kernel's sock_filter has the layout of libpcap's bpf_insn.
    static_assert(sizeof(sock_filter) == sizeof(bpf_insn));
    kernelProgram.filter = reinterpret_cast<sock_filter*>(program.bf_insns);
    // Should the kernel refuse it, "ip" alone still gives the same rows, at a higher cost.
    [[maybe_unused]] const int ignored = setsockopt(
        pcap_fileno(handle_), SOL_SOCKET, SO_ATTACH_FILTER, &kernelProgram, sizeof kernelProgram);
    pcap_freecode(&program);
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
