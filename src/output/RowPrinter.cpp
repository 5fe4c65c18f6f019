#include "output/RowPrinter.h"

#include <algorithm>
#include <cstdio>

#include "decode/TextForms.h"

namespace ravelin {

namespace {

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

void AppendHexByte(std::uint8_t value, const char* digits, std::string& out) {
    out += digits[value >> 4];
    out += digits[value & 0x0F];
}

}  // namespace

void AppendEscaped(std::string_view text, std::string& out) {
    for (char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7F) {
                    out += "\\x";
                    AppendHexByte(byte, kHexLower, out);
                } else {
                    out += c;
                }
        }
    }
}

void AppendColourHex(Colour colour, std::string& out) {
    AppendHexByte(RedOf(colour), kHexUpper, out);
    AppendHexByte(GreenOf(colour), kHexUpper, out);
    AppendHexByte(BlueOf(colour), kHexUpper, out);
}

void AppendPacketLine(const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload,
                      const Ipv6AddressBook& addresses, std::string& out,
                      std::optional<int> ownerPid) {
    std::string cell;
    for (int column = 0; column < PacketRow::kColumnCount; ++column) {
        cell.clear();
        // The preview keeps its bytes: escaped one by one, not as the list's characters.
        if (column == kPacketDataColumn) {
            AppendPreviewBytes(payload, cell);
        } else {
            AppendPacketCellText(stored, payload, column, cell, addresses);
        }
        AppendEscaped(cell, out);
        out += '\t';
    }
    AppendColourHex(stored.colour, out);
    if (ownerPid) {
        out += '\t';
        out += DecimalText(*ownerPid).view();
    }
    out += '\n';
}

void AppendHttpLine(const StoredRow<HttpRow>& stored, std::string& out) {
    std::string cell;
    for (int column = 0; column < HttpRow::kColumnCount; ++column) {
        cell.clear();
        AppendHttpCellText(stored, column, cell);
        AppendEscaped(cell, out);
        out += '\t';
    }
    out += DecimalText(stored.row.packetRow).view();
    out += '\t';
    AppendColourHex(stored.colour, out);
    out += '\n';
}

void AppendProcessBlock(std::vector<ProcessTraffic> processes, std::string& out) {
    const auto total = [](const ProcessTraffic& traffic) {
        return traffic.sent.bytes + traffic.received.bytes;
    };
    std::sort(processes.begin(), processes.end(),
              [&](const ProcessTraffic& a, const ProcessTraffic& b) {
                  if (total(a) != total(b)) return total(a) > total(b);
                  return a.pid < b.pid;
              });
    for (const ProcessTraffic& traffic : processes) {
        out += DecimalText(traffic.pid).view();
        out += '\t';
        if (traffic.name.empty()) {
            out += '-';
        } else {
            AppendEscaped(traffic.name, out);
        }
        for (const std::uint64_t number : {traffic.sent.packets, traffic.sent.bytes,
                                           traffic.received.packets, traffic.received.bytes}) {
            out += '\t';
            out += std::to_string(number);
        }
        out += '\n';
    }
    out += '\n';
}

void AppendMarksLine(int serial, std::vector<int> linkedRows, std::string& out) {
    std::sort(linkedRows.begin(), linkedRows.end());
    out += DecimalText(serial).view();
    out += '\t';
    for (std::size_t index = 0; index < linkedRows.size(); ++index) {
        if (index > 0) out += ' ';
        out += DecimalText(linkedRows[index]).view();
    }
    out += '\n';
}

void AppendSummaryLine(int packets, int requests, double seconds, std::string& out) {
    char line[96];
    const int length = std::snprintf(line, sizeof line, "packets=%d http=%d seconds=%.3f\n",
                                     packets, requests, seconds);
    // snprintf counts what did not fit as well.
    out.append(line, static_cast<std::size_t>(std::clamp(length, 0, int{sizeof line} - 1)));
}

void AppendCaptureStatisticsLine(const CaptureStatistics& statistics, std::string& out) {
    out += "capture: received=" + std::to_string(statistics.received) +
           " dropped=" + std::to_string(statistics.dropped) + "\n";
}

}  // namespace ravelin
