"""End-to-end tests of ravelin's HTTP list (`--print http`) against curl, http.server and raw
sockets on loopback, with tcpdump recording the traffic and tshark judging the rows.

Recording and live capture need CAP_NET_RAW (root in CI).
"""
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import time
import unittest
from pathlib import Path
from typing import NamedTuple

from ravelin_harness import (DEADLINE, RAVELIN_ENV, Child, HttpServer, curl, is_root, missing_tools,
                             parse_packet_lines, ravelin_binary, ravelin_command, run_ravelin,
                             tshark_frames, utc_clock_text, wait_until, wait_until_recorded)

NEEDS_ROOT = "capture on lo needs CAP_NET_RAW; run as root"
BACKGROUND = "E3EDCD"
# Datagrams sent over UDP, where tshark sees no HTTP, with the (method, escaped URL) each gives.
UDP_REQUESTS = [
    (b"get /lower.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", None),  # methods are case-sensitive
    (b"GET / HTTP/1\r\nHost: h\r\n", None),  # 23 bytes, one short of the shortest request
    (b"GET / HTTP/1\r\nHost: hh\r\n", ("GET", "http://hh/")),
    # Host and target lose spaces only; the URL is escaped like packet data. Being the last
    # datagram, it also marks the end of the recorded traffic.
    (b"OPTIONS  /udp/caf\xc3\xa9\x7f.png HTTP/1.1\r\nHost: \tudp peer \r\n\r\n",
     ("OPTIONS", "http://\\tudp peer/udp/caf\\xc3\\xa9\\x7f.png")),
]
SPLIT = [b"GET /split.css HTTP/1.1\r\nHo", b"st: 127.0.0.1\r\n", b"\r\n"]


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def write_colour_config(path, js_colour="FF0000"):
    """Twenty contiguous keys, with txt in two of them and CSS beside css; Ext[21] lies past the
    gap at Ext[20], so png, which only it names, keeps the background. Written by a rename so a
    running ravelin never reads half a file."""
    values = [f"{js_colour},js,json,", "00FF00,txt,log,", "0000FF,css,", "123456,txt,html,",
              "ABCDEF,CSS,"]
    values += [f"{i:06d},x{i},y{i}," for i in range(5, 18)]
    values += ["0A0B0C,bin,", "c0ffee,php,"]  # lower-case digits are printed upper-case
    lines = ["[HighLightExtension]", *(f"Ext[{i}]={v}" for i, v in enumerate(values)),
             "Ext[21]=DEAD00,png,gif,js,"]
    staged = Path(f"{path}.new")
    staged.write_text("\n".join(lines) + "\n")
    os.replace(staged, path)


class HttpLine(NamedTuple):
    serial: int
    time: str
    method: str
    url: str
    packet_row: int
    colour: str


HTTP_LINE = re.compile(r"(\d+)\t([1-9]?\d:[1-9]?\d:[1-9]?\d)\t([A-Z]+)\t([^\t]*)\t(\d+)\t"
                       r"([0-9A-F]{6})")


def parse_output(text):
    """Splits mixed output into packet rows and (HTTP row, serial of the packet line printed
    just before it), failing on any malformed or incomplete line."""
    if text and not text.endswith("\n"):
        raise AssertionError(f"output ends inside a line: {text[-80:]!r}")
    packets, requests = [], []
    for line in text.splitlines(keepends=True):
        if line.count("\t") == 9:
            packets.extend(parse_packet_lines(line))
        elif match := HTTP_LINE.fullmatch(line[:-1]):
            g = match.groups()
            requests.append((HttpLine(int(g[0]), g[1], g[2], g[3], int(g[4]), g[5]),
                             packets[-1].serial if packets else None))
        else:
            raise AssertionError(f"malformed line: {line!r}")
    return packets, requests


def fetch(*args):
    curl("--noproxy", "*", "-o", os.devnull, *args)


def send_in_segments(port, parts):
    """Sends each part as a segment of its own: Nagle is off and the part before has been
    acknowledged (the send queue is empty), so the kernel has nothing to merge it with."""
    def queued(sock):
        return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        client_port = sock.getsockname()[1]
        for part in parts:
            sock.sendall(part)
            wait_until(lambda: queued(sock) == 0, DEADLINE, "the segment to be acknowledged")
        while sock.recv(65536):  # http.server answers and closes; recv times out otherwise
            pass
    return client_port


