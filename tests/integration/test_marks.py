"""End-to-end test of linking (`--print marks`): curl fetches files from http.server on
loopback, tcpdump records it, and tshark tells which TCP stream every frame belongs to.

Recording needs CAP_NET_RAW (root in CI).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, Child, HttpServer, curl, is_root, missing_tools,
                             ravelin_binary, run_ravelin, wait_until_recorded)

# Sizes chosen so that answers range from headers alone to one that spans many segments.
FILES = {"empty.txt": b"", "small.txt": b"hello, marks\n", "page.html": b"<p>x</p>\n" * 250,
         "big.bin": bytes(range(256)) * 800}  # 204,800 bytes
TARGETS = ["small.txt", "page.html", "big.bin", "empty.txt", "missing.png"]  # the last: a 404
HTTP_LINE = re.compile(r"(\d+)\t[^\t]*\t([A-Z]+)\t([^\t]*)\t(\d+)\t[0-9A-F]{6}")
MARKS_LINE = re.compile(r"(\d+)\t([\d ]*)")
SENTINEL = b"ravelin marks: end of the recorded traffic"


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def parse_output(text):
    """({serial: (method, URL, packet row)}, {serial: [marked rows]}), failing on any malformed
    or incomplete line and on marks printed before the last HTTP line."""
    if text and not text.endswith("\n"):
        raise AssertionError(f"output ends inside a line: {text[-80:]!r}")
    requests, marks = {}, {}
    for line in text.splitlines():
        if match := HTTP_LINE.fullmatch(line):
            if marks:
                raise AssertionError(f"HTTP line after the marks: {line!r}")
            requests[int(match[1])] = (match[2], match[3], int(match[4]))
        elif match := MARKS_LINE.fullmatch(line):
            rows = [int(row) for row in match[2].split(" ")] if match[2] else []
            if rows != sorted(set(rows)):
                raise AssertionError(f"marks not ascending and unique: {line!r}")
            marks[int(match[1])] = rows
        else:
            raise AssertionError(f"malformed line: {line!r}")
    return requests, marks


def tshark_streams(path):
    """One (TCP stream, payload length, source port) per frame, in frame order; the stream is
    None for a frame that is not TCP."""
    argv = ["tshark", "-r", str(path), "-n", "-T", "fields", "-E", "separator=/t",
            "-E", "occurrence=f", "-e", "frame.number", "-e", "tcp.stream", "-e", "tcp.len",
            "-e", "tcp.srcport"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    frames = []
    for number, line in enumerate(done.stdout.splitlines(), start=1):
        fields = line.split("\t")
        if int(fields[0]) != number:
            raise AssertionError(f"tshark skipped a frame before {line!r}")
        stream = int(fields[1]) if fields[1] else None
        frames.append((stream, int(fields[2] or 0), int(fields[3]) if fields[3] else None))
    return frames


class MarksTest(unittest.TestCase):
    """Each request is fetched by its own curl, so each has a TCP stream of its own."""

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest("capture on lo needs CAP_NET_RAW; run as root (for tcpdump)")
        missing = missing_tools("curl", "tcpdump", "tshark")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-marks-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        server = HttpServer(FILES)
        cls.addClassCleanup(server.close)
        cls.port = server.port
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cls.addClassCleanup(sink.close)
        sink.bind(("127.0.0.1", 0))
        capture = cls.tmp / "lo.pcap"
        recorder = Child(["tcpdump", "-i", "lo", "-n", "-U", "-w", str(capture),
                          f"tcp port {cls.port} or udp port {sink.getsockname()[1]}"])
        cls.addClassCleanup(recorder.close)
        recorder.wait_for(lambda out, err: "listening on" in err, DEADLINE, "tcpdump to listen")
        for target in TARGETS:
            # A 404 is an answer like any other here; curl succeeds without --fail.
            curl("--noproxy", "*", "-o", os.devnull, server.url(target))
        # The datagram goes out after every curl has ended, so once it is in the file, so is
        # everything each exchange sent before it.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(SENTINEL, sink.getsockname())
        wait_until_recorded(capture, SENTINEL, 1, "the datagram")
        recorder.stop(signal.SIGINT)

        cls.frames = tshark_streams(capture)
        code, out, err = run_ravelin("--print", "http", "--print", "marks", "--read",
                                     str(capture), "--config", os.devnull)
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.requests, cls.marks = parse_output(out)

    def test_every_request_has_its_marks(self):
        self.assertEqual([url.rsplit("/", 1)[-1] for _, url, _ in self.requests.values()],
                         TARGETS)
        self.assertEqual(sorted(self.marks), sorted(self.requests))
        # One exchange per stream: the streams of the requests all differ.
        streams = [self.frames[row][0] for _, _, row in self.requests.values()]
        self.assertNotIn(None, streams)
        self.assertEqual(len(set(streams)), len(TARGETS))

    def test_marks_cover_the_answer_and_stay_in_the_stream(self):
        # Linking follows sequence and acknowledgement numbers only and compares no addresses;
        # that suffices here because every stream carries a single exchange, so no other
        # stream shares its numbers. Besides the request and every answer segment with data, it
        # marks by design the server's bare segments that carry the answer's acknowledgement
        # number (such as its FIN when it closes before curl does), so those are allowed but not
        # required.
        for serial, (method, url, request_row) in self.requests.items():
            with self.subTest(url=url):
                stream, request_length, client_port = self.frames[request_row]
                self.assertEqual(method, "GET")
                self.assertGreater(request_length, 0)
                self.assertNotEqual(client_port, self.port)
                in_stream = {row for row, frame in enumerate(self.frames) if frame[0] == stream}
                marked = set(self.marks[serial])

                self.assertEqual(marked - in_stream, set(), "marks outside the request's stream")
                self.assertIn(request_row, marked)
                answer = {row for row in in_stream
                          if self.frames[row][2] == self.port and self.frames[row][1] > 0}
                self.assertTrue(answer, "the answer carried no data")
                self.assertEqual(answer - marked, set(), "answer segments left unmarked")
                client_data = {row for row in marked
                               if self.frames[row][2] == client_port and self.frames[row][1] > 0}
                self.assertEqual(client_data, {request_row})

    def test_the_large_answer_spans_many_segments(self):
        # Guards the test above: with the whole answer in one segment, linking the rest of the
        # answer would go unchecked.
        row = next(row for _, url, row in self.requests.values() if url.endswith("/big.bin"))
        stream = self.frames[row][0]
        segments = [f for f in self.frames if f[0] == stream and f[2] == self.port and f[1] > 0]
        self.assertGreaterEqual(len(segments), 3)
        self.assertGreaterEqual(sum(length for _, length, _ in segments), len(FILES["big.bin"]))


if __name__ == "__main__":
    unittest.main()
