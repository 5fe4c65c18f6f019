"""Helpers shared by the end-to-end tests of ravelin's headless mode.

Every peer started here talks to loopback addresses only, and every wait has a deadline.
"""
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import NamedTuple

REPO = Path(__file__).resolve().parents[2]
SENT = "EED8AE"
RECEIVED = "CAE1FF"
PROTOCOL_NAMES = {1: "ICMP", 6: "TCP", 17: "UDP"}
# Local time must be reproducible for the time column to be checked.
RAVELIN_ENV = dict(os.environ, TZ="UTC")
# How long a test waits for what must happen before it calls it a failure. Only a failing run
# waits it out, so it is long enough for a sanitizer build on a machine busy with other work.
DEADLINE = 120


def ravelin_binary():
    """$RAVELIN when set (as ctest does), else the newest build under build/."""
    if os.environ.get("RAVELIN"):
        return os.environ["RAVELIN"]
    built = sorted(REPO.glob("build/*/src/ravelin"), key=lambda p: p.stat().st_mtime)
    return str(built[-1]) if built else None


def is_root():
    return os.geteuid() == 0


def missing_tools(*names):
    return [name for name in names if shutil.which(name) is None]


def ravelin_command(*args):
    """The command line; an empty configuration keeps a stray Ravelin.ini from colouring rows."""
    return [ravelin_binary(), "--config", os.devnull, *args]


def run_ravelin(*args, timeout=60):
    """Runs ravelin to its end; stdout is decoded as ASCII because every byte of it is escaped."""
    done = subprocess.run(ravelin_command(*args), capture_output=True, timeout=timeout,
                          env=RAVELIN_ENV)
    return done.returncode, done.stdout.decode("ascii"), done.stderr.decode("utf-8", "replace")


class PacketLine(NamedTuple):
    serial: int
    time: str
    protocol: str
    source: str
    source_port: str
    destination: str
    destination_port: str
    length: int
    data: str
    colour: str


def parse_packet_lines(text):
    """Parses `--print packets` output, failing on any incomplete or malformed line."""
    if text and not text.endswith("\n"):
        raise AssertionError(f"output ends inside a line: {text[-80:]!r}")
    records = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) != 10 or not re.fullmatch(r"[0-9A-F]{6}", fields[9]):
            raise AssertionError(f"malformed packet line: {line!r}")
        records.append(PacketLine(int(fields[0]), *fields[1:7], int(fields[7]), *fields[8:]))
    return records


def preview_text(payload):
    """The data column for these payload bytes: 128 at most, zeros blanked, then escaped."""
    out = []
    for byte in payload[:128]:
        byte = byte or 0x20
        char = chr(byte)
        if char in "\\\t\r\n":
            out.append({"\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n"}[char])
        elif byte < 0x20 or byte >= 0x7F:
            out.append(f"\\x{byte:02x}")
        else:
            out.append(char)
    return "".join(out)


def utc_clock_text(epoch_seconds):
    t = time.gmtime(epoch_seconds)
    return f"{t.tm_hour}:{t.tm_min}:{t.tm_sec}"


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.02)  # polling interval of a condition with a deadline


def wait_until_recorded(path, marker, copies, what, timeout=DEADLINE):
    """Waits until a capture file that a peer (tcpdump -w) is writing holds `copies` copies of
    `marker`: a recorder that buffers is stopped only once what it must have seen is on disk."""
    wait_until(lambda: path.exists() and path.read_bytes().count(marker) >= copies, timeout,
               f"the recorder to write {what}")


def attribution_mode(err):
    """'events' or 'tables': how the headless run said on standard error that it finds owners.
    Only kernel events name every owner; the tables name the holder or nobody, and how many
    they miss depends on the machine's load (bench/owner_scenarios.py measures it)."""
    if "attribution: kernel events" in err:
        return "events"
    if "attribution: socket tables" in err:
        return "tables"
    raise AssertionError(f"no attribution line on standard error: {err!r}")