def tshark_requests(path, port):
    """{frame number: (method, host, target)} of each frame tshark decodes as a request on its
    own: reassembly is off, and the server's port, which no heuristic knows, is HTTP."""
    argv = ["tshark", "-r", str(path), "-n", "-o", "tcp.desegment_tcp_streams:FALSE",
            "-d", f"tcp.port=={port},http", "-Y", "http.request", "-T", "fields",
            "-E", "separator=/t", "-E", "occurrence=f", "-e", "frame.number",
            "-e", "http.request.method", "-e", "http.host", "-e", "http.request.uri"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    return {int(f[0]): tuple(f[1:]) for f in (l.split("\t") for l in done.stdout.splitlines())}


class RecordedHttpTest(unittest.TestCase):
    """Requests recorded on lo by tcpdump once, then replayed by ravelin and read by tshark."""

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest(NEEDS_ROOT + " (for tcpdump)")
        missing = missing_tools("curl", "tcpdump", "tshark")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-http-cap-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        cls.config = cls.tmp / "colours.ini"
        write_colour_config(cls.config)
        server = HttpServer({"big.bin": bytes(3000), "style.CSS": b"p { }"})
        cls.addClassCleanup(server.close)
        cls.port = port = server.port
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.addClassCleanup(sink.close)
        sink.bind(("127.0.0.1", 0))
        cls.capture = cls.tmp / "lo.pcap"
        recorder = Child(["tcpdump", "-i", "lo", "-n", "-U", "-w", str(cls.capture),
                          f"tcp port {port} or udp port {sink.getsockname()[1]}"])
        cls.addClassCleanup(recorder.close)
        recorder.wait_for(lambda out, err: "listening on" in err, DEADLINE, "tcpdump to listen")

        base = f"http://127.0.0.1:{port}"
        for target in ("/a/b.txt?x=1.2", "/index.html?q=a.b/c.js", "/dir.v2/readme",
                       "/style.CSS"):
            fetch(base + target)
        fetch("-I", base + "/big.bin?q=head")
        (cls.tmp / "body").write_bytes(bytes(range(256)))
        # http.server answers POST with 501 and closes; how curl takes that does not matter.
        subprocess.run(["curl", "-sS", "--noproxy", "*", "--max-time", "20", "-o", os.devnull,
                        "--data-binary", f"@{cls.tmp / 'body'}", base + "/upload.php"],
                       capture_output=True, timeout=30)
        # As a proxy, http.server just answers; nothing leaves 127.0.0.1.
        curl("-o", os.devnull, "-x", base, "http://example.test/p.js")
        cls.split_port = send_in_segments(port, SPLIT)
        send_in_segments(port, [b"GET /whole.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for datagram, _ in UDP_REQUESTS:
                sender.sendto(datagram, sink.getsockname())
        wait_until_recorded(cls.capture, UDP_REQUESTS[-1][0], 1, "the last datagram")
        recorder.stop(signal.SIGINT)

        cls.frames = tshark_frames(cls.capture)
        cls.judged = tshark_requests(cls.capture, port)
        code, out, err = run_ravelin("--print", "http", "--print", "packets", "--read",
                                     str(cls.capture), "--config", str(cls.config))
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.packets, cls.requests = parse_output(out)
        cls.rows = [row for row, _ in cls.requests]
        host = f"127.0.0.1:{port}"
        cls.expected = [  # (method, URL, colour)
            ("GET", f"http://{host}/a/b.txt?x=1.2", "00FF00"),  # txt: Ext[1] before Ext[3]
            ("GET", f"http://{host}/index.html?q=a.b/c.js", "123456"),  # the query is cut first
            ("GET", f"http://{host}/dir.v2/readme", BACKGROUND),
            ("GET", f"http://{host}/style.CSS", "ABCDEF"),  # not css's 0000FF
            ("HEAD", f"http://{host}/big.bin?q=head", "0A0B0C"),
            ("POST", f"http://{host}/upload.php", "C0FFEE"),
            ("GET", "http://example.test/p.js", "FF0000"),  # the absolute target as it stands
            ("GET", "http://127.0.0.1/whole.json", "FF0000"),
            *((*request, BACKGROUND) for _, request in UDP_REQUESTS if request),
        ]

    def test_rows_agree_with_tshark(self):
        self.assertEqual(len(self.packets), len(self.frames))
        self.assertEqual([r.serial for r in self.rows], list(range(1, len(self.rows) + 1)))
        self.assertEqual([(r.method, r.url) for r in self.rows], [e[:2] for e in self.expected])
        for row, packet_before in self.requests:
            with self.subTest(row=row.serial):
                # A row is printed right after the line of the packet that carried it.
                self.assertEqual(packet_before, row.packet_row + 1)
                self.assertTrue(self.packets[row.packet_row].data.startswith(row.method + " "))
                epoch = int(self.frames[row.packet_row]["frame.time_epoch"].split(".")[0])
                self.assertEqual(row.time, utc_clock_text(epoch))

        split = [f for f in self.frames if f["tcp.srcport"] == str(self.split_port) and
                 int(f["tcp.len"] or 0) > 0]
        split_frames = {int(f["frame.number"]) for f in split}
        # Without reassembly tshark may decode the first part alone as a request with no host;
        # ravelin lists nothing for any part: the first lacks a complete Host line, the others
        # do not start with a method.
        judged = {number - 1: (method, target if re.match(r"(?i)https?://", target)
                               else f"http://{host}{target}")
                  for number, (method, host, target) in self.judged.items()
                  if number not in split_frames}
        # Over TCP the two agree on every request that lies in one segment, the proxy-style one
        # included, whose absolute target is its URL.
        listed = {r.packet_row: (r.method, r.url) for r in self.rows
                  if self.packets[r.packet_row].protocol == "TCP"}
        self.assertEqual(listed, judged)
        self.assertEqual(len(judged), 8)
        self.assertFalse(split_frames & {r.packet_row + 1 for r in self.rows})
        # That absence proves something only if the parts really went out one per segment.
        if [bytes.fromhex(f["tcp.payload"]) for f in split] != SPLIT:
            self.skipTest("the kernel merged the parts of the split request")

    def test_row_colours_follow_the_extension_keys(self):
        self.assertEqual([(r.url, r.colour) for r in self.rows],
                         [(url, colour) for _, url, colour in self.expected])
        # Without a configuration every row keeps the background and nothing else changes.
        code, out, err = run_ravelin("--print", "http", "--read", str(self.capture))
        self.assertEqual(code, 0, err)
        _, plain = parse_output(out)
        self.assertEqual([row for row, _ in plain],
                         [r._replace(colour=BACKGROUND) for r in self.rows])

    def test_summary_counts_the_http_lines(self):
        code, out, err = run_ravelin("--print", "http", "--print", "summary", "--read",
                                     str(self.capture), "--config", str(self.config))
        self.assertEqual(code, 0, err)
        lines = out.splitlines(keepends=True)
        _, listed = parse_output("".join(lines[:-1]))
        self.assertEqual([row for row, _ in listed], self.rows)
        summary = re.fullmatch(r"packets=(\d+) http=(\d+) seconds=\d+\.\d{3}\n", lines[-1])
        self.assertIsNotNone(summary, lines[-1])
        self.assertEqual((int(summary[1]), int(summary[2])), (len(self.frames), len(listed)))
        code, out, err = run_ravelin("--print", "summary", "--read", str(self.capture))
        self.assertEqual(code, 0, err)
        self.assertRegex(out, rf"^packets={len(self.frames)} http={len(listed)} seconds=")


class LiveHttpTest(unittest.TestCase):
    def setUp(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        if missing_tools("curl"):
            self.skipTest("curl is not installed")
        self.server = HttpServer({"probe": b"ok"})
        self.addCleanup(self.server.close)
        tmp = tempfile.mkdtemp(prefix="ravelin-http-live-")
        self.addCleanup(shutil.rmtree, tmp, True)
        self.config = Path(tmp, "live.ini")

    def test_config_edit_colours_the_next_request(self):
        write_colour_config(self.config)
        started = time.time()
        # The last --config given wins over the harness's empty one; --duration only bounds a
        # run that the SIGINT below failed to end.
        ravelin = Child([*ravelin_command("--print", "http", "--print", "packets", "--bind",
                                          "127.0.0.1", "--config", str(self.config)),
                         "--duration", str(5 * DEADLINE)], env=RAVELIN_ENV)
        self.addCleanup(ravelin.close)

        def rows_for(target):
            def found(out, err):
                packets, requests = parse_output(out[:out.rfind("\n") + 1])
                return [(row, packets) for row, _ in requests if row.url == self.server.url(target)]
            return found

        def probe_listed():
            fetch(self.server.url("probe"))
            try:
                ravelin.wait_for(rows_for("probe"), 1, "the probe row")
                return True
            except AssertionError:
                self.assertIsNone(ravelin.proc.poll(), f"ravelin ended: {bytes(ravelin.err)!r}")
                return False
        # Capturing has begun once a probe request comes back as a row; until then, probe again.
        wait_until(probe_listed, DEADLINE, "ravelin to list a probe request")

        seconds = {utc_clock_text(t) for t in range(int(started) - 1, int(time.time()) + 60)}
        for target, colour, edit in [("live/one.js", "FF0000", "00AA11"),
                                     ("live/two.js", "00AA11", None),
                                     ("live/three.txt", "00FF00", None)]:
            with self.subTest(target):
                fetch(self.server.url(target))
                found = ravelin.wait_for(rows_for(target), DEADLINE, f"the row of {target}")
                self.assertEqual(len(found), 1)
                row, packets = found[0]
                self.assertEqual((row.method, row.colour), ("GET", colour))
                self.assertIn(row.time, seconds)
                self.assertEqual(packets[row.packet_row].serial, row.packet_row + 1)
                self.assertTrue(packets[row.packet_row].data.startswith(f"GET /{target} "))
            if edit:  # takes effect at the next request, without a restart
                write_colour_config(self.config, js_colour=edit)
        self.assertEqual(ravelin.stop(signal.SIGINT), 0, bytes(ravelin.err))


if __name__ == "__main__":
    unittest.main()
