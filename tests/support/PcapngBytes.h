#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ravelin::test {

/// One option of a hand-built pcapng block.
struct PcapngOption {
    std::uint16_t code = 0;
    std::vector<std::uint8_t> value;
};

/// Hand-built pcapng blocks in either byte order, for files that Ravelin's own writer never
/// makes: big-endian sections, other time stamp resolutions, simple and obsolete packet blocks.
/// Blocks with options end them with opt_endofopt.
class PcapngBytes {
public:
    explicit PcapngBytes(bool bigEndian) : bigEndian_(bigEndian) {}

    PcapngBytes& Section(std::uint16_t major = 1, std::uint16_t minor = 0);
    PcapngBytes& Interface(std::uint16_t linkType, std::uint32_t snapLength,
                           const std::vector<PcapngOption>& options = {});
    PcapngBytes& Enhanced(std::uint32_t interfaceId, std::uint64_t ticks,
                          std::span<const std::uint8_t> frame, std::uint32_t originalLength,
                          const std::vector<PcapngOption>& options = {});
    PcapngBytes& Obsolete(std::uint16_t interfaceId, std::uint64_t ticks,
                          std::span<const std::uint8_t> frame, std::uint32_t originalLength,
                          const std::vector<PcapngOption>& options = {});
    PcapngBytes& Simple(std::span<const std::uint8_t> frame, std::uint32_t originalLength);
    /// Any block: the body is padded to 4 bytes and framed by the lengths.
    PcapngBytes& Block(std::uint32_t type, std::span<const std::uint8_t> body);

    /// Options in this builder's byte order.
    PcapngOption Comment(std::string_view text) const;
    PcapngOption TimeResolution(std::uint8_t code) const;
    PcapngOption TimeOffset(std::int64_t seconds) const;

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) const;
    void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) const;
    void Put64(std::vector<std::uint8_t>& out, std::uint64_t value) const;
    void PutOptions(std::vector<std::uint8_t>& out, const std::vector<PcapngOption>& options) const;

    bool bigEndian_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace ravelin::test
