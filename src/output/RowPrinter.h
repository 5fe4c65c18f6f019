#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/PacketSource.h"
#include "pipeline/ProcessCounters.h"
#include "rows/HttpRow.h"
#include "rows/PacketRow.h"

namespace ravelin {

/// Appends text so that it stays on one line: backslash, TAB, CR and LF as \\ \t \r \n, every
/// other byte below 0x20 or from 0x7F up as \xHH (lower-case hex).
void AppendEscaped(std::string_view text, std::string& out);

/// Six upper-case hex digits, red first (RRGGBB).
void AppendColourHex(Colour colour, std::string& out);

/// One line of the headless mode for a packet row: the nine column texts (the preview as the
/// bytes of `payload`, AppendPreviewBytes) and the row colour, TAB-separated, then the owner's
/// process id when one is given, ending in a line feed.
void AppendPacketLine(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                      const Ipv6AddressBook& addresses, std::string& out,
                      std::optional<int> ownerPid = std::nullopt);

/// One line of --print marks: the HTTP row's serial, TAB, the packet rows that linking it
/// marks, ascending and separated by spaces, ending in a line feed.
void AppendMarksLine(int serial, std::vector<int> linkedRows, std::string& out);

/// One line for an HTTP row: serial, time, method, URL, the packet row index and the row
/// colour, TAB-separated, ending in a line feed.
void AppendHttpLine(const StoredRow<HttpRow>& stored, std::string& out);

/// A block of --print processes: a line per process, TAB-separated: pid, name (escaped; "-"
/// where none is known, as for -1, the traffic without an owner), packets sent, bytes sent,
/// packets received, bytes received; the most bytes in all first, then by pid; then an empty
/// line.
void AppendProcessBlock(std::vector<ProcessTraffic> processes, std::string& out);

/// The last line of --print summary: the rows of both lists, and the seconds from the first
/// datagram read to the last one listed (milliseconds shown).
void AppendSummaryLine(int packets, int requests, double seconds, std::string& out);

/// What the kernel counted of a live capture, for standard error: "capture: received=N
/// dropped=N".
void AppendCaptureStatisticsLine(const CaptureStatistics& statistics, std::string& out);

}  // namespace ravelin