class Child:
    """A child process whose output is collected as it arrives, so tests can wait on it."""

    def __init__(self, argv, env=None, cwd=None):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=cwd)
        self.out, self.err = bytearray(), bytearray()
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._drain, args=(s, b), daemon=True)
                         for s, b in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for reader in self._readers:
            reader.start()

    def _drain(self, stream, buffer):
        for chunk in iter(lambda: stream.read1(65536), b""):
            with self._changed:
                buffer.extend(chunk)
                self._changed.notify_all()

    def wait_for(self, predicate, timeout, what):
        """Waits until predicate(stdout text, stderr text) holds; returns its value."""
        def check():
            return predicate(self.out.decode("utf-8", "replace"), self.err.decode("utf-8", "replace"))
        with self._changed:
            if not self._changed.wait_for(check, timeout):
                raise AssertionError(f"timed out waiting for {what}; stderr: {bytes(self.err)!r}")
            return check()

    def stop(self, sig=signal.SIGINT, timeout=30):
        """Sends sig and waits for the exit and the end of the output; returns the exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        code = self.proc.wait(timeout)
        for reader in self._readers:
            reader.join(timeout)
        return code

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for reader in self._readers:
            reader.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()


def send_until_listed(capture, send, listed, timeout=DEADLINE):
    """Calls send() until `listed` shows in the capture's output: a text, or a predicate of
    (stdout, stderr). Capturing starts some time after the program does, later still on a
    loaded machine. Fails at once if the capture ends."""
    holds = listed if callable(listed) else lambda out, err: listed in out
    def seen():
        send()
        try:
            capture.wait_for(holds, 1, f"{listed!r}")
            return True
        except AssertionError:
            if capture.proc.poll() is not None:
                raise RuntimeError(f"ravelin ended: {bytes(capture.err)!r}")
            return False
    wait_until(seen, timeout, f"ravelin to list {listed!r}")


class HttpServer:
    """`python3 -m http.server` on 127.0.0.1 on a port the kernel picks, serving `files`."""

    def __init__(self, files):
        self.root = tempfile.mkdtemp(prefix="ravelin-http-")
        for name, content in files.items():
            Path(self.root, name).write_bytes(content)
        self.child = Child([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                            "--directory", self.root])
        try:
            found = self.child.wait_for(lambda out, err: re.search(r"port (\d+)", out), DEADLINE,
                                        "http.server to announce its port")
            self.port = int(found.group(1))
            wait_until(self._accepts, DEADLINE, f"port {self.port} to accept")
        except BaseException:
            self.close()
            raise

    def _accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def url(self, path):
        return f"http://127.0.0.1:{self.port}/{path}"

    def close(self):
        self.child.close()
        shutil.rmtree(self.root, ignore_errors=True)


def curl(*args):
    done = subprocess.run(["curl", "-sS", "--max-time", "20", *args], capture_output=True,
                          timeout=30)
    if done.returncode != 0:
        raise AssertionError(f"curl {args} failed: {done.stderr!r}")
    return done


def curl_exchange(url, *args):
    """Fetches url and returns the exact request bytes and response header bytes, as `curl -v`
    shows them, so that rows can be checked against what really went over the wire."""
    trace = curl("-v", "-o", os.devnull, *args, url).stderr.decode("latin-1").splitlines()
    def block(prefix):
        return "".join(line[2:].rstrip("\r") + "\r\n" for line in trace
                       if line.startswith(prefix)).encode("latin-1")
    return block("> "), block("< ")


TSHARK_FIELDS = ["frame.number", "frame.time_epoch", "frame.cap_len", "ip.proto", "ip.src",
                 "ip.dst", "ip.len", "ip.hdr_len", "ipv6.src", "ipv6.plen", "tcp.srcport", "tcp.dstport", "tcp.hdr_len",
                 "tcp.len", "tcp.payload", "udp.srcport", "udp.dstport", "udp.length",
                 "udp.payload"]


def tshark_frames(path):
    """One dict per frame. Reassembly and HTTP are off so that every frame keeps its own TCP
    fields and payload; only the first occurrence of a field is kept because an ICMP error
    quotes the datagram it answers, whose inner headers are not what the frame carries."""
    argv = ["tshark", "-r", str(path), "-n", "-o", "tcp.desegment_tcp_streams:FALSE",
            "--disable-protocol", "http", "-T", "fields", "-E", "separator=/t",
            "-E", "occurrence=f"]
    for field in TSHARK_FIELDS:
        argv += ["-e", field]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, check=True)
    return [dict(zip(TSHARK_FIELDS, line.split("\t"))) for line in done.stdout.splitlines()]


def read_pcap(path):
    """(endianness, nanosecond flag, link type, [(seconds, fraction, original length, frame)])."""
    data = Path(path).read_bytes()
    for endian in "<>":
        magic = struct.unpack(endian + "I", data[:4])[0]
        if magic in (0xA1B2C3D4, 0xA1B23C4D):
            break
    else:
        raise ValueError(f"{path} is not a classic pcap file")
    link_type = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    records, offset = [], 24
    while offset + 16 <= len(data):
        seconds, fraction, captured, original = struct.unpack(endian + "IIII",
                                                             data[offset:offset + 16])
        records.append((seconds, fraction, original, data[offset + 16:offset + 16 + captured]))
        offset += 16 + captured
    return endian, magic == 0xA1B23C4D, link_type, records


def write_pcap(path, link_type, records, endian="<", nano=False):
    out = [struct.pack(endian + "IHHiIII", 0xA1B23C4D if nano else 0xA1B2C3D4, 2, 4, 0, 0,
                       262144, link_type)]
    for seconds, fraction, original, frame in records:
        out.append(struct.pack(endian + "IIII", seconds, fraction, len(frame), original) + frame)
    Path(path).write_bytes(b"".join(out))


def relink_ethernet_pcap(source, target, link_type, header, endian="<", prepend=()):
    """Copies an Ethernet capture, giving each frame `header(frame)` in place of its 14-byte
    Ethernet header, so that one recording exercises every link layer ravelin reads."""
    _, nano, source_link, records = read_pcap(source)
    if source_link != 1:
        raise ValueError(f"{source} has link type {source_link}, not Ethernet")
    moved = [(s, f, original - 14 + len(header(frame)), header(frame) + frame[14:])
             for s, f, original, frame in records]
    write_pcap(target, link_type, list(prepend) + moved, endian, nano)


def quiet_udp_port(avoid=()):
    """A free UDP port below the kernel's ephemeral range. A UDP owner is found by port alone,
    and an ephemeral port of ours may also be some other process's port on another address
    (a DNS query from 10.x) that sorts first."""
    lowest = int(Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    for port in random.sample(range(max(1024, lowest - 10000), lowest), 50):
        if port in avoid:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise AssertionError("no free UDP port below the ephemeral range")


def child_pids(pid):
    """The processes whose parent is `pid`."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(entry.name))
    return found


