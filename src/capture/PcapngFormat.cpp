#include "capture/PcapngFormat.h"

#include <pcap/dlt.h>

#include <charconv>
#include <cstring>
#include <limits>

namespace ravelin::pcapng {

namespace {

constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptionUserApplication = 4;
// An option's length is a 16-bit field; the largest multiple of 4 keeps the padding simple.
constexpr std::size_t kMaximumOptionValue = 0xFFFC;
// BSD/OS's value of DLT_RAW; a file names both as LINKTYPE_RAW.
constexpr int kBsdOsRawDlt = 14;

template <typename T>
void AppendValue(std::vector<std::uint8_t>& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

void AppendPadded(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(out.size() + (4 - bytes.size() % 4) % 4, 0);
}

void AppendOption(std::vector<std::uint8_t>& out, std::uint16_t code, std::string_view value) {
    // A value too long for the option's length field is cut rather than written as a length
    // that would send readers into the following bytes.
    value = value.substr(0, kMaximumOptionValue);
    AppendValue(out, code);
    AppendValue(out, static_cast<std::uint16_t>(value.size()));
    AppendPadded(out, {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()});
}

void AppendEndOfOptions(std::vector<std::uint8_t>& out) {
    AppendValue(out, kOptionEnd);
    AppendValue(out, std::uint16_t{0});
}

// Writes the block's type and a length placeholder; FinishBlock fills in both lengths.
std::size_t BeginBlock(std::vector<std::uint8_t>& out, std::uint32_t type) {
    const std::size_t start = out.size();
    AppendValue(out, type);
    AppendValue(out, std::uint32_t{0});
    return start;
}

void FinishBlock(std::vector<std::uint8_t>& out, std::size_t start) {
    const auto length = static_cast<std::uint32_t>(out.size() - start + 4);
    std::memcpy(out.data() + start + 4, &length, sizeof length);
    AppendValue(out, length);
}

std::uint64_t Microseconds(CaptureTime time) {
    // Times before 1970 or beyond the 64-bit range cannot be written; they are held at the ends.
    if (time.seconds < 0 || time.microseconds < 0) return 0;
    constexpr auto kMaximumSeconds = std::numeric_limits<std::uint64_t>::max() / 1000000 - 1;
    const auto seconds = static_cast<std::uint64_t>(time.seconds);
    if (seconds > kMaximumSeconds) return std::numeric_limits<std::uint64_t>::max();
    return seconds * 1000000 + static_cast<std::uint64_t>(time.microseconds);
}

}  // namespace

std::uint16_t FileLinkType(int dlt) {
    if (dlt == DLT_RAW || dlt == kBsdOsRawDlt) return kLinkTypeRaw;
    return static_cast<std::uint16_t>(dlt);
}

int DltOfFileLinkType(std::uint32_t linkType) {
    if (linkType == kLinkTypeRaw) return DLT_RAW;
    return linkType > static_cast<std::uint32_t>(std::numeric_limits<int>::max())
               ? -1
               : static_cast<int>(linkType);
}

void AppendSectionHeader(std::vector<std::uint8_t>& out, std::string_view application) {
    const std::size_t start = BeginBlock(out, kSectionHeaderBlock);
    AppendValue(out, kByteOrderMagic);
    AppendValue(out, std::uint16_t{1});  // version 1.0
    AppendValue(out, std::uint16_t{0});
    AppendValue(out,
                std::int64_t{-1});  // section length not known: the file grows as it is written
    if (!application.empty()) {
        AppendOption(out, kOptionUserApplication, application);
        AppendEndOfOptions(out);
    }
    FinishBlock(out, start);
}

void AppendInterfaceDescription(std::vector<std::uint8_t>& out, int dlt, std::uint32_t snapLength) {
    const std::size_t start = BeginBlock(out, kInterfaceDescriptionBlock);
    AppendValue(out, FileLinkType(dlt));
    AppendValue(out, std::uint16_t{0});  // reserved
    AppendValue(out, snapLength);
    FinishBlock(out, start);
}

std::size_t AppendEnhancedPacket(std::vector<std::uint8_t>& out, std::uint32_t interfaceId,
                                 CaptureTime time, std::span<const std::uint8_t> frame,
                                 std::uint32_t originalLength, std::string_view comment) {
    const std::size_t start = BeginBlock(out, kEnhancedPacketBlock);
    const std::uint64_t stamp = Microseconds(time);
    const auto captured = static_cast<std::uint32_t>(frame.size());
    AppendValue(out, interfaceId);
    AppendValue(out, static_cast<std::uint32_t>(stamp >> 32));
    AppendValue(out, static_cast<std::uint32_t>(stamp));
    AppendValue(out, captured);
    // A frame is never longer on the wire than in the file.
    AppendValue(out, originalLength > captured ? originalLength : captured);
    const std::size_t frameOffset = out.size() - start;
    AppendPadded(out, frame);
    if (!comment.empty()) {
        AppendOption(out, kOptionComment, comment);
        AppendEndOfOptions(out);
    }
    FinishBlock(out, start);
    return frameOffset;
}

std::string OwnerComment(int pid, std::string_view name) {
    std::string comment = "pid=" + std::to_string(pid) + " name=";
    comment += name;
    return comment;
}

std::string_view OwnerComments::For(int pid, std::string_view name) {
    if (!made_ || pid != pid_ || name != name_) {
        made_ = true;
        pid_ = pid;
        name_.assign(name);
        comment_ = OwnerComment(pid, name);
    }
    return comment_;
}

std::optional<ParsedOwner> ParseOwnerComment(std::string_view comment) {
    constexpr std::string_view kPid = "pid=";
    constexpr std::string_view kName = " name=";
    if (!comment.starts_with(kPid)) return std::nullopt;
    comment.remove_prefix(kPid.size());
    // from_chars would take a minus sign; only digits name a process.
    if (comment.empty() || comment.front() < '0' || comment.front() > '9') return std::nullopt;
    ParsedOwner owner;
    const auto [end, error] =
        std::from_chars(comment.data(), comment.data() + comment.size(), owner.pid);
    if (error != std::errc()) return std::nullopt;
    comment.remove_prefix(static_cast<std::size_t>(end - comment.data()));
    if (!comment.starts_with(kName)) return std::nullopt;
    comment.remove_prefix(kName.size());
    owner.name = comment;
    return owner;
}

bool IsPcapng(std::span<const std::uint8_t> head) {
    if (head.size() < 12) return false;
    // The block type reads the same in both byte orders; the magic says which one follows.
    constexpr std::uint8_t kType[] = {0x0A, 0x0D, 0x0D, 0x0A};
    constexpr std::uint8_t kBig[] = {0x1A, 0x2B, 0x3C, 0x4D};
    constexpr std::uint8_t kLittle[] = {0x4D, 0x3C, 0x2B, 0x1A};
    if (std::memcmp(head.data(), kType, 4) != 0) return false;
    return std::memcmp(head.data() + 8, kBig, 4) == 0 ||
           std::memcmp(head.data() + 8, kLittle, 4) == 0;
}

}  // namespace ravelin::pcapng
