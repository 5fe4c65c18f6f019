// Writes a capture of QUIC client Initial packets for the end-to-end test of the HTTP list's
// QUIC rows (test_tls.py), which compares what ravelin lists with what tshark decrypts on its
// own. No QUIC client ships with the test machine's packages, so the packets are sealed here,
// the way a client seals them:
//
//   write_quic_capture OUTPUT.pcap

#include <pcap/dlt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/DatagramBuilder.h"
#include "support/PcapFileWriter.h"
#include "support/TlsBuilder.h"

namespace {

using ravelin::QuicVersion;
using ravelin::test::Bytes;
using ravelin::test::ClientHelloBuilder;
using ravelin::test::CryptoFrame;
using ravelin::test::SealClientInitial;

struct Writer {
    std::vector<ravelin::test::Frame> frames;
    std::int64_t seconds = 1700000000;

    void Send(std::uint16_t clientPort, std::uint16_t serverPort, Bytes payload) {
        ravelin::test::DatagramBuilder builder;
        builder.protocol = 17;
        builder.source = ravelin::test::Ipv4("127.0.0.1");
        builder.destination = builder.source;
        builder.sourcePort = clientPort;
        builder.destinationPort = serverPort;
        builder.payload = std::move(payload);
        frames.push_back({builder.Build(), seconds, 0});
        ++seconds;
    }
};

Bytes Id(std::uint8_t connection) {
    return {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, connection};
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(to)};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pcap\n", argv[0]);
        return 2;
    }
    Writer out;
    const auto v1 = QuicVersion::kVersion1;

    // Version 1 on 443, and the client's retransmission of its Initial a second later.
    const Bytes example = ClientHelloBuilder::Modern("example.com").Build();
    out.Send(50001, 443, SealClientInitial(v1, Id(1), Id(101), CryptoFrame(0, example), 0));
    out.Send(50001, 443, SealClientInitial(v1, Id(1), Id(101), CryptoFrame(0, example), 1));
    // Version 2 on another port.
    const Bytes second = ClientHelloBuilder::Modern("v2.ravelin.test").Build();
    out.Send(50002, 4433,
             SealClientInitial(QuicVersion::kVersion2, Id(2), Id(102), CryptoFrame(0, second), 0));
    // A ClientHello with a post-quantum key share, in two Initials, the second half first.
    const Bytes large = ClientHelloBuilder::Modern("pq.ravelin.test", 1250).Build();
    out.Send(50003, 443,
             SealClientInitial(v1, Id(3), Id(103),
                               CryptoFrame(1000, Slice(large, 1000, large.size())), 1));
    out.Send(50003, 443,
             SealClientInitial(v1, Id(3), Id(103), CryptoFrame(0, Slice(large, 0, 1000)), 0));
    // No server name.
    const Bytes nameless = ClientHelloBuilder::Modern("").Build();
    out.Send(50004, 8443, SealClientInitial(v1, Id(4), Id(104), CryptoFrame(0, nameless), 0));
    // Two Initials coalesced in one datagram, their CRYPTO frames out of order.
    const Bytes coalesced = ClientHelloBuilder::Modern("coalesced.ravelin.test", 900).Build();
    out.Send(
        50005, 443,
        Joined({SealClientInitial(v1, Id(5), Id(105),
                                  Joined({CryptoFrame(700, Slice(coalesced, 700, coalesced.size())),
                                          CryptoFrame(0, Slice(coalesced, 0, 300))}),
                                  0, 700),
                SealClientInitial(v1, Id(5), Id(105), CryptoFrame(300, Slice(coalesced, 300, 700)),
                                  1, 600)}));
    // Noise: a long header of no known version, 1200 bytes.
    Bytes noise(1200, 0x5A);
    noise[0] = 0xC3;
    out.Send(50006, 443, noise);

    ravelin::test::WritePcapFile(argv[1], DLT_RAW, out.frames);
    return 0;
}
