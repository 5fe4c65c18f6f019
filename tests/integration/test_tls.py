"""End-to-end tests of the HTTP list's TLS and QUIC rows (`--print http`): curl and python
clients against a local TLS server, recorded by tcpdump, replayed by ravelin and judged by
tshark, which reassembles and reads every ClientHello on its own; a ClientHello split over
segments by a small MTU in a network namespace the test creates; QUIC client Initials sealed by
write_quic_capture, which tshark decrypts on its own; and one live capture.

Recording, live capture and network namespaces need root (CI runs as root).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, RAVELIN_ENV, Child, is_root, missing_tools, ravelin_binary,
                             ravelin_command, run_ravelin, wait_until, wait_until_recorded)

NEEDS_ROOT = "capture and network namespaces need root"
BACKGROUND = "E3EDCD"
HTTP_LINE = re.compile(r"(\d+)\t([1-9]?\d:[1-9]?\d:[1-9]?\d)\t([A-Z]+)\t([^\t]*)\t(\d+)\t"
                       r"([0-9A-F]{6})")
MARKS_LINE = re.compile(r"(\d+)\t([\d ]*)")
SENTINEL = b"ravelin tls: end of the recorded traffic"

# A TLS server on 127.0.0.1 that answers every connection with a short HTTP response, in a
# thread per connection; it prints its port, then serves until it is killed.
SERVER = r"""
import socket, ssl, sys, threading
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[1], sys.argv[2])
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print(listener.getsockname()[1], flush=True)
def serve(connection):
    try:
        with context.wrap_socket(connection, server_side=True) as tls:
            tls.settimeout(10)
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = tls.recv(4096)
                if not chunk:
                    break
                request += chunk
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
    except (OSError, ssl.SSLError):
        pass
while True:
    connection, _ = listener.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
"""

# A python client: PORT SERVER_NAME|- (none) 1.2|1.3 ALPN_COUNT. Many ALPN names make the
# ClientHello longer than one segment of a small MTU.
CLIENT = r"""
import socket, ssl, sys
port, name, version, alpn = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
pinned = ssl.TLSVersion.TLSv1_2 if version == "1.2" else ssl.TLSVersion.TLSv1_3
context.minimum_version = context.maximum_version = pinned
if alpn:
    context.set_alpn_protocols([f"ravelin-test-protocol-{i:03d}" for i in range(alpn)] + ["http/1.1"])
with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
    with context.wrap_socket(raw, server_hostname=None if name == "-" else name) as tls:
        tls.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        while tls.recv(4096):
            pass
"""


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def parse_http_lines(text):
    """[(method, URL, packet row, colour)] of the HTTP lines; other lines must be packet lines
    (ten fields) or marks lines, and none may be incomplete."""
    if text and not text.endswith("\n"):
        raise AssertionError(f"output ends inside a line: {text[-80:]!r}")
    rows, marks = [], {}
    for line in text.splitlines():
        if match := HTTP_LINE.fullmatch(line):
            rows.append((match[3], match[4], int(match[5]), match[6]))
        elif line.count("\t") == 9:
            continue
        elif match := MARKS_LINE.fullmatch(line):
            marks[int(match[1])] = [int(row) for row in match[2].split(" ")] if match[2] else []
        else:
            raise AssertionError(f"malformed line: {line!r}")
    return rows, marks


def expected_url(server_name, address, port):
    host = server_name or address
    return f"https://{host}/" if port == 443 else f"https://{host}:{port}/"


def tshark_client_hellos(path, protocol, ports):
    """{frame index (from 0): URL} for every frame in which tshark, reassembling on its own,
    finds a ClientHello, with the server name or the destination address."""
    argv = ["tshark", "-r", str(path), "-n", "-Y", "tls.handshake.type == 1", "-T", "fields",
            "-E", "separator=/t", "-E", "occurrence=f", "-e", "frame.number", "-e", "ip.dst",
            "-e", f"{protocol}.dstport", "-e", "tls.handshake.extensions_server_name"]
    for port in ports:
        argv[3:3] = ["-d", f"{protocol}.port=={port},{'tls' if protocol == 'tcp' else 'quic'}"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    hellos = {}
    for line in done.stdout.splitlines():
        number, address, port, name = (line.split("\t") + [""])[:4]
        hellos[int(number) - 1] = expected_url(name, address, int(port))
    return hellos


def tshark_column(path, *fields, port=None):
    """One tuple of the fields per frame, in frame order."""
    argv = ["tshark", "-r", str(path), "-n", "-T", "fields", "-E", "separator=/t",
            "-E", "occurrence=a", "-E", "aggregator=,"]
    if port:
        argv += ["-d", f"tcp.port=={port},tls"]
    for field in fields:
        argv += ["-e", field]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    return [tuple(line.split("\t")) for line in done.stdout.splitlines()]


def make_certificate(directory):
    """A throwaway self-signed certificate and key; the clients do not check it."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", str(key), "-out", str(cert),
                    "-days", "1", "-subj", "/CN=ravelin.test"],
                   capture_output=True, timeout=60, check=True)
    return cert, key


