#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/, deterministically.

Run from anywhere: python3 fuzz/make_corpus.py. Every file is rewritten; nothing is random, so
a second run leaves git with no change.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

CLIENT = bytes([127, 0, 0, 1])
SERVER = bytes([127, 0, 0, 1])
LAN_A = bytes([192, 168, 1, 20])
LAN_B = bytes([93, 184, 216, 34])


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(protocol, payload, src=CLIENT, dst=SERVER, ident=1, total=None, ihl=5, options=b"",
         flags_offset=0x4000):
    header_len = 20 + len(options)
    length = header_len + len(payload) if total is None else total
    header = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, length & 0xFFFF, ident, flags_offset,
                         64, protocol, 0, src, dst) + options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def tcp(sport, dport, seq, ack, flags, payload=b"", offset=5, options=b""):
    header = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, offset << 4, flags, 65495, 0, 0)
    return header + options + payload


def udp(sport, dport, payload, length=None):
    size = 8 + len(payload) if length is None else length
    return struct.pack("!HHHH", sport, dport, size & 0xFFFF, 0) + payload


SYN, ACK, PSH, FIN = 0x02, 0x10, 0x08, 0x01

V6_CLIENT = bytes(15) + b"\x01"
V6_SERVER = bytes.fromhex("20010db8000000000000000000000002")


def ipv6(next_header, payload, src=V6_CLIENT, dst=V6_SERVER, plen=None):
    length = len(payload) if plen is None else plen
    return struct.pack("!IHBB16s16s", 0x60000000, length & 0xFFFF, next_header, 64, src,
                       dst) + payload


def v6_ext(next_header, body_units=0):
    """Hop-by-hop, routing or destination options: 8 bytes per unit, padded with PadN."""
    return struct.pack("!BB", next_header, body_units) + b"\x01\x04" + bytes(4 + 8 * body_units)


def v6_fragment(next_header, offset_units, more=True, ident=7):
    return struct.pack("!BBHI", next_header, 0, offset_units << 3 | int(more), ident)

GET = (b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: curl/7.88.1\r\n"
       b"Accept: */*\r\n\r\n")
RESPONSE = (b"HTTP/1.0 200 OK\r\nServer: SimpleHTTP/0.6 Python/3.11.2\r\n"
            b"Content-type: text/html\r\nContent-Length: 13\r\n\r\n<html></html>")


def http_session():
    """A curl fetch from python3 -m http.server on 127.0.0.1:8000, frame by frame."""
    c, s = 40000, 8000
    return [
        ipv4(6, tcp(c, s, 1000, 0, SYN, offset=10,
                    options=b"\x02\x04\xff\xd7\x04\x02\x08\x0a\x00\x00\x00\x01\x00\x00\x00\x00"
                            b"\x01\x03\x03\x07"), ident=1),
        ipv4(6, tcp(s, c, 5000, 1001, SYN | ACK), ident=0),
        ipv4(6, tcp(c, s, 1001, 5001, ACK), ident=2),
        ipv4(6, tcp(c, s, 1001, 5001, PSH | ACK, GET), ident=3),
        ipv4(6, tcp(s, c, 5001, 1001 + len(GET), PSH | ACK, RESPONSE), ident=4),
        ipv4(6, tcp(c, s, 1001 + len(GET), 5001 + len(RESPONSE), FIN | ACK), ident=5),
    ]


