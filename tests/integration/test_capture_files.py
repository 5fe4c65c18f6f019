"""End-to-end tests of what a capture leaves on disk: the payload spool in the cache directory,
and the pcapng files that --write saves and --read opens again with each packet's process.

tshark is the judge of the files. Live capture needs CAP_NET_RAW (root in CI); the full-disk
cases mount small tmpfs file systems, which needs root too.
"""
import os
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, RAVELIN_ENV, Child, HttpServer, attribution_mode, curl,
                             is_root, missing_tools, quiet_udp_port, ravelin_binary,
                             ravelin_command, run_ravelin, send_until_listed, wait_until)

REPO = Path(__file__).resolve().parents[2]
NEEDS_ROOT = "live capture on lo and tmpfs mounts need root"


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def tshark_fields(path, *fields):
    done = subprocess.run(["tshark", "-r", str(path), "-T", "fields",
                           *[arg for field in fields for arg in ("-e", field)]],
                          capture_output=True, timeout=120, check=True)
    return [line.split("\t") for line in done.stdout.decode().splitlines()]


def tshark_hex(path):
    """Every frame's bytes as tshark dumps them (the summary lines left out)."""
    done = subprocess.run(["tshark", "-r", str(path), "-x"], capture_output=True, timeout=120,
                          check=True)
    return [line for line in done.stdout.decode().splitlines() if line[:4].isalnum()
            and line[4:6] == "  "]


def owner_lines(out):
    """(line without its owner column, owner pid) for each --attribute packet line."""
    rows = []
    for line in out.splitlines():
        head, _, owner = line.rpartition("\t")
        rows.append((head, int(owner)))
    return rows


class TmpfsMount:
    """A tmpfs of `size` at a fresh directory, unmounted at the end."""

    def __init__(self, size):
        self.path = Path(tempfile.mkdtemp(prefix="ravelin-tmpfs-"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(self.path)],
                       check=True, timeout=30)

    def close(self):
        subprocess.run(["umount", "-l", str(self.path)], timeout=30)
        self.path.rmdir()