def run_client(prefix, port, name, version, alpn=0):
    subprocess.run([*prefix, sys.executable, "-c", CLIENT, str(port), name or "-", version,
                    str(alpn)], capture_output=True, timeout=30, check=True)


def run_curl(prefix, *args):
    subprocess.run([*prefix, "curl", "-sS", "-k", "--noproxy", "*", "--max-time", "20", "-o",
                    os.devnull, *args], capture_output=True, timeout=30, check=True)


class Recording:
    """A TLS server (optionally in a namespace), tcpdump recording its port, and a sentinel
    datagram that marks the end of what was sent, so that the file is complete when it stops."""

    def __init__(self, test_class, directory, prefix=()):
        self.prefix = list(prefix)
        cert, key = make_certificate(directory)
        server = Child([*self.prefix, sys.executable, "-u", "-c", SERVER, str(cert), str(key)])
        test_class.addClassCleanup(server.close)
        found = server.wait_for(lambda out, err: re.match(r"(\d+)\n", out), DEADLINE,
                                "the TLS server's port")
        self.port = int(found.group(1))
        self.sink_port = 9  # discard: nothing listens, the datagram only needs to be recorded
        self.capture = directory / "tls.pcap"
        self.recorder = Child([*self.prefix, "tcpdump", "-i", "lo", "-n", "-U", "-w",
                               str(self.capture),
                               f"tcp port {self.port} or udp port {self.sink_port}"])
        test_class.addClassCleanup(self.recorder.close)
        self.recorder.wait_for(lambda out, err: "listening on" in err, DEADLINE,
                               "tcpdump to listen")

    def finish(self):
        sender = (f"import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM)"
                  f".sendto({SENTINEL!r}, ('127.0.0.1', {self.sink_port}))")
        subprocess.run([*self.prefix, sys.executable, "-c", sender], timeout=30, check=True)
        wait_until_recorded(self.capture, SENTINEL, 1, "the sentinel")
        self.recorder.stop(signal.SIGINT)


