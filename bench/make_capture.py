#!/usr/bin/env python3
"""Writes a deterministic classic-pcap file (Ethernet) of synthetic IPv4 traffic for replay
benchmarks. Nothing is sent anywhere: the packets only ever exist in the file.

The mix imitates a busy client host: about 200 TCP connections between 10.0.0.0/24 clients and
documentation-range servers (192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24) that open, carry
~100-byte HTTP requests answered by runs of 1448-byte segments (the last one shorter) with
pure ACKs in between, and close; plus DNS-like UDP exchanges and ICMP echoes. All checksums
are correct, so tools that verify them see ordinary traffic.

With --ipv6 the same traffic goes over IPv6: each IPv4 address a.b.c.d becomes
2001:db8::a.b.c.d (documentation range), ICMP echoes become ICMPv6 ones, checksums stay right.

Usage: make_capture.py [OUTPUT] [--packets N] [--seed S] [--ipv6] [--web] [--method XET]
Prints one line of totals; `payload_bytes` is the sum of TCP and UDP payloads, which is what
a packet monitor that keeps payloads copies. The same totals go to OUTPUT.meta as JSON.
"""

import argparse
import json
import os
import random
import struct
import sys

LINKTYPE_ETHERNET = 1
START_SECONDS = 1704110400  # 2024-01-01 12:00:00 UTC
MSS = 1448

PCAP_FILE_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_ETHERNET)
RECORD = struct.Struct("<IIII")  # pcap record header
# Ethernet header and an IPv4 header without options, packed in one call.
ETH_IP = struct.Struct("!6s6sHBBHHHBBH4s4s")
TCP = struct.Struct("!HHIIHHHH")
UDP = struct.Struct("!HHHH")
ICMP_ECHO = struct.Struct("!BBHHH")

IPV6_HEAD = struct.Struct("!6s6sHIHBB16s16s")
IPV6_PREFIX = bytes.fromhex("20010db8") + bytes(8)
# Set by --ipv6: what the IPv6 prefix adds to the checksum sum of one address.
FAMILY = {"ipv6": False, "prefix_sum": 0}

CLIENT_MAC = bytes.fromhex("020000000001")
GATEWAY_MAC = bytes.fromhex("020000000002")

SYN, ACK, PSH, FIN = 0x02, 0x10, 0x08, 0x01

# Response sizes drawn per request, and how many requests a connection carries. --web makes
# every connection one request answered by one segment, as for a page of many small assets:
# requests are then about a tenth of the packets.
WEB = {"sizes": [300, 900, 1448, 2896, 4344, 6000, 9000, 15000], "requests": (1, 12)}


