"""Capture rights: without them starting capture says why; with the README's setcap it works.

Runs as root: the test makes an unprivileged user of its own, copies the program to a directory
that user can reach, and runs it as that user, first plain, then with file capabilities.
"""
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from ravelin_harness import ravelin_binary

NEEDED = ("setcap", "setpriv", "useradd", "userdel")


@unittest.skipUnless(os.geteuid() == 0, "making a user and setting capabilities needs root")
@unittest.skipIf([tool for tool in NEEDED if shutil.which(tool) is None], "needs " + " ".join(NEEDED))
class PrivilegesTest(unittest.TestCase):
    def setUp(self):
        self.user = f"rvtest{os.getpid()}"
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        self.user], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["userdel", self.user], capture_output=True)
        self.directory = Path(tempfile.mkdtemp(prefix="ravelin-rights-"))
        self.addCleanup(shutil.rmtree, self.directory, True)
        self.directory.chmod(0o755)
        self.program = self.directory / "ravelin"
        shutil.copy(ravelin_binary(), self.program)
        self.program.chmod(0o755)

    def run_as_user(self, *arguments):
        return subprocess.run(["setpriv", "--reuid", self.user, "--regid", self.user,
                               "--clear-groups", "--inh-caps=-all", str(self.program),
                               "--config", os.devnull, *arguments],
                              capture_output=True, timeout=60, cwd=self.directory)

    def test_without_capabilities_starting_capture_says_why(self):
        done = self.run_as_user("--print", "packets", "--bind", "127.0.0.1", "--duration", "1")
        self.assertEqual(done.returncode, 1, done.stderr)
        error = done.stderr.decode("utf-8")
        self.assertTrue(error.startswith("bind 绑定套接字失败\nError code: "), error)
        self.assertIn("permission", error.lower())
        self.assertEqual(done.stdout, b"")
        # Without capture rights the rest still works: a file replays.
        replay = self.run_as_user("--print", "summary", "--read", "/nonexistent.pcap")
        self.assertIn("pcap_open_offline 打开抓包文件失败", replay.stderr.decode("utf-8"))

    def capture_own_datagrams(self, *arguments):
        """Runs a 2-second capture as the user while this process sends datagrams to a port of
        its own; returns the finished run and the packet rows of those datagrams."""
        port_holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        port_holder.bind(("127.0.0.1", 0))
        port = port_holder.getsockname()[1]
        self.addCleanup(port_holder.close)
        stop = threading.Event()

        def send():
            # Datagrams until the capture is over: it may take a moment to attach.
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            while not stop.wait(0.05):
                sender.sendto(b"rights", ("127.0.0.1", port))
            sender.close()

        sender = threading.Thread(target=send)
        sender.start()
        try:
            done = self.run_as_user("--print", "packets", "--bind", "127.0.0.1", "--duration", "2",
                                    *arguments)
        finally:
            stop.set()
            sender.join()
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = [line.split("\t") for line in done.stdout.decode("ascii").splitlines()]
        ours = [row for row in rows if row[2] == "UDP" and row[6] == str(port)]
        self.assertTrue(ours, "no datagram to the test's port was listed")
        self.assertTrue(all(row[8] == "rights" for row in ours))
        return done, ours

    def test_with_file_capabilities_an_ordinary_user_captures(self):
        subprocess.run(["setcap", "cap_net_raw,cap_net_admin+eip", str(self.program)], check=True)
        self.capture_own_datagrams()
        # Without the eBPF capabilities, attribution says it falls back to the socket tables;
        # another user's process is not its to see there.
        done, ours = self.capture_own_datagrams("--attribute")
        self.assertIn("attribution: socket tables (no permission", done.stderr.decode("utf-8"))
        self.assertEqual({row[10] for row in ours}, {"-1"})

    def test_with_the_ebpf_capabilities_kernel_events_name_other_users_processes(self):
        subprocess.run(["setcap", "cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip",
                        str(self.program)], check=True)
        done, ours = self.capture_own_datagrams("--attribute")
        self.assertIn("attribution: kernel events\n", done.stderr.decode("utf-8"))
        self.assertEqual({row[10] for row in ours}, {str(os.getpid())})


if __name__ == "__main__":
    unittest.main()