class RecordedTlsTest(unittest.TestCase):
    """curl and python clients, TLS 1.2 and 1.3, with and without a server name, on lo."""

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest(NEEDS_ROOT)
        missing = missing_tools("curl", "openssl", "tcpdump", "tshark")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-tls-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        recording = Recording(cls, cls.tmp)
        port = cls.port = recording.port
        resolve = ["--resolve", f"ravelin.test:{port}:127.0.0.1", "--resolve",
                   f"tls12.ravelin.test:{port}:127.0.0.1"]
        run_curl([], *resolve, f"https://ravelin.test:{port}/one")
        run_curl([], *resolve, "--tlsv1.2", "--tls-max", "1.2",
                 f"https://tls12.ravelin.test:{port}/two")
        run_curl([], f"https://127.0.0.1:{port}/three")  # curl sends no name for an address
        run_client([], port, "py13.ravelin.test", "1.3")
        run_client([], port, None, "1.2")
        recording.finish()
        cls.capture = recording.capture

        cls.judged = tshark_client_hellos(cls.capture, "tcp", [port])
        cls.config = cls.tmp / "colours.ini"
        cls.config.write_text("[HighLightExtension]\nExt[0]=FF8000,tls,\n")
        code, out, err = run_ravelin("--print", "http", "--print", "marks", "--read",
                                     str(cls.capture), "--config", str(cls.config))
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.rows, cls.marks = parse_http_lines(out)

    def test_rows_agree_with_tshark(self):
        host = f":{self.port}/"
        self.assertEqual(sorted(url for _, url, _, _ in self.rows), sorted([
            "https://ravelin.test" + host, "https://tls12.ravelin.test" + host,
            "https://127.0.0.1" + host, "https://py13.ravelin.test" + host,
            "https://127.0.0.1" + host]))
        self.assertEqual({row: url for _, url, row, _ in self.rows}, self.judged)
        self.assertEqual({method for method, _, _, _ in self.rows}, {"TLS"})
        self.assertEqual({colour for _, _, _, colour in self.rows}, {"FF8000"})
        # The premise: TLS 1.3 ClientHellos (offering 0x0304) and TLS 1.2 ones (not offering it).
        offers = [fields[1] for fields in tshark_column(
            self.capture, "tls.handshake.type", "tls.handshake.extensions.supported_version",
            port=self.port) if fields[0].split(",")[0] == "1"]
        self.assertEqual(len(offers), 5)
        self.assertEqual(sum("0x0304" in offer for offer in offers), 3, offers)

    def test_without_tls_key_rows_keep_the_background(self):
        code, out, err = run_ravelin("--print", "http", "--print", "summary", "--read",
                                     str(self.capture))
        self.assertEqual(code, 0, err)
        lines = out.splitlines(keepends=True)
        rows, _ = parse_http_lines("".join(lines[:-1]))
        self.assertEqual(rows, [(m, u, r, BACKGROUND) for m, u, r, _ in self.rows])
        # The summary counts them as HTTP rows.
        self.assertRegex(lines[-1], rf"^packets=\d+ http={len(rows)} seconds=")

    def test_marks_take_the_server_hello(self):
        # Linking a TLS row follows the same rules as an HTTP row: from the ClientHello's segment
        # to the server's answer, which begins with the ServerHello, all in one TCP stream.
        frames = tshark_column(self.capture, "tcp.stream", "tcp.srcport", "tcp.len",
                               "tls.handshake.type", port=self.port)
        self.assertEqual(sorted(self.marks), list(range(1, len(self.rows) + 1)))
        for serial, (_, url, row, _) in enumerate(self.rows, start=1):
            with self.subTest(url=url):
                stream = frames[row][0]
                server_hello = next(index for index, frame in enumerate(frames)
                                    if frame[0] == stream and frame[1] == str(self.port)
                                    and "2" in frame[3].split(","))
                marked = self.marks[serial]
                self.assertIn(row, marked)
                self.assertIn(server_hello, marked)
                self.assertEqual({frames[index][0] for index in marked}, {stream})


class SplitClientHelloTest(unittest.TestCase):
    """ClientHellos longer than a segment: lo in a namespace of the test's own has an MTU of
    576, and segmentation offload is off so that the segments on lo are the MTU's size."""

    @classmethod
    def setUpClass(cls):
        if not is_root():
            raise unittest.SkipTest(NEEDS_ROOT)
        missing = missing_tools("curl", "openssl", "tcpdump", "tshark", "ip", "ethtool")
        if missing:
            raise unittest.SkipTest(f"not installed: {', '.join(missing)}")
        cls.tmp = Path(tempfile.mkdtemp(prefix="ravelin-tls-split-"))
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        namespace = f"ravelin-tls-{os.getpid()}"
        subprocess.run(["ip", "netns", "add", namespace], check=True, timeout=30)
        cls.addClassCleanup(subprocess.run, ["ip", "netns", "del", namespace], timeout=30)
        inside = ["ip", "netns", "exec", namespace]
        subprocess.run([*inside, "ip", "link", "set", "lo", "mtu", "576", "up"], check=True,
                       timeout=30)
        subprocess.run([*inside, "ethtool", "-K", "lo", "tso", "off", "gso", "off"],
                       check=True, timeout=30, capture_output=True)
        recording = Recording(cls, cls.tmp, inside)
        cls.port = port = recording.port
        run_client(inside, port, "split.ravelin.test", "1.3", alpn=60)
        run_client(inside, port, None, "1.2", alpn=60)
        run_curl(inside, "--resolve", f"curl.ravelin.test:{port}:127.0.0.1",
                 f"https://curl.ravelin.test:{port}/")
        recording.finish()
        cls.capture = recording.capture
        cls.judged = tshark_client_hellos(cls.capture, "tcp", [port])
        code, out, err = run_ravelin("--print", "http", "--read", str(cls.capture))
        if code != 0:
            raise AssertionError(f"replay failed ({code}): {err}")
        cls.rows, _ = parse_http_lines(out)

    def test_split_client_hellos_are_listed_at_their_last_segment(self):
        self.assertEqual({row: url for _, url, row, _ in self.rows}, self.judged)
        self.assertEqual(sorted(url for _, url, _, _ in self.rows), sorted([
            f"https://split.ravelin.test:{self.port}/", f"https://127.0.0.1:{self.port}/",
            f"https://curl.ravelin.test:{self.port}/"]))
        # The premise: the python clients' ClientHellos took three segments or more each.
        frames = tshark_column(self.capture, "tcp.stream", "tcp.srcport", "tcp.len")
        for _, url, row, _ in self.rows:
            if "curl" in url:
                continue
            stream = frames[row][0]
            segments = [index for index, frame in enumerate(frames[:row + 1])
                        if frame[0] == stream and frame[1] != str(self.port)
                        and int(frame[2] or 0) > 0]
            self.assertGreaterEqual(len(segments), 3, url)
            self.assertTrue(all(int(frames[index][2]) <= 536 for index in segments))