def maps_packet_ring(pid):
    """Whether the process, or its capture helper (a child), has mapped a packet socket's ring:
    from then on its capture sees every datagram (libpcap binds the socket first, and what
    arrives before the ring exists never reaches it)."""
    inodes = {line.split()[8] for line in Path("/proc/net/packet").read_text().splitlines()[1:]}
    for process in [pid, *child_pids(pid)]:
        try:
            maps = Path(f"/proc/{process}/maps").read_text()
        except OSError:
            continue
        if any(m in inodes for m in re.findall(r"socket:\[(\d+)\]", maps)):
            return True
    return False


def lo_packets():
    """Packets the loopback interface has sent since boot."""
    for line in Path("/proc/net/dev").read_text().splitlines():
        name, _, counters = line.partition(":")
        if name.strip() == "lo":
            return int(counters.split()[9])
    raise AssertionError("no lo in /proc/net/dev")


# Programs that are hard to attribute without kernel events, shared by the tests and the
# benchmarks. FETCHER: one process makes COUNT short HTTP/1.0 fetches of /page0.html from
# 127.0.0.1:PORT with THREADS threads, printing each connection's local port.
FETCHER = r"""
import socket, sys, threading
port, count, threads = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
lock = threading.Lock()
def fetch(n):
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        with lock:
            print(s.getsockname()[1], flush=True)
        s.sendall(b"GET /page0.html HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
        while s.recv(65536):
            pass
        s.close()
workers = [threading.Thread(target=fetch, args=(count // threads,)) for _ in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
"""

# A server that forks a child per connection; it prints "PORT PID", and each child answers a
# line with "child-pid=<its pid>", so the owner of every data packet it sends is known.
FORKING_SERVER = r"""
import os, socketserver
class Answer(socketserver.StreamRequestHandler):
    def handle(self):
        self.rfile.readline()
        self.wfile.write(b"child-pid=%d\n" % os.getpid())
server = socketserver.ForkingTCPServer(("127.0.0.1", 0), Answer)
print(server.server_address[1], os.getpid(), flush=True)
server.serve_forever()
"""

# Binds UDP port PORT, sends three datagrams "udp-pid=<its pid>" to 127.0.0.1:SINK and exits.
UDP_SENDER = r"""
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
for i in range(3):
    s.sendto(b"udp-pid=%d" % os.getpid(), ("127.0.0.1", int(sys.argv[2])))
"""
