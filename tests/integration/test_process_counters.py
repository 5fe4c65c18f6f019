"""End-to-end test of --print processes: what each process sent and received, in a live run on
loopback, equals the sums over the packet lines of the same run (--attribute gives each line's
owner, the colour its direction) with each packet's IP total length from the pcapng file that
--write saves of the same run. Live capture needs CAP_NET_RAW (root in CI).
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
from collections import defaultdict
from pathlib import Path

from ravelin_harness import (DEADLINE, RAVELIN_ENV, SENT, Child, HttpServer, attribution_mode, curl,
                             is_root, missing_tools, parse_packet_lines, quiet_udp_port,
                             ravelin_binary, ravelin_command, tshark_frames, wait_until)

BODY = os.urandom(300_000)
END_MARKER = b"ravelin-counters-end"
# A second process that sends UDP datagrams, so that two owners send UDP.
UDP_SENDER = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
for size in (1, 100, 1000, 8000):
    s.sendto(b"u" * size, ("127.0.0.1", int(sys.argv[2])))
"""


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def split_output(text):
    """(packet lines with their owners, the --print processes blocks): a block's lines have six
    fields and end at an empty line; packet lines with the owner column have eleven."""
    packets, blocks, block = [], [], []
    for line in text.splitlines():
        fields = line.split("\t")
        if line == "":
            blocks.append(block)
            block = []
        elif len(fields) == 6:
            block.append((int(fields[0]), fields[1], *map(int, fields[2:])))
        else:
            head, _, owner = line.rpartition("\t")
            packets.append((parse_packet_lines(head + "\n")[0], int(owner)))
    if block:
        raise AssertionError(f"a block without its empty line: {block}")
    return packets, blocks


class ProcessCountersTest(unittest.TestCase):
    def setUp(self):
        if not is_root():
            self.skipTest("live capture on lo needs CAP_NET_RAW; run as root")
        if missing_tools("curl", "tshark"):
            self.skipTest("curl and tshark are needed")

    def test_process_lines_are_the_sums_of_the_packet_lines(self):
        server = HttpServer({"body.bin": BODY})
        self.addCleanup(server.close)
        saved = Path(tempfile.mkdtemp(prefix="ravelin-counters-")) / "run.pcapng"
        self.addCleanup(lambda: saved.unlink(missing_ok=True) or saved.parent.rmdir())
        ravelin = Child([*ravelin_command("--print", "packets", "--attribute", "--print",
                                          "processes", "--interval", "0.3", "--bind",
                                          "127.0.0.1", "--write", str(saved), "--duration",
                                          "120")], env=RAVELIN_ENV)
        self.addCleanup(ravelin.close)

        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sink.close)
        sink.bind(("127.0.0.1", quiet_udp_port()))
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sender.close)
        sender.bind(("127.0.0.1", quiet_udp_port(avoid={sink.getsockname()[1]})))
        port = str(sender.getsockname()[1])

        def listed(marker):
            return lambda out, err: any(
                line.split("\t")[4:5] == [port] and marker in line for line in out.splitlines())

        def probe_seen():
            sender.sendto(b"probe", sink.getsockname())
            try:
                ravelin.wait_for(listed("probe"), 1, "a probe row")
                return True
            except AssertionError:
                self.assertIsNone(ravelin.proc.poll(), bytes(ravelin.err))
                return False
        wait_until(probe_seen, DEADLINE, "capture to begin")

        for _ in range(3):
            self.assertEqual(curl(server.url("body.bin")).stdout, BODY)
        udp_port = quiet_udp_port(avoid={sink.getsockname()[1], int(port)})
        subprocess.run([sys.executable, "-c", UDP_SENDER, str(udp_port),
                        str(sink.getsockname()[1])], check=True, timeout=30)
        # A block comes every 0.3 s while the run lasts: at least one before the end's own.
        ravelin.wait_for(lambda out, err: "\n\n" in out, DEADLINE, "a block before the end")
        sender.sendto(END_MARKER, sink.getsockname())
        ravelin.wait_for(listed(END_MARKER.decode()), DEADLINE, "the end marker")
        self.assertEqual(ravelin.stop(signal.SIGINT), 0, bytes(ravelin.err))

        packets, blocks = split_output(ravelin.out.decode("ascii"))
        self.assertGreaterEqual(len(blocks), 2, "a block every 0.3 s, and the last at the end")
        frames = tshark_frames(saved)
        self.assertEqual(len(frames), len(packets))
        expected = defaultdict(lambda: [0, 0, 0, 0])
        for (row, owner), frame in zip(packets, frames):
            # Loopback carries IPv6 too (a name that resolves to ::1 first).
            ipv6 = not frame["ip.src"]
            self.assertEqual(frame["ipv6.src"] if ipv6 else frame["ip.src"], row.source)
            sums = expected[owner]
            at = 0 if row.colour == SENT else 2
            sums[at] += 1
            sums[at + 1] += 40 + int(frame["ipv6.plen"]) if ipv6 else int(frame["ip.len"])
        last = blocks[-1]
        self.assertEqual({pid: list(counts) for pid, _, *counts in last}, dict(expected))
        totals = [sent + received for _, _, _, sent, _, received in last]
        self.assertEqual(totals, sorted(totals, reverse=True))

        names = {pid: name for pid, name, *_ in last}
        # python3 or its versioned file name, by how the name was found.
        self.assertTrue(names.get(os.getpid(), "").startswith("python"), names)
        self.assertTrue(names.get(server.child.proc.pid, "").startswith("python"), names)
        # Kernel events name every curl; the tables may miss a fetch that was over before they
        # were read, which depends on the machine's load.
        curls = [pid for pid, name in names.items() if name == "curl"]
        if attribution_mode(ravelin.err.decode()) == "events":
            self.assertEqual(len(curls), 3, names)
        if -1 in names:
            self.assertEqual(names[-1], "-")
        # Earlier blocks only ever grow towards the last one.
        for earlier, later in zip(blocks, blocks[1:]):
            after = {pid: counts for pid, _, *counts in later}
            for pid, _, *counts in earlier:
                self.assertIn(pid, after)
                self.assertTrue(all(a <= b for a, b in zip(counts, after[pid])), (pid, counts))


if __name__ == "__main__":
    unittest.main()
