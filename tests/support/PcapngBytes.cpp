#include "support/PcapngBytes.h"

namespace ravelin::test {

namespace {

void PutPadded(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(out.size() + (4 - bytes.size() % 4) % 4, 0);
}

}  // namespace

void PcapngBytes::Put16(std::vector<std::uint8_t>& out, std::uint16_t value) const {
    for (int i = 0; i < 2; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (bigEndian_ ? 8 - 8 * i : 8 * i)));
    }
}

void PcapngBytes::Put32(std::vector<std::uint8_t>& out, std::uint32_t value) const {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (bigEndian_ ? 24 - 8 * i : 8 * i)));
    }
}

void PcapngBytes::Put64(std::vector<std::uint8_t>& out, std::uint64_t value) const {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (bigEndian_ ? 56 - 8 * i : 8 * i)));
    }
}

void PcapngBytes::PutOptions(std::vector<std::uint8_t>& out,
                             const std::vector<PcapngOption>& options) const {
    if (options.empty()) return;
    for (const PcapngOption& option : options) {
        Put16(out, option.code);
        Put16(out, static_cast<std::uint16_t>(option.value.size()));
        PutPadded(out, option.value);
    }
    Put32(out, 0);  // opt_endofopt
}

PcapngBytes& PcapngBytes::Block(std::uint32_t type, std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> padded;
    PutPadded(padded, body);
    const auto length = static_cast<std::uint32_t>(padded.size() + 12);
    Put32(bytes_, type);
    Put32(bytes_, length);
    bytes_.insert(bytes_.end(), padded.begin(), padded.end());
    Put32(bytes_, length);
    return *this;
}

PcapngBytes& PcapngBytes::Section(std::uint16_t major, std::uint16_t minor) {
    std::vector<std::uint8_t> body;
    Put32(body, 0x1A2B3C4D);
    Put16(body, major);
    Put16(body, minor);
    Put64(body, ~std::uint64_t{0});
    return Block(0x0A0D0D0A, body);
}

PcapngBytes& PcapngBytes::Interface(std::uint16_t linkType, std::uint32_t snapLength,
                                    const std::vector<PcapngOption>& options) {
    std::vector<std::uint8_t> body;
    Put16(body, linkType);
    Put16(body, 0);
    Put32(body, snapLength);
    PutOptions(body, options);
    return Block(1, body);
}

PcapngBytes& PcapngBytes::Enhanced(std::uint32_t interfaceId, std::uint64_t ticks,
                                   std::span<const std::uint8_t> frame,
                                   std::uint32_t originalLength,
                                   const std::vector<PcapngOption>& options) {
    std::vector<std::uint8_t> body;
    Put32(body, interfaceId);
    Put32(body, static_cast<std::uint32_t>(ticks >> 32));
    Put32(body, static_cast<std::uint32_t>(ticks));
    Put32(body, static_cast<std::uint32_t>(frame.size()));
    Put32(body, originalLength);
    PutPadded(body, frame);
    PutOptions(body, options);
    return Block(6, body);
}

PcapngBytes& PcapngBytes::Obsolete(std::uint16_t interfaceId, std::uint64_t ticks,
                                   std::span<const std::uint8_t> frame,
                                   std::uint32_t originalLength,
                                   const std::vector<PcapngOption>& options) {
    std::vector<std::uint8_t> body;
    Put16(body, interfaceId);
    Put16(body, 0);  // drop count
    Put32(body, static_cast<std::uint32_t>(ticks >> 32));
    Put32(body, static_cast<std::uint32_t>(ticks));
    Put32(body, static_cast<std::uint32_t>(frame.size()));
    Put32(body, originalLength);
    PutPadded(body, frame);
    PutOptions(body, options);
    return Block(2, body);
}

PcapngBytes& PcapngBytes::Simple(std::span<const std::uint8_t> frame,
                                 std::uint32_t originalLength) {
    std::vector<std::uint8_t> body;
    Put32(body, originalLength);
    PutPadded(body, frame);
    return Block(3, body);
}

PcapngOption PcapngBytes::Comment(std::string_view text) const {
    return {1, std::vector<std::uint8_t>(text.begin(), text.end())};
}

PcapngOption PcapngBytes::TimeResolution(std::uint8_t code) const {
    return {9, {code}};
}

PcapngOption PcapngBytes::TimeOffset(std::int64_t seconds) const {
    PcapngOption option{14, {}};
    Put64(option.value, static_cast<std::uint64_t>(seconds));
    return option;
}

}  // namespace ravelin::test
