"""Capture rights: only the capture helper holds them, only the members of its group may run it,
and the window's own process holds none while it captures.

Runs as root: the test makes an unprivileged user and a group of its own, copies the program and
its helper to a directory that user can reach, gives the helper the mode, group and file
capabilities that start.sh and the package give it, and runs the program as that user.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from ravelin_harness import (DEADLINE, Child, child_pids, ravelin_binary, write_pcap)

NEEDED = ("setcap", "setpriv", "useradd", "userdel", "groupadd", "groupdel")
ALL_CAPTURE_RIGHTS = "cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+ep"


def effective_capabilities(pid):
    """CapEff of the process, or None once it is gone."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return None
    return next(int(line.split()[1], 16) for line in status.splitlines()
                if line.startswith("CapEff:"))


def is_capturing_helper(pid):
    """Whether the process is a capture helper that captures (not one that only probes)."""
    try:
        return (Path(f"/proc/{pid}/comm").read_text().strip() == "ravelin-capture" and
                b"--device" in Path(f"/proc/{pid}/cmdline").read_bytes())
    except OSError:
        return False


@unittest.skipUnless(os.geteuid() == 0, "making a user and setting capabilities needs root")
@unittest.skipIf([tool for tool in NEEDED if shutil.which(tool) is None], "needs " + " ".join(NEEDED))
class PrivilegesTest(unittest.TestCase):
    def setUp(self):
        self.user = f"rvtest{os.getpid()}"
        self.group = f"rvcap{os.getpid()}"
        subprocess.run(["groupadd", "--system", self.group], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["groupdel", self.group], capture_output=True)
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        self.user], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["userdel", self.user], capture_output=True)
        self.directory = Path(tempfile.mkdtemp(prefix="ravelin-rights-"))
        self.addCleanup(shutil.rmtree, self.directory, True)
        self.directory.chmod(0o755)
        self.program = self.directory / "ravelin"
        shutil.copy(ravelin_binary(), self.program)
        self.program.chmod(0o755)
        self.helper = self.directory / "ravelin-capture"
        shutil.copy(Path(ravelin_binary()).with_name("ravelin-capture"), self.helper)
        shutil.chown(self.helper, "root", self.group)
        self.helper.chmod(0o750)

    def grant(self, rights):
        subprocess.run(["setcap", rights, str(self.helper)], check=True)

    def user_command(self, *arguments, in_group=True):
        groups = ["--groups", self.group] if in_group else ["--clear-groups"]
        return ["setpriv", "--reuid", self.user, "--regid", self.user, *groups, "--inh-caps=-all",
                str(self.program), "--config", os.devnull, *arguments]

    def run_as_user(self, *arguments, in_group=True):
        return subprocess.run(self.user_command(*arguments, in_group=in_group),
                              capture_output=True, timeout=60, cwd=self.directory)

    def test_outside_the_group_capture_is_refused_by_name_and_replay_works(self):
        self.grant(ALL_CAPTURE_RIGHTS)
        done = self.run_as_user("--print", "packets", "--bind", "127.0.0.1", "--duration", "1",
                                in_group=False)
        self.assertEqual(done.returncode, 1, done.stderr)
        error = done.stderr.decode("utf-8")
        self.assertIn("members of the group ravelin", error)
        self.assertIn("sudo usermod -aG ravelin $USER", error)
        self.assertEqual(done.stdout, b"")
        capture = self.directory / "one.pcap"
        datagram = bytes.fromhex("4500001c000100004011f9d27f0000017f000001"
                                 "303900090008d7b4")
        write_pcap(capture, 12, [(1, 0, len(datagram), datagram)])
        capture.chmod(0o644)
        replay = self.run_as_user("--print", "summary", "--read", str(capture), in_group=False)
        self.assertEqual(replay.returncode, 0, replay.stderr)
        self.assertTrue(replay.stdout.startswith(b"packets=1 "), replay.stdout)

    def test_a_helper_without_its_capabilities_says_so(self):
        done = self.run_as_user("--print", "packets", "--bind", "127.0.0.1", "--duration", "1")
        self.assertEqual(done.returncode, 1, done.stderr)
        error = done.stderr.decode("utf-8")
        self.assertTrue(error.startswith("bind 绑定套接字失败\nError code: "), error)
        self.assertIn("lacks its capabilities", error)

    def capture_own_datagrams(self, *arguments):
        """Captures as a member of the group while this process sends datagrams to a port of
        its own; returns the run's standard error, the packet rows of those datagrams, and the
        effective capabilities of Ravelin and of its helper while they captured."""
        port_holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        port_holder.bind(("127.0.0.1", 0))
        port = port_holder.getsockname()[1]
        self.addCleanup(port_holder.close)
        stop = threading.Event()

        def send():
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            while not stop.wait(0.05):
                sender.sendto(b"rights", ("127.0.0.1", port))
            sender.close()

        sender = threading.Thread(target=send)
        sender.start()
        # --duration only bounds a run that the SIGINT below failed to end.
        capture = Child(self.user_command("--print", "packets", "--bind", "127.0.0.1",
                                          "--duration", str(2 * DEADLINE), *arguments),
                        cwd=self.directory)
        try:
            # The helper streams nothing before it has given up its rights, so once a datagram
            # is listed both processes are past their set-up.
            def listed(out, err):
                return capture.proc.poll() is not None or any(
                    line.split("\t")[6:9:2] == [str(port), "rights"] for line in out.splitlines())
            capture.wait_for(listed, DEADLINE, "a datagram to be listed")
            # setpriv execs Ravelin in its own process; the helper is Ravelin's child.
            helpers = [pid for pid in child_pids(capture.proc.pid) if is_capturing_helper(pid)]
            rights = {"ravelin": effective_capabilities(capture.proc.pid),
                      "helper": effective_capabilities(helpers[0]) if helpers else None}
            code = capture.stop(signal.SIGINT, DEADLINE)
        finally:
            stop.set()
            sender.join()
            capture.close()
        err = capture.err.decode("utf-8")
        self.assertEqual(code, 0, err)
        rows = [line.split("\t") for line in capture.out.decode("ascii").splitlines()]
        ours = [row for row in rows if row[2] == "UDP" and row[6] == str(port)]
        self.assertTrue(ours, "no datagram to the test's port was listed")
        self.assertTrue(all(row[8] == "rights" for row in ours))
        return err, ours, rights

    def test_a_member_captures_and_neither_process_keeps_a_right(self):
        self.grant(ALL_CAPTURE_RIGHTS)
        err, ours, rights = self.capture_own_datagrams("--attribute")
        self.assertEqual(rights, {"ravelin": 0, "helper": 0})
        # The helper's kernel events name even another user's process.
        self.assertIn("attribution: kernel events\n", err)
        self.assertEqual({row[10] for row in ours}, {str(os.getpid())})

    def test_without_the_ebpf_capabilities_the_tables_answer_as_the_user(self):
        self.grant("cap_net_raw,cap_net_admin+ep")
        err, ours, _ = self.capture_own_datagrams("--attribute")
        self.assertIn("attribution: socket tables (no permission", err)
        # Another user's process is not the user's to see in the tables.
        self.assertEqual({row[10] for row in ours}, {"-1"})


if __name__ == "__main__":
    unittest.main()
