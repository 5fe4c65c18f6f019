// QUIC client Initials through the long-header walk, the packet protection, the frame reader,
// the CRYPTO assembly and the QUIC step, with the limits they promise checked on every result.
//
// Input: a mode byte, a split byte, then the bytes. Mode 0: the bytes are a UDP payload as
// received (padded with zeros to 1200 bytes). Modes 1 and 2: the bytes are the frames of a
// client Initial, sealed here under version 1 or 2 so that everything behind the decryption is
// reached. Mode 3: the frames are split at 32 times the split byte into two version 1 Initials
// coalesced in one datagram.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzSupport.h"
#include "analysis/QuicRecogniser.h"
#include "analysis/TlsRecogniser.h"
#include "decode/QuicInitial.h"
#include "decode/QuicInitialCrypto.h"
#include "support/TlsBuilder.h"

namespace {

using ravelin::fuzz::Check;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaximumFrames = 8000;  // a two-byte packet length holds 16383
const Bytes kId = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

void CheckFrames(std::span<const std::uint8_t> plaintext) {
    std::vector<ravelin::CryptoFragment> fragments;
    if (!ravelin::ReadInitialFrames(plaintext, fragments)) return;
    for (const auto& fragment : fragments) {
        Check(Inside(fragment.data, plaintext), "CRYPTO data lies in the plaintext");
        Check(fragment.offset + fragment.data.size() < (std::uint64_t{1} << 62),
              "CRYPTO data ends below 2^62");
    }
}

void CheckWalk(std::span<const std::uint8_t> payload, ravelin::QuicInitialCrypto& crypto) {
    ravelin::QuicInitialPackets packets(payload);
    int count = 0;
    while (const auto header = packets.Next()) {
        Check(++count <= static_cast<int>(payload.size()), "each packet takes bytes");
        Check(Inside(header->packet, payload), "the packet lies in the datagram");
        Check(Inside(header->destinationId, header->packet) && header->destinationId.size() <= 20,
              "the id lies in the packet");
        Check(header->packetNumberOffset <= header->packet.size(), "the number lies in it");
        ravelin::QuicInitialKeys keys;
        if (!crypto.DeriveClientKeys(header->version, header->destinationId, keys)) continue;
        std::vector<std::uint8_t> plaintext;
        if (crypto.Open(*header, keys, plaintext)) {
            Check(plaintext.size() + 16 < header->packet.size(), "the plaintext fits the packet");
            CheckFrames(plaintext);
        }
    }
}

ravelin::DecodedDatagram Datagram(std::span<const std::uint8_t> payload) {
    ravelin::DecodedDatagram packet;
    packet.ip.sourceAddress = 0x0200000A;
    packet.ip.destinationAddress = 0x070200C0;
    packet.ip.protocol = 17;
    packet.transport = ravelin::Transport::kUdp;
    packet.udp.sourcePort = 50000;
    packet.udp.destinationPort = 443;
    packet.payload = payload;
    packet.dataLength = static_cast<std::int32_t>(payload.size());
    return packet;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static ravelin::QuicInitialCrypto crypto;
    const int mode = data[0] & 3;
    const std::span<const std::uint8_t> bytes(data + 2, std::min(size - 2, kMaximumFrames));

    Bytes datagram;
    if (mode == 0) {
        datagram.assign(bytes.begin(), bytes.end());
        if (datagram.size() < ravelin::kMinimumInitialDatagram) {
            datagram.resize(ravelin::kMinimumInitialDatagram, 0);
        }
    } else {
        CheckFrames(bytes);
        const auto version =
            mode == 2 ? ravelin::QuicVersion::kVersion2 : ravelin::QuicVersion::kVersion1;
        if (mode == 3) {
            const std::size_t split = std::min<std::size_t>(bytes.size(), data[1] * 32U);
            datagram =
                ravelin::test::SealClientInitial(version, kId, {}, bytes.first(split), 0, 600);
            const Bytes second =
                ravelin::test::SealClientInitial(version, kId, {}, bytes.subspan(split), 1, 600);
            datagram.insert(datagram.end(), second.begin(), second.end());
        } else {
            datagram = ravelin::test::SealClientInitial(version, kId, {}, bytes, data[1]);
        }
    }
    CheckWalk(datagram, crypto);

    ravelin::QuicRecogniser recogniser;
    for (int round = 0; round < 2; ++round) {
        const auto row = recogniser.Recognise(Datagram(datagram), {1000 + round, 0});
        if (row) {
            Check(round == 0, "a connection is listed once");
            Check(row->method == ravelin::kQuicMethod, "a QUIC row");
            Check(row->url.rfind("https://", 0) == 0 && row->url.back() == '/',
                  "the URL is https://HOST/");
        }
    }
    Check(recogniser.connectionCount() <= 2, "state only for the packets' connection");
    return 0;
}
