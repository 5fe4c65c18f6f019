#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/DatagramBatch.h"

namespace ravelin::pcapng {

/// The pcapng blocks that Ravelin writes: a section header, one interface description per link
/// type, and one enhanced packet block per packet. Blocks are written in this host's byte order
/// (pcapng readers take either, from the section header's byte-order magic), with microsecond
/// time stamps (the default resolution, so no if_tsresol option).

/// Block types Ravelin writes or reads.
constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescriptionBlock = 1;
constexpr std::uint32_t kObsoletePacketBlock = 2;
constexpr std::uint32_t kSimplePacketBlock = 3;
constexpr std::uint32_t kEnhancedPacketBlock = 6;

/// Option codes both sides use: the end of a block's options, and a comment.
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionComment = 1;

/// The file's name for frames that are the IP datagram itself (libpcap's DLT_RAW).
constexpr std::uint16_t kLinkTypeRaw = 101;

/// The link type a file records for frames of the libpcap data-link type `dlt`.
std::uint16_t FileLinkType(int dlt);
/// The libpcap data-link type of frames that a file records with `linkType`; -1 for values
/// beyond any data-link type.
int DltOfFileLinkType(std::uint32_t linkType);

/// Appends a section header block of unknown section length, with the shb_userappl option
/// naming `application`.
void AppendSectionHeader(std::vector<std::uint8_t>& out, std::string_view application);

/// Appends an interface description block for frames of the libpcap data-link type `dlt`
/// (DLT_RAW is written as LINKTYPE_RAW, 101), with the given snapshot length.
void AppendInterfaceDescription(std::vector<std::uint8_t>& out, int dlt, std::uint32_t snapLength);

/// Appends an enhanced packet block for interface `interfaceId` (the index of its interface
/// description in the section): time stamp, captured and original length, the frame, and when
/// `comment` is not empty one opt_comment option. Returns the offset, from the start of the
/// appended block, at which the frame's bytes begin.
std::size_t AppendEnhancedPacket(std::vector<std::uint8_t>& out, std::uint32_t interfaceId,
                                 CaptureTime time, std::span<const std::uint8_t> frame,
                                 std::uint32_t originalLength, std::string_view comment);

/// The packet comment that names a packet's process: "pid=<pid> name=<name>".
std::string OwnerComment(int pid, std::string_view name);

/// OwnerComment for packet after packet, made again only when the owner changes: the packets of
/// one flow come in runs. Used by one thread at a time.
class OwnerComments {
public:
    /// The comment that names `pid` and `name`; valid until the next call.
    std::string_view For(int pid, std::string_view name);

private:
    bool made_ = false;
    int pid_ = 0;
    std::string name_;
    std::string comment_;
};

/// The process a packet comment names, read back from OwnerComment's form; the name may contain
/// spaces and runs to the end of the comment. Nothing for any other comment.
struct ParsedOwner {
    int pid = -1;
    std::string name;
};
std::optional<ParsedOwner> ParseOwnerComment(std::string_view comment);

/// True when `head` (the first bytes of a file) begins a pcapng section header block.
bool IsPcapng(std::span<const std::uint8_t> head);

}  // namespace ravelin::pcapng