class CaptureFileTest(unittest.TestCase):
    def setUp(self):
        missing = missing_tools("tshark", "curl")
        if missing:
            self.skipTest(f"missing {missing}")
        self.work = Path(tempfile.mkdtemp(prefix="ravelin-files-"))
        self.env = dict(RAVELIN_ENV, XDG_CACHE_HOME=str(self.work / "cache"))

    def tearDown(self):
        subprocess.run(["rm", "-rf", str(self.work)], timeout=30)

    def ravelin(self, *args, timeout=120):
        done = subprocess.run(ravelin_command(*args), capture_output=True, timeout=timeout,
                              env=self.env)
        return done.returncode, done.stdout.decode("ascii"), done.stderr.decode("utf-8", "replace")

    def test_a_replayed_file_saved_as_pcapng_keeps_every_frame_and_time(self):
        source = self.work / "source.pcap"
        subprocess.run(["python3", str(REPO / "bench/make_capture.py"), str(source), "--packets",
                        "3000"], check=True, capture_output=True, timeout=120)
        written = self.work / "written.pcapng"
        code, out, err = self.ravelin("--read", str(source), "--write", str(written),
                                      "--print", "summary", "--attribution", "tables")
        self.assertEqual(code, 0, err)
        self.assertIn("packets=3000 ", out)
        times = ["frame.time_epoch", "frame.len", "frame.cap_len"]
        self.assertEqual(tshark_fields(written, *times), tshark_fields(source, *times))
        self.assertEqual(tshark_hex(written), tshark_hex(source))
        # Read back and written again, the file is the same, byte for byte.
        again = self.work / "again.pcapng"
        code, out, err = self.ravelin("--read", str(written), "--write", str(again), "--print",
                                      "summary", "--attribution", "tables")
        self.assertEqual(code, 0, err)
        self.assertEqual(again.read_bytes(), written.read_bytes())

    def test_live_owners_survive_write_and_read(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        server = HttpServer({"page.bin": os.urandom(200_000)})
        written = self.work / "live.pcapng"
        child = Child(ravelin_command("--bind", "127.0.0.1", "--print", "packets", "--attribute",
                                      "--write", str(written)), env=self.env)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as marker:
                sink = ("127.0.0.1", quiet_udp_port())
                # Capture opens a while after the program starts: until then, probe again.
                send_until_listed(child, lambda: marker.sendto(b"owners-start", sink),
                                  "\towners-start\t")
                for _ in range(3):
                    curl("-o", os.devnull, server.url("page.bin"))
                # Listed in the order captured: once the marker is, every fetch before it is.
                marker.sendto(b"owners-end", sink)
                child.wait_for(lambda out, err: "\towners-end\t" in out, DEADLINE,
                               "the end marker")
            self.assertEqual(child.stop(), 0, bytes(child.err))
        finally:
            child.close()
            server.close()
        exact = attribution_mode(child.err.decode()) == "events"
        live = owner_lines(child.out.decode("ascii"))
        self.assertGreater(len(live), 20)
        comments = [fields[0] for fields in tshark_fields(written, "frame.comment")]
        self.assertEqual(len(comments), len(live))
        curl_pids = set()
        for (head, owner), comment in zip(live, comments):
            if owner == -1:
                self.assertEqual(comment, "")
            else:
                self.assertTrue(comment.startswith(f"pid={owner} name="), comment)
                # Other tests may run curl on loopback at the same time: only this server's.
                ports = head.split("\t")[4:7:2]
                if comment.endswith(" name=curl") and str(server.port) in ports:
                    curl_pids.add(owner)
        # Kernel events name each curl; the tables may miss one whose fetch was over before
        # they were read, which depends on the machine's load.
        if exact:
            self.assertEqual(len(curl_pids), 3, "each curl names its own process")
        else:
            self.assertLessEqual(len(curl_pids), 3)
        server_comments = {c for c in comments if c.startswith(f"pid={server.child.proc.pid} ")}
        self.assertEqual(len(server_comments), 1, server_comments)
        self.assertIn("name=python", server_comments.pop())

        # Read back, every packet has the owner it had live, without a lookup.
        code, out, err = self.ravelin("--read", str(written), "--bind", "127.0.0.1",
                                      "--print", "packets", "--attribute")
        self.assertEqual(code, 0, err)
        replayed = owner_lines(out)
        self.assertEqual([owner for _, owner in replayed], [owner for _, owner in live])

    def test_two_instances_keep_their_own_spools_and_a_crashed_one_is_cleared(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        spools = self.work / "cache" / "ravelin"
        spools.mkdir(parents=True)
        (spools / "ravelin-spool-crashd.pcapng").write_bytes(b"left by a crash")
        children = [Child(ravelin_command("--bind", "127.0.0.1", "--print", "summary"),
                          env=self.env) for _ in range(2)]
        try:
            wait_until(lambda: len(list(spools.glob("ravelin-spool-*.pcapng"))) == 2, DEADLINE,
                       "two spools")
            names = sorted(p.name for p in spools.glob("ravelin-spool-*.pcapng"))
            self.assertNotIn("ravelin-spool-crashd.pcapng", names)
            for path in spools.glob("ravelin-spool-*.pcapng"):
                self.assertEqual(path.stat().st_mode & 0o777, 0o600)
            for child in children:
                self.assertEqual(child.stop(), 0, bytes(child.err))
        finally:
            for child in children:
                child.close()
        self.assertEqual(list(spools.glob("ravelin-spool-*")), [])

    def test_a_full_disk_while_spooling_stops_capture_and_keeps_every_row(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        mount = TmpfsMount("1m")
        try:
            env = dict(self.env, XDG_CACHE_HOME=str(mount.path))
            port = quiet_udp_port()
            child = Child(ravelin_command("--bind", "127.0.0.1", "--print", "packets",
                                          "--duration", str(2 * DEADLINE)), env=env)
            try:
                payload = b"spool" * 280  # 1400 bytes
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                    # Until the spool fills and capture ends; what is sent before capture opens
                    # is simply not listed.
                    deadline = time.monotonic() + DEADLINE
                    while child.proc.poll() is None and time.monotonic() < deadline:
                        for _ in range(50):
                            sender.sendto(payload, ("127.0.0.1", port))
                        time.sleep(0.005)  # a pace the pipeline keeps up with; not a wait
                code = child.proc.poll()
                self.assertIsNotNone(code, "capture went on although the spool's disk is full")
                child.stop()
            finally:
                child.close()
        finally:
            mount.close()
        err = child.err.decode("utf-8", "replace")
        self.assertEqual(code, 1, err)
        self.assertIn("pwrite", err)
        self.assertIn("No space left on device", err)
        # Other tests' loopback traffic may fill the disk first; every row listed before it
        # filled is printed, and the flood's own rows have their payload, as the preview shows.
        listed = child.out.decode("ascii").splitlines()
        self.assertGreater(len(listed), 100)
        ours = [line for line in listed if f"\t{port}\t" in line]
        self.assertTrue(all("\tspoolspool" in line for line in ours))

    def test_a_save_to_a_full_disk_says_so_and_leaves_no_half_file(self):
        if not is_root():
            self.skipTest(NEEDS_ROOT)
        source = self.work / "source.pcap"
        subprocess.run(["python3", str(REPO / "bench/make_capture.py"), str(source), "--packets",
                        "3000"], check=True, capture_output=True, timeout=120)
        mount = TmpfsMount("64k")
        try:
            target = mount.path / "saved.pcapng"
            code, out, err = self.ravelin("--read", str(source), "--write", str(target),
                                          "--print", "summary", "--attribution", "tables")
            left = target.exists()
        finally:
            mount.close()
        self.assertEqual(code, 1)
        self.assertIn(f"ravelin: cannot write {target}: No space left on device", err)
        self.assertIn("packets=3000 ", out)
        self.assertFalse(left)


if __name__ == "__main__":
    unittest.main()
