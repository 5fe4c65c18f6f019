#include "capture/linux/PcapFileSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/FileIo.h"
#include "capture/PcapngFormat.h"
#include "capture/linux/PcapDispatch.h"
#include "decode/LinkLayer.h"

namespace ravelin {

namespace {

// What one read of a pcapng file asks for: large enough to make few calls, small enough that
// the buffer stays small beside the batches.
constexpr std::size_t kPcapngChunk = std::size_t{256} << 10;
// The same for the stream through which libpcap reads a pcap file.
constexpr std::size_t kStreamBuffer = kPcapngChunk;
// The section header's type, length and byte-order magic: enough to tell pcapng from pcap.
constexpr std::size_t kPcapngHead = 12;

// What a pipe handed to libpcap reads: first the bytes Ravelin already took to tell the
// format, then the rest of the pipe.
struct PushedBackPipe {
    UniqueFd fd;
    std::array<std::uint8_t, kPcapngHead> head{};
    std::size_t headLength = 0;
    std::size_t headRead = 0;
};

ssize_t ReadPushedBack(void* cookie, char* buffer, std::size_t size) {
    auto& pipe = *static_cast<PushedBackPipe*>(cookie);
    if (pipe.headRead < pipe.headLength) {
        const std::size_t count = std::min(size, pipe.headLength - pipe.headRead);
        std::memcpy(buffer, pipe.head.data() + pipe.headRead, count);
        pipe.headRead += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t got = 0;
    do {
        got = read(pipe.fd.get(), buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

int ClosePushedBack(void* cookie) {
    // The stream owns the cookie from fopencookie on: it goes with the stream.
    const std::unique_ptr<PushedBackPipe> pipe(static_cast<PushedBackPipe*>(cookie));
    return pipe->fd.Close();
}

// A stream over `file` from its first byte. A file is rewound; a pipe or FIFO, which cannot
// be read twice, gets `head` (already read from it) put back in front of the rest.
FILE* StreamFromStart(UniqueFd file, std::span<const std::uint8_t> head) {
    if (lseek(file.get(), 0, SEEK_SET) == 0) {
        FILE* stream = fdopen(file.get(), "rb");
        if (stream != nullptr) static_cast<void>(file.Release());
        return stream;
    }
    auto pipe = std::make_unique<PushedBackPipe>();
    pipe->fd = std::move(file);
    pipe->headLength = std::min(head.size(), pipe->head.size());
    std::copy_n(head.begin(), pipe->headLength, pipe->head.begin());
    const cookie_io_functions_t functions{ReadPushedBack, nullptr, nullptr, ClosePushedBack};
    FILE* stream = fopencookie(pipe.get(), "rb", functions);
    if (stream != nullptr) static_cast<void>(pipe.release());
    return stream;
}

}  // namespace

PcapFileSource::~PcapFileSource() {
    if (handle_ != nullptr) pcap_close(handle_);
}

CallResult PcapFileSource::Create() {
    // The first bytes tell a pcapng file; a pcap file goes to libpcap on the same open file
    // (a pipe can be read only once). A file that cannot be opened is left to libpcap and its
    // error texts. "-" is standard input, as for tcpdump and tshark.
    UniqueFd file(path_ == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                               : open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    char errorText[PCAP_ERRBUF_SIZE] = {};
    if (file.valid()) {
        std::uint8_t head[kPcapngHead] = {};
        std::size_t got = 0;
        // A failed read counts as one that took nothing: libpcap then tries the file itself.
        if (!ReadFully(file.get(), head, got).succeeded()) got = 0;
        if (got == kPcapngHead && pcapng::IsPcapng(head)) {
            return OpenPcapng(std::move(file), head);
        }
        const auto taken = std::span<const std::uint8_t>(head).first(got);
        if (FILE* stream = StreamFromStart(std::move(file), taken)) {
            // libpcap reads a record's header and its bytes with one fread each; through
            // stdio's default 4 KiB buffer that is a system call every few frames.
            streamBuffer_ = std::make_unique_for_overwrite<char[]>(kStreamBuffer);
            static_cast<void>(std::setvbuf(stream, streamBuffer_.get(), _IOFBF, kStreamBuffer));
            // The handle closes the stream; a stream libpcap refuses stays the caller's.
            errno = 0;
            handle_ = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_MICRO,
                                                               errorText);
            const int refusal = errno;
            // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): libpcap's FILE handover
            if (handle_ == nullptr) static_cast<void>(std::fclose(stream));
            errno = refusal;
        } else {
            errorText[0] = '\0';
            std::strncat(errorText, SystemError::FromErrno(errno).reason.c_str(),
                         PCAP_ERRBUF_SIZE - 1);
        }
    } else {
        errno = 0;
        handle_ = pcap_open_offline_with_tstamp_precision(path_.c_str(),
                                                          PCAP_TSTAMP_PRECISION_MICRO, errorText);
    }
    if (handle_ == nullptr) {
        lastError_ = {errno != 0 ? errno : PCAP_ERROR, path_ + ": " + errorText};
        return CallResult::Failure(lastError_);
    }
    return CallResult::Success();
}

CallResult PcapFileSource::OpenPcapng(UniqueFd file, std::span<const std::uint8_t> head) {
    pcapngFile_ = std::move(file);
    pcapng_ = std::make_unique<pcapng::Reader>();
    pcapng_->Feed(head);
    // Like libpcap's open, read the section header now, so that a file that is no capture
    // fails here. No more than the header lacks is fed: no packet may be parsed yet.
    while (!pcapng_->InSection()) {
        if (pcapng_->Next() == pcapng::Reader::Status::kError) {
            lastError_ = {PCAP_ERROR, path_ + ": " + pcapng_->error()};
            break;
        }
        if (pcapng_->InSection()) break;
        const long fed = FeedPcapng(std::min(pcapng_->bytesWanted(), kPcapngChunk));
        if (fed < 0) break;
        if (fed == 0) {
            lastError_ = {PCAP_ERROR, path_ + ": the file ends inside its section header"};
            break;
        }
    }
    if (pcapng_->InSection()) return CallResult::Success();
    pcapng_.reset();
    pcapngFile_.Reset();
    return CallResult::Failure(lastError_);
}

long PcapFileSource::FeedPcapng(std::size_t count) {
    chunk_.resize(count);
    std::size_t got = 0;
    if (const CallResult read = ReadFully(pcapngFile_.get(), chunk_, got); !read.succeeded()) {
        lastError_ = {read.error().code, path_ + ": " + read.error().reason};
        return -1;
    }
    pcapng_->Feed(std::span<const std::uint8_t>(chunk_).first(got));
    return static_cast<long>(got);
}

CallResult PcapFileSource::Bind() {
    // A pcapng file names a link type per interface; each packet is checked by its own.
    if (pcapng_ != nullptr) return CallResult::Success();
    if (handle_ == nullptr) return NoHandle();
    linkType_ = pcap_datalink(handle_);
    if (!IsSupportedLinkType(linkType_)) {
        const char* name = pcap_datalink_val_to_name(linkType_);
        lastError_ = {PCAP_ERROR, path_ + ": link type " + (name != nullptr ? name : "unknown") +
                                      " (" + std::to_string(linkType_) +
                                      ") carries no IPv4 datagrams that Ravelin can read"};
        return CallResult::Failure(lastError_);
    }
    return CallResult::Success();
}

CallResult PcapFileSource::SetFilter() {
    // No BPF filter on files: "ip" would also drop VLAN-tagged frames, and the link-layer
    // decoder skips every frame that carries no IPv4 datagram anyway.
    return CallResult::Success();
}

std::string_view PcapFileSource::StepMessage(Step step) const {
    switch (step) {
        case Step::kCreate:
            return "pcap_open_offline 打开抓包文件失败";
        case Step::kBind:
            return "pcap_datalink 不支持抓包文件的链路类型";
        default:
            return PacketSource::StepMessage(step);
    }
}

CallResult PcapFileSource::NoHandle() {
    // A step may fail with an error that CheckCall lets pass; the next step must not go on as
    // if the file were open.
    lastError_ = {PCAP_ERROR, path_ + ": not open"};
    return CallResult::Failure(lastError_);
}

PacketSource::ReadResult PcapFileSource::FailPcapng(SystemError error) {
    pcapngState_ = PcapngState::kError;
    lastError_ = std::move(error);
    return ReadResult::kError;
}

PacketSource::ReadResult PcapFileSource::ReadPcapng(DatagramBatch& batch,
                                                    std::size_t maxDatagrams) {
    if (pcapngState_ == PcapngState::kEnd) return ReadResult::kEnd;
    if (pcapngState_ == PcapngState::kError) return ReadResult::kError;
    // Every packet counts, IPv4 or not, as with libpcap: a read ends after a bounded amount of
    // work, so that the receive loop gets to look at its stop flag.
    for (std::size_t packets = 0; packets < maxDatagrams;) {
        switch (pcapng_->Next()) {
            case pcapng::Reader::Status::kPacket: {
                ++packets;
                const pcapng::FilePacket& packet = pcapng_->packet();
                if (!IsSupportedLinkType(packet.linkType)) break;
                const auto datagram = ExtractIpDatagram(packet.linkType, packet.frame);
                if (!datagram) break;
                batch.Add({packet.frame,
                           static_cast<std::size_t>(datagram->data() - packet.frame.data()),
                           datagram->size(), packet.linkType, packet.originalLength, packet.time,
                           packet.owner});
                break;
            }
            case pcapng::Reader::Status::kError:
                return FailPcapng({PCAP_ERROR, path_ + ": " + pcapng_->error()});
            case pcapng::Reader::Status::kNeedBytes: {
                // A long block is gathered read by read: what a block claims to need is not
                // taken on trust before the file has the bytes.
                const long fed = FeedPcapng(kPcapngChunk);
                if (fed < 0) return FailPcapng(lastError_);
                if (fed > 0) break;
                if (!pcapng_->AtBlockBoundary()) {
                    return FailPcapng(
                        {PCAP_ERROR, path_ + ": the file ends inside the block at offset " +
                                         std::to_string(pcapng_->nextBlockOffset())});
                }
                pcapngState_ = PcapngState::kEnd;
                return ReadResult::kEnd;
            }
        }
    }
    return ReadResult::kData;
}

PacketSource::ReadResult PcapFileSource::Read(DatagramBatch& batch, std::size_t maxDatagrams) {
    if (pcapng_ != nullptr) {
        if (maxDatagrams == 0) return ReadResult::kData;
        return ReadPcapng(batch, maxDatagrams);
    }
    if (handle_ == nullptr) {
        NoHandle();
        return ReadResult::kError;
    }
    // pcap_dispatch takes a count of 0 as "no limit" and would empty the whole file into the
    // batch; and its 0 result means end of file, so the call must not be made at all.
    if (maxDatagrams == 0) return ReadResult::kData;
    const int result = DispatchIntoBatch(handle_, linkType_, batch, maxDatagrams);
    if (result == 0) return ReadResult::kEnd;
    if (result == PCAP_ERROR) {
        lastError_ = {PCAP_ERROR, path_ + ": " + pcap_geterr(handle_)};
        return ReadResult::kError;
    }
    return ReadResult::kData;
}

}  // namespace ravelin