def word_sum(data):
    """Ones'-complement sum of 16-bit big-endian words, unfolded (odd tail padded)."""
    if len(data) % 2:
        data = data + b"\0"
    return sum(struct.unpack("!%dH" % (len(data) // 2), data))


def fold(total):
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


def address_sum(address):
    return (address[0] << 8 | address[1]) + (address[2] << 8 | address[3])


class Payloads:
    """Byte blocks with their checksum sums precomputed, so packets cost only arithmetic."""

    def __init__(self, rng, method="GET"):
        block = bytearray(rng.getrandbits(8) for _ in range(MSS))
        # Some zero bytes, as in real binary content.
        for i in range(0, MSS, 97):
            block[i] = 0
        self.data = bytes(block)
        # prefix[n] = checksum sum of data[:n], odd tails padded.
        self.prefix = [0] * (MSS + 1)
        running = 0
        for n in range(1, MSS + 1):
            if n % 2 == 0:
                running += self.data[n - 2] << 8 | self.data[n - 1]
                self.prefix[n] = running
            else:
                self.prefix[n] = running + (self.data[n - 1] << 8)

        hosts = ["www.example.com", "static.example.net", "api.example.org", "cdn.example.com"]
        self.requests = []
        for i in range(64):
            text = (method + " /assets/js/module-%03d.js HTTP/1.1\r\nHost: %s\r\n"
                    "Accept: */*\r\n\r\n") % (i, hosts[i % len(hosts)])
            raw = text.encode()
            self.requests.append((raw, word_sum(raw)))

        names = ["www.example.com", "mail.example.net", "time.example.org", "updates.example.com"]
        self.dns = []
        for i, name in enumerate(names):
            qname = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
            question = qname + struct.pack("!HH", 1, 1)
            query = struct.pack("!HHHHHH", 0x1000 + i, 0x0100, 1, 0, 0, 0) + question
            answer = struct.pack("!HHHIH4s", 0xC00C, 1, 1, 300, 4, bytes([192, 0, 2, 80 + i]))
            response = struct.pack("!HHHHHH", 0x1000 + i, 0x8180, 1, 1, 0, 0) + question + answer
            self.dns.append(((query, word_sum(query)), (response, word_sum(response))))

        echo = bytes(range(56))
        self.echo = (echo, word_sum(echo))


class Writer:
    def __init__(self, out):
        self.out = out
        self.chunk = []
        self.seconds = START_SECONDS
        self.microseconds = 0
        self.ident = 0
        self.packets = 0
        self.counts = {"tcp": 0, "udp": 0, "icmp": 0}
        self.payload_bytes = 0
        self.frame_bytes = 0
        self.requests = 0

    def advance(self, rng):
        self.microseconds += rng.randint(1, 40)
        if self.microseconds >= 1_000_000:
            self.microseconds -= 1_000_000
            self.seconds += 1

    def ip_frame(self, src, dst, protocol, transport, outbound):
        if FAMILY["ipv6"]:
            self.ipv6_frame(src, dst, protocol, transport, outbound)
            return
        total = 20 + len(transport)
        self.ident = (self.ident + 1) & 0xFFFF
        checksum = fold(0x4500 + total + self.ident + 0x4000 + (64 << 8 | protocol)
                        + address_sum(src) + address_sum(dst))
        macs = (GATEWAY_MAC, CLIENT_MAC) if outbound else (CLIENT_MAC, GATEWAY_MAC)
        head = ETH_IP.pack(macs[0], macs[1], 0x0800, 0x45, 0, total, self.ident, 0x4000, 64,
                           protocol, checksum, src, dst)
        self.append(head, transport)

    def ipv6_frame(self, src, dst, protocol, transport, outbound):
        macs = (GATEWAY_MAC, CLIENT_MAC) if outbound else (CLIENT_MAC, GATEWAY_MAC)
        head = IPV6_HEAD.pack(macs[0], macs[1], 0x86DD, 0x60000000, len(transport),
                              58 if protocol == 1 else protocol, 64, IPV6_PREFIX + src,
                              IPV6_PREFIX + dst)
        self.append(head, transport)

    def append(self, head, transport):
        length = len(head) + len(transport)
        self.chunk.append(RECORD.pack(self.seconds, self.microseconds, length, length))
        self.chunk.append(head)
        self.chunk.append(transport)
        self.packets += 1
        self.frame_bytes += length
        if len(self.chunk) >= 30000:
            self.flush()

    def flush(self):
        self.out.write(b"".join(self.chunk))
        self.chunk.clear()


class Connection:
    """One TCP connection from a client port to a server port, cycling through its life."""

    def __init__(self, rng, client, server, client_port):
        self.client, self.server = client, server
        self.client_port, self.server_port = client_port, rng.choice([80, 80, 80, 443, 8080])
        self.rng = rng
        self.pseudo = address_sum(client) + address_sum(server) + 6 + 2 * FAMILY["prefix_sum"]
        self.queue = []
        self.reset()

    def reset(self):
        self.client_port = 32768 + (self.client_port - 32768 + 1) % 28000
        self.client_seq = self.rng.getrandbits(32)
        self.server_seq = self.rng.getrandbits(32)
        self.requests_left = self.rng.randint(*WEB["requests"])
        # (outbound?, flags, payload kind, payload length)
        self.queue = [(True, SYN, None, 0), (False, SYN | ACK, None, 0), (True, ACK, None, 0)]

    def plan_exchange(self, payloads):
        rng = self.rng
        index = rng.randrange(len(payloads.requests))
        steps = [(True, PSH | ACK, ("request", index), len(payloads.requests[index][0]))]
        remaining = rng.choice(WEB["sizes"])
        sent = 0
        while remaining > 0:
            size = min(MSS, remaining)
            remaining -= size
            flags = ACK | (PSH if remaining == 0 else 0)
            steps.append((False, flags, "data", size))
            sent += 1
            # Delayed ACKs: one per two segments, and one at the end of the response.
            if sent % 2 == 0 or remaining == 0:
                steps.append((True, ACK, None, 0))
        self.requests_left -= 1
        if self.requests_left == 0:
            steps += [(True, FIN | ACK, None, 0), (False, FIN | ACK, None, 0),
                      (True, ACK, None, 0)]
        self.queue = steps

    def emit(self, writer, payloads):
        if not self.queue:
            if self.requests_left == 0:
                self.reset()
            else:
                self.plan_exchange(payloads)
        outbound, flags, kind, size = self.queue.pop(0)
        if kind is None:
            body, body_sum = b"", 0
        elif kind == "data":
            body, body_sum = payloads.data[:size], payloads.prefix[size]
        else:
            body, body_sum = payloads.requests[kind[1]]
            writer.requests += 1
        if outbound:
            src, dst, sport, dport = self.client, self.server, self.client_port, self.server_port
            seq, ack = self.client_seq, self.server_seq
        else:
            src, dst, sport, dport = self.server, self.client, self.server_port, self.client_port
            seq, ack = self.server_seq, self.client_seq
        if flags == SYN:
            ack = 0
        offset_flags = (5 << 12) | flags
        window = 64240 if outbound else 65160
        length = 20 + size
        checksum = fold(self.pseudo + length + sport + dport + (seq >> 16) + (seq & 0xFFFF)
                        + (ack >> 16) + (ack & 0xFFFF) + offset_flags + window + body_sum)
        segment = TCP.pack(sport, dport, seq, ack, offset_flags, window, checksum, 0) + body
        advance = size + (1 if flags & (SYN | FIN) else 0)
        if outbound:
            self.client_seq = (self.client_seq + advance) & 0xFFFFFFFF
        else:
            self.server_seq = (self.server_seq + advance) & 0xFFFFFFFF
        writer.counts["tcp"] += 1
        writer.payload_bytes += size
        writer.ip_frame(src, dst, 6, segment, outbound)


def udp_datagram(writer, src, dst, sport, dport, body, body_sum):
    length = 8 + len(body)
    checksum = fold(address_sum(src) + address_sum(dst) + 2 * FAMILY["prefix_sum"] + 17 + length
                    + sport + dport + length + body_sum) or 0xFFFF
    writer.counts["udp"] += 1
    writer.payload_bytes += len(body)
    writer.ip_frame(src, dst, 17, UDP.pack(sport, dport, length, checksum) + body,
                    src[0] == 10)


def icmp_echo(writer, src, dst, kind, ident, sequence, payloads):
    body, body_sum = payloads.echo
    if FAMILY["ipv6"]:
        # ICMPv6 echo request and reply, whose checksum covers the pseudo-header too.
        kind = 128 if kind == 8 else 129
        length = ICMP_ECHO.size + len(body)
        checksum = fold((kind << 8) + ident + sequence + body_sum + address_sum(src)
                        + address_sum(dst) + 2 * FAMILY["prefix_sum"] + length + 58)
    else:
        checksum = fold((kind << 8) + ident + sequence + body_sum)
    writer.counts["icmp"] += 1
    writer.ip_frame(src, dst, 1, ICMP_ECHO.pack(kind, 0, checksum, ident, sequence) + body,
                    src[0] == 10)


def generate(out, packet_count, seed, method="GET"):
    rng = random.Random(seed)
    payloads = Payloads(rng, method)
    server_nets = [(192, 0, 2), (198, 51, 100), (203, 0, 113)]
    connections = []
    for i in range(200):
        client = bytes([10, 0, 0, 2 + i % 50])
        net = server_nets[i % 3]
        server = bytes(net + (10 + (i * 7) % 200,))
        connections.append(Connection(rng, client, server, 32768 + i * 113))
    resolver = bytes([192, 0, 2, 53])
    ping_target = bytes([198, 51, 100, 1])
    ping_source = bytes([10, 0, 0, 2])

    writer = Writer(out)
    out.write(PCAP_FILE_HEADER)
    dns_pending = None
    ping_sequence = 0
    ping_reply_due = False
    random_value = rng.random
    while writer.packets < packet_count:
        writer.advance(rng)
        draw = random_value()
        if dns_pending is not None:
            (sport, (response, response_sum)) = dns_pending
            udp_datagram(writer, resolver, connections[sport % 200].client, 53, sport, response,
                         response_sum)
            dns_pending = None
        elif ping_reply_due:
            icmp_echo(writer, ping_target, ping_source, 0, 0x5241, ping_sequence, payloads)
            ping_reply_due = False
        elif draw < 0.045:
            query, response = payloads.dns[rng.randrange(len(payloads.dns))]
            sport = rng.randint(33000, 60999)
            udp_datagram(writer, connections[sport % 200].client, resolver, sport, 53, *query)
            dns_pending = (sport, response)
        elif draw < 0.06:
            ping_sequence = (ping_sequence + 1) & 0xFFFF
            icmp_echo(writer, ping_source, ping_target, 8, 0x5241, ping_sequence, payloads)
            ping_reply_due = True
        else:
            connections[rng.randrange(200)].emit(writer, payloads)
    writer.flush()
    return writer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("output", nargs="?", default=os.path.join(here, "data", "replay-1m.pcap"))
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=20240101)
    parser.add_argument("--ipv6", action="store_true", help="the same traffic over IPv6")
    parser.add_argument("--web", action="store_true",
                        help="short responses: requests are about a tenth of the packets")
    parser.add_argument("--method", default="GET",
                        help="the requests' method; XET gives the same bytes, none recognisable")
    args = parser.parse_args()
    if len(args.method) != 3:
        parser.error("--method must be three letters, so that only the method's bytes change")
    if args.web:
        WEB.update(sizes=[MSS], requests=(1, 1))
    if args.ipv6:
        FAMILY["ipv6"] = True
        FAMILY["prefix_sum"] = 0x2001 + 0x0DB8

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    partial = args.output + ".partial"
    with open(partial, "wb") as out:
        writer = generate(out, args.packets, args.seed, args.method)
    os.replace(partial, args.output)

    totals = {
        "packets": writer.packets,
        "tcp": writer.counts["tcp"],
        "udp": writer.counts["udp"],
        "icmp": writer.counts["icmp"],
        "requests": writer.requests,
        "payload_bytes": writer.payload_bytes,
        "frame_bytes": writer.frame_bytes,
        "seed": args.seed,
    }
    with open(args.output + ".meta", "w") as meta:
        json.dump(totals, meta)
        meta.write("\n")
    print(" ".join("%s=%s" % item for item in totals.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
