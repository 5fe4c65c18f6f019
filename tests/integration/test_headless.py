"""End-to-end tests of ravelin's headless mode against curl, http.server, tcpdump and tshark.

All traffic stays on loopback. Live capture and recording need CAP_NET_RAW (root in CI).
"""
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, PROTOCOL_NAMES, RAVELIN_ENV, RECEIVED, SENT, Child,
                             HttpServer, curl, curl_exchange, is_root, maps_packet_ring,
                             missing_tools, parse_packet_lines, preview_text, quiet_udp_port,
                             ravelin_binary, ravelin_command, read_pcap, relink_ethernet_pcap,
                             run_ravelin, send_until_listed, tshark_frames, utc_clock_text,
                             wait_until, wait_until_recorded, write_pcap)

NEEDS_ROOT = "live capture on lo needs CAP_NET_RAW; run as root"
# A page whose bytes need every kind of escape, with zeros that the preview blanks.
PAGE = b"tab\there\\back\r\nzero\x00\x00end\x01\x1f\x7f\x80\xff caf\xc3\xa9 " * 8
ODD_BYTES = bytes(range(256))


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def complete_lines(text):
    return parse_packet_lines(text[:text.rfind("\n") + 1])


class LiveCaptureTest(unittest.TestCase):
    def setUp(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        if missing_tools("curl"):
            self.skipTest("curl is not installed")
        self.files = {"file-a.txt": PAGE, "file-b.bin": random.Random(7).randbytes(5000),
                      "file-c.bin": random.Random(8).randbytes(150_000), "probe": b"ok"}
        self.server = HttpServer(self.files)
        self.addCleanup(self.server.close)

    def test_curl_fetches_are_listed_live(self):
        port = str(self.server.port)
        started = time.time()
        # --duration only bounds a run that the SIGINT below failed to end.
        ravelin = Child([*ravelin_command("--print", "packets", "--bind", "127.0.0.1"),
                         "--duration", str(5 * DEADLINE)], env=RAVELIN_ENV)
        self.addCleanup(ravelin.close)

        # Capturing has begun once a probe request comes back as a row; until then, probe again.
        def probe_listed():
            curl("-o", os.devnull, self.server.url("probe"))
            try:
                ravelin.wait_for(lambda out, err: "GET /probe " in out, 1, "the probe row")
                return True
            except AssertionError:
                self.assertIsNone(ravelin.proc.poll(), f"ravelin ended: {bytes(ravelin.err)!r}")
                return False
        wait_until(probe_listed, DEADLINE, "ravelin to list a probe request")

        names = ["file-a.txt", "file-b.bin", "file-c.bin"]
        exchanges = {name: curl_exchange(self.server.url(name)) for name in names}

        def connections(rows):
            """Rows of each fetch, keyed by file name, found through the client port of its GET."""
            found = {}
            for row in rows:
                match = re.match(r"GET /(\S+) ", row.data)
                if row.destination_port == port and match and match.group(1) in names:
                    client = row.source_port
                    found[match.group(1)] = [r for r in rows if r.protocol == "TCP" and
                                             {r.source_port, r.destination_port} == {port, client}]
            return found

        def responses_complete(out, err):
            conns = connections(complete_lines(out))
            return len(conns) == len(names) and all(
                sum(r.length for r in conns[n] if r.source_port == port) ==
                len(exchanges[n][1]) + len(self.files[n]) for n in names)
        ravelin.wait_for(responses_complete, DEADLINE, "every response byte to be listed")

        self.assertEqual(ravelin.stop(signal.SIGINT), 0, bytes(ravelin.err))
        ended = time.time()
        rows = parse_packet_lines(ravelin.out.decode("ascii"))
        self.assertEqual([r.serial for r in rows], list(range(1, len(rows) + 1)))
        # Other loopback traffic may be listed too; its direction must follow its source.
        for row in rows:
            self.assertEqual(row.colour, SENT if row.source == "127.0.0.1" else RECEIVED, row)
        seconds = {utc_clock_text(t) for t in range(int(started) - 1, int(ended) + 2)}
        for name, conn in connections(rows).items():
            with self.subTest(name):
                request = exchanges[name][0]
                client = next(r.source_port for r in conn if r.destination_port == port)
                opening = [(r.source_port, r.destination_port, r.length) for r in conn[:3]]
                self.assertEqual(opening, [(client, port, 0), (port, client, 0),
                                           (client, port, 0)], "handshake")
                get = [r for r in conn if r.data.startswith("GET /file")]
                self.assertEqual(len(get), 1)
                self.assertEqual(get[0].length, len(request))
                self.assertEqual(get[0].data, preview_text(request))
                for row in conn:
                    self.assertEqual((row.source, row.destination, row.colour),
                                     ("127.0.0.1", "127.0.0.1", SENT))
                    self.assertIn(row.time, seconds)
        # http.server writes the headers, then the body, so the body opens a segment.
        page_rows = connections(rows)["file-a.txt"]
        self.assertIn(preview_text(PAGE), [r.data for r in page_rows])

    def test_the_first_datagram_of_a_quiet_loopback_is_listed(self):
        # The capture's first ring block once went through a second, user-space pass of the
        # filter, which could not tell directions and dropped everything in it; on a quiet
        # link that block holds the first datagrams. Each start is a new chance to lose them.
        port = quiet_udp_port()
        for start in range(3):
            with self.subTest(start=start):
                ravelin = Child([*ravelin_command("--print", "packets", "--bind", "127.0.0.1"),
                                 "--duration", str(5 * DEADLINE)], env=RAVELIN_ENV)
                self.addCleanup(ravelin.close)
                wait_until(lambda: maps_packet_ring(ravelin.proc.pid) or
                           ravelin.proc.poll() is not None, DEADLINE, "ravelin to open its capture")
                marker = f"first-datagram-{start}".encode()
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                    sender.sendto(marker, ("127.0.0.1", port))
                ravelin.wait_for(lambda out, err: marker.decode() in out, DEADLINE,
                                 "the one datagram to be listed")
                self.assertEqual(ravelin.stop(signal.SIGINT), 0, bytes(ravelin.err))

    def test_unknown_bind_address_fails(self):
        # 192.0.2.77 (TEST-NET-1) is on no interface; nothing is ever sent to it.
        code, out, err = run_ravelin("--print", "packets", "--bind", "192.0.2.77")
        self.assertEqual(code, 1)
        self.assertIn("bind 绑定套接字失败\nError code: 99", err)
        self.assertEqual(out, "")


class RecordedCaptureTest(unittest.TestCase):
    """Traffic recorded on lo by tcpdump once, then replayed by ravelin and read by tshark."""
    MARKER = b"ravelin-test-end-of-traffic"

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest(NEEDS_ROOT + " (for tcpdump)")
        missing = missing_tools("curl", "tcpdump", "tshark", "editcap")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-cap-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        server = HttpServer({"page.txt": PAGE, "big.bin": random.Random(9).randbytes(150_000)})
        cls.addClassCleanup(server.close)
        echo = cls._udp_socket("127.0.0.1")
        client = cls._udp_socket("127.0.0.2")  # another loopback address: a second direction
        unused = cls._udp_socket("127.0.0.1")
        unused_port = unused.getsockname()[1]
        unused.close()  # datagrams to it now draw ICMP port-unreachable errors
        cls.capture = cls.tmp / "lo.pcap"
        recorder = Child(["tcpdump", "-i", "lo", "-n", "-U", "-w", str(cls.capture),
                          f"tcp port {server.port} or udp port {echo.getsockname()[1]} or "
                          f"udp port {unused_port} or icmp"])
        cls.addClassCleanup(recorder.close)
        recorder.wait_for(lambda out, err: "listening on" in err, DEADLINE, "tcpdump to listen")

        curl("-o", os.devnull, server.url("page.txt?x=1&y=two%20words"))
        curl("-o", os.devnull, "--interface", "127.0.0.2", server.url("big.bin"))
        curl("-I", server.url("big.bin?q=head"))
        body = (ODD_BYTES * 12)[:3000]
        (cls.tmp / "body").write_bytes(body)
        # http.server answers POST with 501 and closes; how curl takes that does not matter here.
        subprocess.run(["curl", "-sS", "--max-time", "20", "-o", os.devnull, "--data-binary",
                        f"@{cls.tmp / 'body'}", server.url("page.txt")], capture_output=True,
                       timeout=30)
        # A connected socket learns of the ICMP port-unreachable error, so once recv fails the
        # error has passed the capture point.
        refused = cls._udp_socket("127.0.0.2")
        refused.connect(("127.0.0.1", unused_port))
        refused.send(b"nobody listens here")
        try:
            refused.recv(100)
            raise AssertionError("an answer came from a port nobody listens on")
        except ConnectionRefusedError:
            pass
        # Empty, small, every byte value, and the largest datagram IPv4 can carry.
        largest = (ODD_BYTES[::-1] * 256)[:65507]
        for payload in [b"", b"hello", ODD_BYTES, largest, cls.MARKER]:
            client.sendto(payload, echo.getsockname())
            data, peer = echo.recvfrom(65536)
            echo.sendto(data, peer)
            client.recvfrom(65536)
        wait_until_recorded(cls.capture, cls.MARKER, 2, "the last datagram")
        recorder.stop(signal.SIGINT)
        cls.frames = tshark_frames(cls.capture)
        code, out, err = run_ravelin("--print", "packets", "--read", str(cls.capture))
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.rows = parse_packet_lines(out)

    @classmethod
    def _udp_socket(cls, address):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.addClassCleanup(sock.close)
        sock.settimeout(10)
        sock.bind((address, 0))
        return sock

    def test_every_frame_matches_tshark(self):
        self.assertEqual(len(self.rows), len(self.frames))
        self.assertGreater(len(self.rows), 40)
        seen = set()
        for row, frame in zip(self.rows, self.frames):
            with self.subTest(frame=frame["frame.number"]):
                proto = int(frame["ip.proto"])
                seen.add(proto)
                self.assertEqual(row.serial, int(frame["frame.number"]))
                self.assertEqual((row.protocol, row.source, row.destination),
                                 (PROTOCOL_NAMES[proto], frame["ip.src"], frame["ip.dst"]))
                if proto == 6:
                    ports, length = ("tcp.srcport", "tcp.dstport"), int(frame["tcp.len"])
                elif proto == 17:
                    ports, length = ("udp.srcport", "udp.dstport"), int(frame["udp.length"]) - 8
                else:
                    # Beyond TCP and UDP the whole datagram is the data; tshark's port fields
                    # would come from the datagram an ICMP error quotes, which has no ports here.
                    ports, length = (), int(frame["ip.len"])
                self.assertEqual((row.source_port, row.destination_port),
                                 tuple(frame[p] for p in ports) or ("", ""))
                self.assertEqual(row.length, length)
                if proto in (6, 17):
                    payload = bytes.fromhex(frame["tcp.payload" if proto == 6 else "udp.payload"])
                    self.assertEqual(len(payload), length)
                    self.assertEqual(row.data, preview_text(payload))
        self.assertTrue({1, 6, 17} <= seen, f"protocols recorded: {seen}")
        self.assertTrue(any(r.data.startswith("POST /page.txt ") and r.length > 3000
                            for r in self.rows))
        self.assertTrue(any(r.data.startswith("HEAD /big.bin?q=head ") for r in self.rows))

    def test_time_column_is_capture_time_in_utc(self):
        expected = [utc_clock_text(int(f["frame.time_epoch"].split(".")[0])) for f in self.frames]
        self.assertEqual([r.time for r in self.rows], expected)

    def test_bind_address_sets_direction_colour(self):
        # Files default to 0.0.0.0, and a file's packets were captured elsewhere: this host's
        # addresses do not make them sent.
        self.assertEqual({r.colour for r in self.rows}, {RECEIVED})
        for bound in ("127.0.0.1", "127.0.0.2"):
            code, out, err = run_ravelin("--print", "packets", "--read", str(self.capture),
                                         "--bind", bound)
            self.assertEqual(code, 0, err)
            rows = parse_packet_lines(out)
            self.assertEqual([r[:9] for r in rows], [r[:9] for r in self.rows])
            self.assertEqual([r.colour for r in rows],
                             [SENT if r.source == bound else RECEIVED for r in rows])
            self.assertEqual({r.colour for r in rows}, {SENT, RECEIVED})

    def test_summary_counts_every_frame(self):
        code, out, err = run_ravelin("--print", "summary", "--read", str(self.capture))
        self.assertEqual(code, 0, err)
        match = re.fullmatch(r"packets=(\d+) http=(\d+) seconds=(\d+\.\d{3})\n", out)
        self.assertIsNotNone(match, out)
        self.assertEqual(int(match.group(1)), len(self.frames))
        self.assertLess(float(match.group(3)), 60)

    def test_count_stops_after_n_rows(self):
        code, out, err = run_ravelin("--print", "packets", "--print", "summary", "--count", "3",
                                     "--read", str(self.capture))
        self.assertEqual(code, 0, err)
        lines = out.splitlines(keepends=True)
        self.assertEqual(len(lines), 4, out)
        self.assertEqual(parse_packet_lines("".join(lines[:3])), self.rows[:3])
        self.assertRegex(lines[3], r"^packets=3 http=\d+ seconds=\d+\.\d{3}\n$")

    def test_every_link_layer_and_pcapng_give_the_same_rows(self):
        arp = (0, 0, 42, b"\xff" * 6 + b"\x02" * 6 + b"\x08\x06" + bytes(28))  # skipped: no IPv4
        variants = {
            "raw": (101, lambda f: b"", "<", ()),
            "cooked": (113, lambda f: bytes.fromhex("0000 0304 0006") + bytes(8) + b"\x08\x00",
                       "<", ()),
            "cooked2": (276, lambda f: bytes.fromhex("0800 0000 00000001 0304 00 06") + bytes(8),
                        "<", ()),
            "bsd-little": (0, lambda f: b"\x02\x00\x00\x00", "<", ()),
            "bsd-big": (0, lambda f: b"\x00\x00\x00\x02", ">", ()),
            # 802.1ad outer tag around an 802.1Q tag, after an ARP frame that is not listed.
            "qinq": (1, lambda f: f[:12] + bytes.fromhex("88a8 0064 8100 002a") + f[12:14], "<",
                     [arp]),
        }
        paths = {}
        for name, (link_type, header, endian, prepend) in variants.items():
            paths[name] = self.tmp / f"{name}.pcap"
            relink_ethernet_pcap(self.capture, paths[name], link_type, header, endian, prepend)
        paths["pcapng"] = self.tmp / "lo.pcapng"
        subprocess.run(["editcap", "-F", "pcapng", str(self.capture), str(paths["pcapng"])],
                       check=True, capture_output=True, timeout=60)
        for name, path in paths.items():
            with self.subTest(name):
                code, out, err = run_ravelin("--print", "packets", "--read", str(path))
                self.assertEqual(code, 0, err)
                self.assertEqual(parse_packet_lines(out), self.rows)

    def test_truncated_frames_count_received_bytes(self):
        # With 100 bytes kept per frame, tshark still reports lengths from the headers, while
        # ravelin counts only what was received: min(IP total length, received) - headers.
        short = self.tmp / "short.pcap"
        subprocess.run(["editcap", "-s", "100", str(self.capture), str(short)], check=True,
                       capture_output=True, timeout=60)
        code, out, err = run_ravelin("--print", "packets", "--read", str(short))
        self.assertEqual(code, 0, err)
        rows = parse_packet_lines(out)
        self.assertEqual(len(rows), len(self.frames))
        for row, full, frame, whole in zip(rows, self.rows, tshark_frames(short), self.frames):
            with self.subTest(frame=frame["frame.number"]):
                received = min(int(frame["ip.len"]), int(frame["frame.cap_len"]) - 14)
                ip_header = int(frame["ip.hdr_len"])
                if row.protocol == "TCP":
                    length = received - ip_header - int(frame["tcp.hdr_len"])
                elif row.protocol == "UDP":
                    length = min(int(frame["udp.length"]), received - ip_header) - 8
                else:
                    length = received
                self.assertEqual(row.length, max(0, length))
                self.assertEqual(row[:7], full[:7])
                if row.protocol in ("TCP", "UDP"):
                    payload = bytes.fromhex(whole[row.protocol.lower() + ".payload"])
                    self.assertEqual(row.data, preview_text(payload[:row.length]))

    def test_file_cut_inside_a_frame_lists_the_frames_before(self):
        cut = self.tmp / "cut.pcap"
        cut.write_bytes(self.capture.read_bytes()[:-10])
        code, out, err = run_ravelin("--print", "packets", "--read", str(cut))
        # Everything before the cut is listed, then the read error is reported.
        self.assertEqual(code, 1, err)
        self.assertIn("recv 接收包失败\nError code:", err)
        self.assertEqual(parse_packet_lines(out), self.rows[:-1])

    def test_unsupported_link_type_fails_to_start(self):
        _, nano, _, records = read_pcap(self.capture)
        odd = self.tmp / "user0.pcap"
        write_pcap(odd, 147, records, nano=nano)  # LINKTYPE_USER0 carries no known datagrams
        code, out, err = run_ravelin("--print", "packets", "--read", str(odd))
        self.assertEqual((code, out), (1, ""))
        self.assertIn("Error code:", err)


def ip_checksum(header):
    total = sum(struct.unpack(f"!{len(header) // 2}H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_in_ethernet(protocol, payload, total_length=None, flags_offset=0x4000, ident=7,
                     source="198.51.100.2"):
    """An Ethernet frame around an IPv4 datagram from `source` to 198.51.100.9 (TEST-NET-2, no
    address of this host) that carries `payload` after its header."""
    length = 20 + len(payload) if total_length is None else total_length
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, length, ident, flags_offset, 64, protocol, 0,
                         socket.inet_aton(source), bytes([198, 51, 100, 9]))
    header = header[:10] + struct.pack("!H", ip_checksum(header)) + header[12:]
    return bytes.fromhex("001122334455 66778899aabb 0800") + header + payload


class OddDatagramTest(unittest.TestCase):
    """Datagrams the way a sending host's capture leaves them, written byte by byte, replayed by
    ravelin and read by tshark."""

    def setUp(self):
        if missing_tools("tshark"):
            self.skipTest("tshark is not installed")
        self.tmp = Path(tempfile.mkdtemp(prefix="ravelin-odd-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def replay(self, name, frames):
        path = self.tmp / name
        write_pcap(path, 1, [(1700000000 + i, 0, len(f), f) for i, f in enumerate(frames)])
        code, out, err = run_ravelin("--print", "packets", "--print", "http", "--read", str(path))
        self.assertEqual(code, 0, err)
        lines = out.splitlines(keepends=True)
        packets = parse_packet_lines("".join(l for l in lines if l.count("\t") == 9))
        requests = [l.rstrip("\n").split("\t") for l in lines if l.count("\t") == 5]
        self.assertEqual(len(packets) + len(requests), len(lines), out)
        return path, packets, requests

    @unittest.skipUnless(os.geteuid() == 0, "live capture needs CAP_NET_RAW; run as root")
    def test_on_all_interfaces_every_address_of_this_host_sends(self):
        # Bound to 0.0.0.0 (the any device), a datagram from any loopback address is sent by
        # this host, while the bound address itself is no source at all.
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 0))
        self.addCleanup(sink.close)
        senders = []
        for source in ("127.0.0.1", "127.0.3.4"):
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sender.bind((source, 0))
            self.addCleanup(sender.close)
            senders.append(sender)
        # --duration only bounds a run that the SIGINT below failed to end.
        capture = Child([*ravelin_command("--print", "packets", "--bind", "0.0.0.0"),
                         "--duration", str(5 * DEADLINE)], env=RAVELIN_ENV)
        self.addCleanup(capture.close)

        def both_sources(out, err):
            rows = parse_packet_lines(out[:out.rfind("\n") + 1])
            return {r.source for r in rows if r.data == "any-device"} >= {"127.0.0.1", "127.0.3.4"}

        def send():
            for sender in senders:
                sender.sendto(b"any-device", sink.getsockname())
        # Capturing has begun some time after the start: send until both sources are listed.
        send_until_listed(capture, send, both_sources)
        self.assertEqual(capture.stop(signal.SIGINT), 0, bytes(capture.err))
        rows = [r for r in parse_packet_lines(capture.out.decode("ascii"))
                if r.data == "any-device"]
        self.assertEqual({r.source for r in rows}, {"127.0.0.1", "127.0.3.4"})
        self.assertEqual({r.colour for r in rows}, {SENT})

    def test_segment_captured_before_offload_has_its_payload_and_request(self):
        # With segmentation offload the sending host captures one large segment whose IPv4
        # total length is 0; the card cuts it up later.
        body = b"name=" + b"v" * 1853
        request = (b"POST /form.php HTTP/1.1\r\nHost: example.test\r\nContent-Type: "
                   b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n" % len(body))
        payload = request + body
        self.assertEqual(len(payload), 1976)
        tcp = struct.pack("!HHIIBBHHH", 40000, 80, 1, 1, 0x50, 0x18, 502, 0, 0)
        path, packets, requests = self.replay("offload.pcap",
                                              [ipv4_in_ethernet(6, tcp + payload, total_length=0)])
        frame = tshark_frames(path)[0]
        self.assertEqual(int(frame["tcp.len"]), len(payload))  # tshark takes the frame as well
        self.assertEqual(len(packets), 1)
        self.assertEqual((packets[0].length, packets[0].data),
                         (int(frame["tcp.len"]), preview_text(payload)))
        self.assertEqual([r[2:5] for r in requests],
                         [["POST", "http://example.test/form.php", "0"]])


    def test_fragment_after_the_first_has_no_ports_and_no_request(self):
        # One UDP datagram in two fragments, cut as a 1280-byte MTU cuts it: the second
        # fragment's bytes happen to spell a request, but they carry on the first's payload.
        request = b"GET / HTTP/1.1\r\nHost: example.test\r\n\r\n"
        data = bytes(range(256)) * 4 + b"p" * 224 + request
        udp = struct.pack("!HHHH", 40000, 40001, 8 + len(data), 0) + data
        first, second = udp[:1256], udp[1256:]
        self.assertEqual(second, request)
        path, packets, requests = self.replay("fragments.pcap", [
            ipv4_in_ethernet(17, first, flags_offset=0x2000),  # more fragments
            ipv4_in_ethernet(17, second, flags_offset=1256 // 8),
        ])
        argv = ["tshark", "-r", str(path), "-n", "-T", "fields", "-E", "separator=/t",
                "-e", "ip.frag_offset", "-e", "ip.len", "-e", "udp.length", "-e", "data.data"]
        judged = [line.split("\t") for line in subprocess.run(
            argv, capture_output=True, text=True, timeout=60, check=True).stdout.splitlines()]
        # tshark puts the two together into the one datagram they were cut from.
        self.assertIn(int(judged[1][0]), (1256 // 8, 1256))  # tshark 4 counts in 8-byte units
        self.assertEqual((int(judged[1][2]), bytes.fromhex(judged[1][3])), (len(udp), data))

        self.assertEqual([(p.protocol, p.source_port, p.destination_port) for p in packets],
                         [("UDP", "40000", "40001"), ("UDP", "", "")])
        self.assertEqual([p.length for p in packets],
                         [len(first) - 8, int(judged[1][1]) - 20])  # bytes after the IP header
        self.assertEqual(packets[1].data, preview_text(request))
        self.assertEqual(requests, [])


class FailureTest(unittest.TestCase):
    def test_missing_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            code, out, err = run_ravelin("--print", "packets", "--read", f"{tmp}/none.pcap")
        self.assertEqual((code, out), (1, ""))
        self.assertIn("pcap_open_offline 打开抓包文件失败\nError code: ", err)

    def test_garbage_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, content in {"random": random.Random(3).randbytes(4096),
                                  "empty": b"", "text": b"GET / HTTP/1.1\r\n" * 40}.items():
                path = Path(tmp, name)
                path.write_bytes(content)
                with self.subTest(name):
                    code, out, err = run_ravelin("--print", "packets", "--read", str(path))
                    self.assertEqual((code, out), (1, ""), err)  # 1, not a signal's negative code
                    self.assertIn("pcap_open_offline 打开抓包文件失败\nError code: ", err)

    def test_bad_options(self):
        for args in (["--print", "nonsense"], ["--print", "packets", "--count", "0"],
                     ["--print", "packets", "--count", "3x"],
                     ["--print", "packets", "--bind", "300.1.1.1"],
                     ["--print", "packets", "--duration", "-1"],
                     ["--print", "packets", "--frobnicate"], ["--print", "packets", "--read"],
                     ["--print"], ["--count", "3"], ["--read", "x.pcap", "--pid", "1"]):
            with self.subTest(args=args):
                code, out, err = run_ravelin(*args, timeout=10)
                self.assertEqual((code, out), (2, ""))
                self.assertIn("usage", err)


if __name__ == "__main__":
    unittest.main()
