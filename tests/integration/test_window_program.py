"""End-to-end tests of the program's two halves: the headless mode runs without Qt, and the
window comes from the module that the program loads only to show it.

The window runs on Qt's offscreen platform; no test here needs root or traffic.
"""
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, RAVELIN_ENV, Child, ravelin_binary, wait_until, write_pcap)


def setUpModule():
    binary = ravelin_binary()
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no ravelin binary ({binary!r}); set RAVELIN or build first")


def udp_frame(payload):
    """An Ethernet frame of one UDP datagram 127.0.0.1:40000 -> 127.0.0.1:40001."""
    udp = struct.pack("!HHHH", 40000, 40001, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
    return bytes(12) + b"\x08\x00" + ip + udp


class WindowProgramTest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="ravelin-window-"))
        self.addCleanup(shutil.rmtree, self.work, True)
        self.capture = self.work / "two.pcap"
        write_pcap(self.capture, 1, [(1700000000, 0, 30, udp_frame(b"ab")),
                                     (1700000001, 0, 31, udp_frame(b"abc"))])
        self.env = dict(RAVELIN_ENV, XDG_CACHE_HOME=str(self.work / "cache"),
                        QT_QPA_PLATFORM="offscreen")

    def test_the_window_runs_from_its_module_and_the_headless_mode_without_it(self):
        # The window: its module is found beside the program, and the window makes its spool.
        window = Child([ravelin_binary(), "--config", os.devnull, "--read", str(self.capture)],
                       env=self.env)
        try:
            spools = self.work / "cache" / "ravelin"
            wait_until(lambda: window.proc.poll() is not None or
                       list(spools.glob("ravelin-spool-*")), DEADLINE, "the window's spool")
            self.assertIsNone(window.proc.poll(), bytes(window.err))
            window.stop(signal.SIGTERM)
        finally:
            window.close()

        # The program alone, without the module beside it or in ../lib/ravelin.
        alone = self.work / "bin" / "ravelin"
        alone.parent.mkdir()
        shutil.copy2(ravelin_binary(), alone)
        libraries = subprocess.run(["ldd", str(alone)], capture_output=True, text=True,
                                   check=True).stdout
        self.assertNotIn("libQt6", libraries)
        done = subprocess.run([str(alone), "--config", os.devnull, "--read", str(self.capture),
                               "--print", "summary"], capture_output=True, text=True,
                              env=self.env, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith("packets=2 "), done.stdout)
        done = subprocess.run([str(alone), "--config", os.devnull, "--read", str(self.capture)],
                              capture_output=True, text=True, env=self.env, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("the window's module cannot be loaded", done.stderr)
        self.assertIn("ravelin-window.so", done.stderr)


if __name__ == "__main__":
    unittest.main()