class QuicCaptureTest(unittest.TestCase):
    """QUIC client Initials of versions 1 and 2, sealed by write_quic_capture: one row per
    connection, at the datagram that completes its ClientHello, as tshark decrypts them."""

    def test_rows_agree_with_tshark(self):
        writer = os.environ.get("WRITE_QUIC_CAPTURE")
        if not writer or missing_tools("tshark"):
            self.skipTest("needs write_quic_capture (WRITE_QUIC_CAPTURE) and tshark")
        with tempfile.TemporaryDirectory(prefix="ravelin-quic-") as tmp:
            capture = Path(tmp, "quic.pcap")
            subprocess.run([writer, str(capture)], check=True, timeout=60)
            config = Path(tmp, "colours.ini")
            config.write_text("[HighLightExtension]\nExt[0]=0000FF,quic,\n")
            code, out, err = run_ravelin("--print", "http", "--read", str(capture), "--config",
                                         str(config))
            self.assertEqual(code, 0, err)
            rows, _ = parse_http_lines(out)
            judged = tshark_client_hellos(capture, "udp", [4433, 8443])
        self.assertEqual({method for method, _, _, _ in rows}, {"QUIC"})
        self.assertEqual({colour for _, _, _, colour in rows}, {"0000FF"})
        # Neither takes the client's retransmitted Initial (frame 1) for a second ClientHello.
        self.assertEqual({row: url for _, url, row, _ in rows}, judged)
        self.assertEqual(sorted(url for _, url, _, _ in rows), [
            "https://127.0.0.1:8443/", "https://coalesced.ravelin.test/", "https://example.com/",
            "https://pq.ravelin.test/", "https://v2.ravelin.test:4433/"])


class LiveTlsTest(unittest.TestCase):
    def test_a_curl_connection_is_listed_while_it_happens(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        if missing_tools("curl", "openssl"):
            self.skipTest("needs curl and openssl")
        tmp = Path(tempfile.mkdtemp(prefix="ravelin-tls-live-"))
        self.addCleanup(shutil.rmtree, tmp, True)
        cert, key = make_certificate(tmp)
        server = Child([sys.executable, "-u", "-c", SERVER, str(cert), str(key)])
        self.addCleanup(server.close)
        port = int(server.wait_for(lambda out, err: re.match(r"(\d+)\n", out), DEADLINE,
                                   "the TLS server's port").group(1))
        ravelin = Child([*ravelin_command("--print", "http", "--bind", "127.0.0.1"),
                         "--duration", str(5 * DEADLINE)], env=RAVELIN_ENV)
        self.addCleanup(ravelin.close)

        def listed(name):
            def found(out, err):
                return f"\tTLS\thttps://{name}:{port}/\t" in out
            return found

        attempt = 0

        def probe():
            nonlocal attempt
            attempt += 1
            name = f"probe{attempt}.ravelin.test"
            run_curl([], "--resolve", f"{name}:{port}:127.0.0.1", f"https://{name}:{port}/")
            try:
                ravelin.wait_for(listed(name), 1, "the probe's row")
                return True
            except AssertionError:
                self.assertIsNone(ravelin.proc.poll(), bytes(ravelin.err))
                return False
        # Capture has begun once a probe comes back as a row.
        wait_until(probe, DEADLINE, "ravelin to list a TLS connection")
        self.assertEqual(ravelin.stop(signal.SIGINT), 0, bytes(ravelin.err))


if __name__ == "__main__":
    unittest.main()