def datagrams():
    session = http_session()
    get = session[3]
    dns = udp(53000, 53, b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                         b"\x07example\x03com\x00\x00\x01\x00\x01")
    files = {
        "session-syn": session[0],
        "session-synack": session[1],
        "session-ack": session[2],
        "session-get": get,
        "session-response": session[4],
        "session-fin": session[5],
        "udp-dns": ipv4(17, dns, LAN_A, LAN_B),
        "icmp-echo": ipv4(1, b"\x08\x00\xf7\xff\x00\x00\x00\x00" + b"abcdefgh", LAN_A, LAN_B),
        "post-proxy": ipv4(6, tcp(40001, 3128, 1, 1, PSH | ACK,
                                  b"POST http://example.com/form.php?x=1 HTTP/1.1\r\n"
                                  b"Host: example.com\r\nContent-Length: 3\r\n\r\nabc")),
        "connect": ipv4(6, tcp(40002, 3128, 1, 1, PSH | ACK,
                               b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n")),
        "get-png": ipv4(6, tcp(40003, 80, 1, 1, PSH | ACK,
                               b"GET /img/logo.png HTTP/1.1\r\nHost: h\r\n\r\n"), LAN_A, LAN_B),
        # Hostile ones: every length field lies.
        "bad-ihl-small": ipv4(6, tcp(1, 2, 0, 0, ACK, b"GET / HTTP/1.1\r\n"), ihl=2),
        "bad-ihl-large": ipv4(6, tcp(1, 2, 0, 0, ACK), ihl=15),
        "huge-total-length": ipv4(6, tcp(1, 2, 0, 0, PSH, GET), total=0xFFFF),
        "short-total-length": ipv4(6, tcp(1, 2, 0, 0, PSH, GET), total=21),
        # The second fragment of a UDP datagram, whose bytes spell a request.
        "later-fragment": ipv4(17, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", flags_offset=157),
        # Captured before segmentation offload: the total length is 0.
        "offloaded-total-length-0": ipv4(6, tcp(1, 2, 0, 0, PSH, GET), total=0),
        "tcp-offset-15": ipv4(6, tcp(1, 2, 0, 0, PSH, b"GET /a.js HTTP/1.1\r\nHost: x\r\n", offset=15)),
        "tcp-offset-0": ipv4(6, tcp(1, 2, 0, 0, PSH, GET, offset=0)),
        "udp-length-ffff": ipv4(17, udp(1, 2, b"payload", length=0xFFFF)),
        "udp-length-0": ipv4(17, udp(1, 2, b"payload", length=0)),
        "twenty-bytes": ipv4(6, b""),
        "truncated-tcp": ipv4(6, tcp(1, 2, 0, 0, ACK))[:30],
        "truncated-udp": ipv4(17, udp(1, 2, b"x"))[:25],
        "nineteen-bytes": ipv4(6, b"")[:19],
        "ip-options": ipv4(17, udp(5, 6, b"hello"), ihl=7, options=b"\x01" * 8),
        "zero-in-request": ipv4(6, tcp(1, 2, 0, 0, PSH, b"GET /a.html HTTP/1.1\r\n\0Host: z\r\n")),
        "ipv6-version": b"\x60" + get[1:],
        "ipv6-get": ipv6(6, tcp(40004, 8080, 1, 1, PSH | ACK,
                               b"GET /v6.html HTTP/1.1\r\nHost: [2001:db8::2]:8080\r\n\r\n")),
        "ipv6-udp": ipv6(17, udp(53001, 53, b"\x12\x34\x01\x00")),
        "ipv6-icmp": ipv6(58, b"\x80\x00\x00\x00\x00\x01\x00\x01abcdefgh"),
        "ipv6-chain": ipv6(0, v6_ext(43) + v6_ext(60, 1) + v6_ext(6) + tcp(1, 80, 0, 0, SYN)),
        "ipv6-ah-esp": ipv6(51, struct.pack("!BBH", 50, 4, 0) + bytes(20) + b"espdata"),
        "ipv6-first-fragment": ipv6(44, v6_fragment(17, 0) + udp(5, 6, b"x" * 40, 200)),
        "ipv6-later-fragment": ipv6(44, v6_fragment(17, 6, False) + b"GET / HTTP/1.1\r\n"),
        "ipv6-nine-headers": ipv6(60, b"".join(v6_ext(60) for _ in range(8)) + v6_ext(6) +
                                  tcp(1, 2, 0, 0, ACK)),
        "ipv6-chain-cut": ipv6(0, v6_ext(43, 3))[:60],
        "ipv6-plen-0": ipv6(6, tcp(1, 2, 0, 0, PSH, GET), plen=0),
        "ipv6-plen-huge": ipv6(17, udp(1, 2, b"abc"), plen=0xFFFF),
        "ipv6-thirty-nine-bytes": ipv6(59, b"")[:39],
    }
    return files


def http_requests():
    return {
        "get": GET,
        "get-query": b"GET /dir/file.tar.gz?x=1.y HTTP/1.1\r\nHost: example.com\r\n\r\n",
        "proxy": b"GET http://example.com/a/b.css HTTP/1.1\r\nHost: example.com\r\n\r\n",
        "proxy-upper-scheme": b"GET HTTP://example.test/p.js HTTP/1.1\r\nHost: example.test\r\n\r\n",
        "proxy-https": b"POST  https://example.test/f.php?u=http://x  HTTP/1.1\r\nHost: example.test\r\n\r\n",
        "connect": b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
        "post": b"POST /submit HTTP/1.1\r\nHost:  spaced.example  \r\nContent-Length: 0\r\n\r\n",
        "no-crlf": b"GET /index.html HTTP/1.1\nHost: example.com\n\n",
        "no-host": b"HEAD /x.y HTTP/1.0\r\nAccept: */*\r\n\r\n",
        "zero-byte": b"GET /a.html HTTP/1.1\r\n\0Host: example.com\r\n\r\n",
        "lower-case": b"get /a.html HTTP/1.1\r\nHost: example.com\r\n\r\n",
        "dot-end": b"OPTIONS /dir/name. HTTP/1.1\r\nHost: h\r\n\r\n",
        "short": b"GET / HTTP/1.1\r\n",
        "methods": b"DELETE /x TRACE PUT /y HTTP/1.1\r\nHost: a\r\nHost: b\r\n",
    }


def ini_files():
    return {
        "normal.ini": (b"[Options]\nAdapter=eth0\nWidth=800\n\n[HighLightExtension]\n"
                       b"Ext[0]=FF0000,html,htm,\nExt[1]=00FF00,js,\n"),
        "windows.ini": b"; comment\r\n[options]\r\nwidth = \"1024\"\r\nWIDTH=5\r\n",
        "quotes.ini": b"[Options]\nAdapter='eth 0'\nWidth=-12\nEmpty=\n=novalue\nnokey\n",
        "duplicate-sections.ini": b"[Options]\na=1\n[Other]\nx=y\n[options]\nwidth=3\n",
        "odd-sections.ini": b"[Options\n[]\n[ Options ]]\nWidth=12345678901234567890\n[",
        "long-value.ini": b"[Options]\nAdapter=" + b"x" * 1500 + b"\n",
        "binary.ini": b"\0\xff[Options]\0\nWidth=1\0 2\n\r\r\n#Width=4\n",
        "empty.ini": b"",
    }


def extension_sections():
    return {
        "html": b"html\nExt[0]=FF0000,html,htm,\nExt[1]=00FF00,js,\n",
        "second-key": b"js\nExt[0]=FF0000,html,\nExt[1]=00FF00,js,css,\n",
        "gap": b"css\nExt[0]=FF0000,html,\nExt[2]=00FF00,css,\n",
        "prefix-hex": b"txt\nExt[0]= 0x1234,txt,\nExt[1]=-1,js,\n",
        "saturate": b"png\nExt[0]=FFFFFFFFFF,png,\n",
        "no-comma": b"gif\nExt[0]=123456gif\n",
        "case": b"HTML\next[0]=ABCDEF,html,\nEXT[1]=FEDCBA,HTML,\n",
        "empty-extension": b"\nExt[0]=010203,,\n",
        "quoted": b"jpg\nExt[0]=\"0000FF,jpg,\"\nExt[1]=\n",
        "many": b"z\n" + b"".join(b"Ext[%d]=%06X,e%d,\n" % (i, i * 997, i) for i in range(100))
                + b"Ext[100]=FFFFFF,z,\n",
    }


# Capture files.

DLT_NULL, DLT_EN10MB, DLT_RAW, DLT_LOOP, DLT_LINUX_SLL, DLT_IPV4, DLT_LINUX_SLL2 = \
    0, 1, 101, 108, 113, 228, 276
DLT_PPP = 9
DLT_IPV6 = 229


def frame(link_type, datagram, tags=0, ipv6=False):
    ether_type = 0x86DD if ipv6 else 0x0800
    family = 24 if ipv6 else 2
    if link_type == DLT_EN10MB:
        header = b"\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb"
        for i in range(tags):
            header += struct.pack("!HH", 0x8100 if i else 0x88A8, 100 + i)
        return header + struct.pack("!H", ether_type) + datagram + b"\0" * 6  # with padding
    if link_type == DLT_LINUX_SLL:
        return struct.pack("!HHH8sH", 0, 772, 6, b"\0" * 8, ether_type) + datagram
    if link_type == DLT_LINUX_SLL2:
        return struct.pack("!HHIHBB8s", ether_type, 0, 1, 772, 0, 6, b"\0" * 8) + datagram
    if link_type == DLT_NULL:
        return struct.pack("<I", family) + datagram
    if link_type == DLT_LOOP:
        return struct.pack("!I", family) + datagram
    return datagram


def pcap(link_type, frames, big_endian=False, nanoseconds=False, snaplen=65535):
    order = ">" if big_endian else "<"
    magic = 0xA1B23C4D if nanoseconds else 0xA1B2C3D4
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, snaplen, link_type)
    for i, data in enumerate(frames):
        captured = data[:snaplen]
        fraction = i * 1000 + (999999999 if nanoseconds and i == 1 else 0)
        out += struct.pack(order + "IIII", 1700000000 + i, fraction, len(captured), len(data))
        out += captured
    return out


def pcapng_block(block_type, body, order="<"):
    body += b"\0" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack(order + "II", block_type, length) + body + struct.pack(order + "I", length)


def pcapng_options(options, order="<"):
    out = b""
    for code, value in options:
        out += struct.pack(order + "HH", code, len(value)) + value + b"\0" * (-len(value) % 4)
    return out + struct.pack(order + "HH", 0, 0) if options else b""


def pcapng_section(order="<", application=b""):
    options = pcapng_options([(4, application)] if application else [], order)
    return pcapng_block(0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1) + options,
                        order)


def pcapng_interface(link_type, snaplen=0, options=(), order="<"):
    return pcapng_block(1, struct.pack(order + "HHI", link_type, 0, snaplen) +
                        pcapng_options(list(options), order), order)


def pcapng_packet(interface, ticks, data, original=None, comments=(), order="<", obsolete=False):
    head = (struct.pack(order + "HH", interface, 0) if obsolete
            else struct.pack(order + "I", interface))
    body = head + struct.pack(order + "IIII", ticks >> 32, ticks & 0xFFFFFFFF, len(data),
                              len(data) if original is None else original)
    body += data + b"\0" * (-len(data) % 4)
    body += pcapng_options([(1, comment) for comment in comments], order)
    return pcapng_block(2 if obsolete else 6, body, order)


def pcapng(link_types, frames):
    out = pcapng_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    for link_type in link_types:
        # if_tsresol option 9: microseconds.
        options = struct.pack("<HHB3x", 9, 1, 6) + struct.pack("<HH", 0, 0)
        out += pcapng_block(1, struct.pack("<HHI", link_type, 0, 65535) + options)
    for i, (interface, data) in enumerate(frames):
        stamp = (1700000000 + i) * 1000000
        out += pcapng_block(6, struct.pack("<IIIII", interface, stamp >> 32, stamp & 0xFFFFFFFF,
                                           len(data), len(data)) + data)
    return out


def capture_files():
    session = http_session()
    few = session[2:5]
    files = {}
    for name, link_type in [("en10mb", DLT_EN10MB), ("sll", DLT_LINUX_SLL),
                            ("sll2", DLT_LINUX_SLL2), ("null", DLT_NULL), ("loop", DLT_LOOP),
                            ("raw", DLT_RAW), ("ipv4", DLT_IPV4)]:
        files[name + ".pcap"] = pcap(link_type, [frame(link_type, d) for d in few])
    files["vlan-qinq.pcap"] = pcap(DLT_EN10MB, [frame(DLT_EN10MB, d, tags=2) for d in few])
    v6 = [d for name, d in sorted(datagrams().items()) if name.startswith("ipv6-")]
    for name, link_type in [("en10mb", DLT_EN10MB), ("sll", DLT_LINUX_SLL),
                            ("sll2", DLT_LINUX_SLL2), ("null", DLT_NULL), ("loop", DLT_LOOP),
                            ("raw", DLT_RAW), ("ipv6", DLT_IPV6)]:
        files["ipv6-" + name + ".pcap"] = pcap(link_type, [frame(link_type, d, ipv6=True)
                                                           for d in v6])
    files["big-endian-nsec.pcap"] = pcap(DLT_EN10MB, [frame(DLT_EN10MB, d) for d in few],
                                         big_endian=True, nanoseconds=True)
    files["snaplen-60.pcap"] = pcap(DLT_EN10MB, [frame(DLT_EN10MB, d) for d in few], snaplen=60)
    files["unsupported-ppp.pcap"] = pcap(DLT_PPP, [b"\xff\x03\x00\x21" + d for d in few])
    files["truncated.pcap"] = pcap(DLT_RAW, few)[:-17]
    files["header-only.pcap"] = pcap(DLT_RAW, [])
    files["two-interfaces.pcapng"] = pcapng(
        [DLT_EN10MB, DLT_EN10MB],
        [(0, frame(DLT_EN10MB, few[0])), (1, frame(DLT_EN10MB, few[1], tags=1))])
    files["mixed-link-types.pcapng"] = pcapng(
        [DLT_EN10MB, DLT_RAW],
        [(0, frame(DLT_EN10MB, few[0])), (1, few[1]), (0, frame(DLT_EN10MB, few[2]))])
    files["sll2.pcapng"] = pcapng([DLT_LINUX_SLL2], [(0, frame(DLT_LINUX_SLL2, d)) for d in few])
    # As Ravelin saves a capture: one interface per link type, owners in packet comments.
    owners = (pcapng_section(application=b"Ravelin") + pcapng_interface(DLT_RAW, 262144) +
              pcapng_interface(DLT_EN10MB, 262144) +
              pcapng_packet(0, 1700000000000001, few[0], comments=[b"pid=1234 name=curl"]) +
              pcapng_packet(1, 1700000000999999, frame(DLT_EN10MB, few[1]),
                            comments=[b"pid=77 name=my prog with spaces"]) +
              pcapng_packet(0, 1700000001000000, few[2][:30], original=len(few[2]),
                            comments=[b"a note", b"pid=-1 name=x"]))
    files["ravelin-owners.pcapng"] = owners
    files["truncated-owners.pcapng"] = owners[:-10]
    # A big-endian section with nanosecond and 2^-20 time stamps, an unknown block, simple and
    # obsolete packet blocks, then a little-endian section whose interface 0 is Ethernet.
    be = ">"
    files["big-endian-sections.pcapng"] = (
        pcapng_section(be) +
        pcapng_interface(DLT_RAW, 40, [(9, b"\x09")], be) +
        pcapng_interface(DLT_LINUX_SLL, 0, [(9, b"\x94"), (14, struct.pack(">q", 10))], be) +
        pcapng_block(0x0BAD, b"\xff" * 9, be) +
        pcapng_packet(0, 1700000000123456789, few[0], comments=[b"pid=9 name=x"], order=be) +
        pcapng_packet(1, (1700000001 << 20) + (1 << 19), frame(DLT_LINUX_SLL, few[1]), order=be,
                      obsolete=True) +
        pcapng_block(3, struct.pack(">I", len(few[2])) + few[2][:40], be) +
        pcapng_section() + pcapng_interface(DLT_EN10MB) +
        pcapng_packet(0, 5, frame(DLT_EN10MB, few[0])))
    files["not-a-capture"] = b"this is not a capture file\n"
    return files


def client_hello(host=b"example.com", version=0x0303, extensions=True, key_share=36):
    """A ClientHello handshake message: TLS 1.3's extensions, the server name unless empty."""
    body = struct.pack("!H", version) + bytes(range(32)) + b"\x20" + bytes(32)
    body += struct.pack("!H", 6) + b"\x13\x01\x13\x02\xc0\x2f" + b"\x01\x00"
    if extensions:
        block = b""
        if host:
            names = b"\x00" + struct.pack("!H", len(host)) + host
            block += struct.pack("!HH", 0, len(names) + 2) + struct.pack("!H", len(names)) + names
        block += struct.pack("!HH", 43, 3) + b"\x02\x03\x04"
        block += struct.pack("!HH", 51, key_share) + bytes(i * 7 & 0xFF for i in range(key_share))
        body += struct.pack("!H", len(block)) + block
    return b"\x01" + struct.pack("!I", len(body))[1:] + body


def records(message, fragment=16384, version=0x0301):
    out = b""
    for at in range(0, len(message), fragment):
        piece = message[at:at + fragment]
        out += struct.pack("!BHH", 22, version, len(piece)) + piece
    return out


def client_hello_streams():
    """ClientHelloFuzzer: segment size, flags (see the target), then the stream."""
    modern = records(client_hello())
    large = records(client_hello(b"pq.example", key_share=1250))
    return {
        "whole": b"\x00\x00" + modern,
        "segments-40-duplicated": b"\x28\x01" + modern,
        "segments-of-one-syn-duplicated": b"\x01\x05" + modern,
        "two-connections": b"\x64\x08" + large,
        "records-of-100-syn": b"\x00\x04" + records(client_hello(b"r.example"), 100),
        "silence": b"\x50\x02" + modern,
        "no-name": b"\x00\x00" + records(client_hello(b"")),
        "tls10-no-extensions": b"\x00\x00" + records(
            client_hello(version=0x0301, extensions=False), version=0x0300),
        "server-hello": b"\x00\x00" + b"\x16\x03\x03\x00\x04\x02\x00\x00\x00",
        "server-hello-cut": b"\x00\x00" + b"\x16\x03\x03\x00\x04\x02\x00\x00",
        "alert": b"\x00\x00" + b"\x15\x03\x03\x00\x02\x02\x28",
    }


def varint(value):
    if value < 0x40:
        return bytes([value])
    if value < 0x4000:
        return struct.pack("!H", 0x4000 | value)
    return struct.pack("!I", 0x80000000 | value)


def crypto(offset, data):
    return b"\x06" + varint(offset) + varint(len(data)) + data


def coalesced(first, second):
    """Mode 3: the first packet's frames padded to a multiple of 32 bytes, where the split falls."""
    first += bytes(-len(first) % 32)
    return b"\x03" + bytes([len(first) // 32]) + first + second


def quic_inputs():
    """QuicInitialFuzzer: mode, split, then a payload (mode 0) or frames to seal (1 to 3)."""
    hello = client_hello()
    large = client_hello(b"pq.example", key_share=1250)
    ack = b"\x02\x05\x00\x01\x00\x01\x02"
    long_header = (b"\xc3\x00\x00\x00\x01\x08" + bytes(range(8)) + b"\x00\x00\x44\x9e"
                   + bytes(1182))
    handshake_v2 = b"\xf3\x6b\x33\x43\xcf\x08" + bytes(8) + b"\x00\x40\x10" + bytes(16)
    return {
        "v1-crypto": b"\x01\x00" + crypto(0, hello),
        "v2-crypto": b"\x02\x00" + crypto(0, hello),
        "v1-ack-ping-crypto": b"\x01\x07" + ack + b"\x01" + crypto(0, hello) + b"\x00" * 8,
        "coalesced-out-of-order": coalesced(crypto(900, large[900:]), crypto(0, large[:900])),
        "close": b"\x01\x00" + b"\x1c\x01\x06\x02no",
        "raw-long-header": b"\x00\x00" + long_header,
        "raw-coalesced": b"\x00\x00" + handshake_v2 + long_header,
        "raw-short-header": b"\x00\x00" + b"\x43" + bytes(40),
    }


def stream_record(kind, payload):
    return struct.pack("<II", kind, len(payload)) + payload


def socket_event(kind=1, protocol=6, family=2, pid=4242, name=b"curl"):
    addresses = struct.pack("<4s12x", CLIENT) + struct.pack("<4s12x", SERVER)
    if family == 10:
        addresses = V6_CLIENT + V6_SERVER
    return struct.pack("<BBHHH", kind, protocol, 40000, 80, family) + addresses + \
        struct.pack("<I", pid) + name.ljust(16, b"\0")


def capture_streams():
    """What the capture helper streams to Ravelin: set-up, frames, events, SYNs, counts."""
    steps = b"".join(stream_record(2, struct.pack("<IBi", step, 0, 0)) for step in range(4))
    set_up = stream_record(1, struct.pack("<I", 1)) + steps + stream_record(3, struct.pack("<i", 113))
    datagram = ipv4(17, udp(40000, 53, b"query"))
    frame = stream_record(4, struct.pack("<qiI", 1700000000, 5, len(datagram) + 16) +
                          b"\0\0\0\1\0\6" + bytes(8) + b"\x08\0" + datagram)
    syn = stream_record(6, ipv4(6, tcp(40000, 80, 1, 0, 0x02)))
    events = stream_record(5, socket_event()) + stream_record(5, socket_event(family=10)) + \
        stream_record(5, socket_event(kind=2, protocol=17, name=b"sixteen-letters!"))
    counts = stream_record(7, struct.pack("<QQ", 54000, 12))
    failed = stream_record(8, struct.pack("<i", -1) + b"The interface went down")
    whole = set_up + events + syn + frame + frame + counts
    return {
        "set-up": set_up,
        "capture": whole,
        "failed-step": stream_record(2, struct.pack("<IBi", 2, 1, -8) + b"permission denied"),
        "no-events": stream_record(1, struct.pack("<I", 0) + b"kernel has no BTF"),
        "failure": whole + failed,
        "cut-short": whole[:-7],
        "unknown-type": whole + stream_record(99, b"x"),
        "too-long": struct.pack("<II", 4, 0x7FFFFFFF) + bytes(32),
        "short-payloads": b"".join(stream_record(kind, b"\1") for kind in range(1, 9)),
    }


def write(target, files):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


def main():
    write("DatagramFuzzer", datagrams())
    write("HttpFuzzer", http_requests())
    write("IniFuzzer", ini_files())
    write("ExtensionColourFuzzer", extension_sections())
    write("CaptureFileFuzzer", capture_files())
    write("ClientHelloFuzzer", client_hello_streams())
    write("QuicInitialFuzzer", quic_inputs())
    write("CaptureStreamFuzzer", capture_streams())


if __name__ == "__main__":
    main()
