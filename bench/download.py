#!/usr/bin/env python3
"""What a live capture drops while a 2 GiB download runs over loopback.

curl fetches a 2 GiB sparse file from `python3 -m http.server` on 127.0.0.1 while each capture
under test listens on lo (`ravelin --print summary --bind 127.0.0.1`, or tcpdump -Q in with the
same 32 MiB buffer, writing to /dev/null or to a file); the capture's own counters give what the
kernel saw for it (its drops included, as Linux counts them) and what it dropped. A capture is
stopped once it has gone idle: Ravelin gives its counters only after it has listed what it had
received. With several binaries the runs alternate between them, so that one run's figures
compare them.

Usage (root):  bench/download.py [--runs 3] [--gib 2] [--tcpdump] RAVELIN [RAVELIN...]
All traffic stays on 127.0.0.1; every process started here is stopped before the end.
"""
import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from process_cpu import wait_idle  # beside this script


# The kernel buffer of Ravelin's capture helper, in KiB, which tcpdump is given too.
BUFFER_KIB = 32768


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, limit=10):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the web server did not start")


def one_run(command, url, counts_pattern):
    # What an earlier run wrote (a spool, tcpdump's file) is on disk before this one starts:
    # otherwise its write-back competes with this run's capture and decides its drops.
    os.sync()
    capture = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(2)  # set-up, helper and kernel programs included
    started = time.monotonic()
    subprocess.run(["curl", "-s", "-o", "/dev/null", url], check=True)
    seconds = time.monotonic() - started
    time.sleep(1)  # what is queued gets listed
    wait_idle(capture.pid, 120)
    capture.send_signal(signal.SIGINT)
    err = capture.communicate(timeout=120)[1].decode("utf-8", "replace")
    found = re.search(counts_pattern, err, re.DOTALL)
    if not found:
        raise RuntimeError(f"no counters from {command[0]}: {err}")
    received, dropped = int(found.group(1)), int(found.group(2))
    if "captured" in counts_pattern:
        # tcpdump counts what it kept and what the kernel dropped; its "received by filter"
        # also counts the outgoing copies that -Q in then skips.
        received += dropped
    return received, dropped, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--gib", type=float, default=2)
    parser.add_argument("--tcpdump", action="store_true",
                        help="also run tcpdump -Q in with Ravelin's buffer, to /dev/null and "
                             "to a file")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root, to capture")
    if not Path(os.devnull).is_char_device():
        print(f"warning: {os.devnull} is not a device here: curl and tcpdump write into a file",
              flush=True)

    with tempfile.TemporaryDirectory(prefix="ravelin-download-") as directory:
        big = Path(directory) / "big.bin"
        with big.open("wb") as f:
            f.truncate(int(args.gib * (1 << 30)))
        port = free_port()
        server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind",
                                   "127.0.0.1", "--directory", directory],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for_port(port)
            url = f"http://127.0.0.1:{port}/big.bin"
            # An empty file of its own, not /dev/null: where /dev/null has become a plain file,
            # curl writes the download into it and Ravelin reads it again at every batch.
            config = Path(directory) / "empty.ini"
            config.touch()
            captures = [(b, [b, "--config", str(config), "--print", "summary", "--bind",
                             "127.0.0.1"], r"capture: received=(\d+) dropped=(\d+)")
                        for b in args.binaries]
            if args.tcpdump:
                # The same kernel buffer as Ravelin's helper and, like it on lo, only the
                # incoming copy of each packet; once writing nowhere, once keeping every frame in
                # a file as Ravelin keeps them in its spool.
                counts = r"(\d+) packets? captured.*?(\d+) packets? dropped by kernel"
                for name, target in (("tcpdump", "/dev/null"),
                                     ("tcpdump to a file", str(Path(directory) / "kept.pcap"))):
                    # -Z root: tcpdump would open the file as its own user otherwise.
                    command = ["tcpdump", "-Z", "root", "-i", "lo", "-Q", "in",
                               "-B", str(BUFFER_KIB), "-w", target, "tcp", "port", str(port)]
                    captures.append((name, command, counts))
            results = {name: [] for name, _, _ in captures}
            for run in range(args.runs):
                for name, command, pattern in captures:
                    received, dropped, seconds = one_run(command, url, pattern)
                    results[name].append((received, dropped, seconds))
                    print(f"run {run + 1} {name}: received={received} dropped={dropped} "
                          f"({100 * dropped / max(received, 1):.2f}%), download "
                          f"{seconds:.2f} s", flush=True)
            print("\nmedian drop share per capture:")
            for name, rows in results.items():
                shares = sorted(100 * d / max(r, 1) for r, d, _ in rows)
                print(f"  {name}: {shares[len(shares) // 2]:.2f}% "
                      f"(runs: {', '.join(f'{x:.2f}' for x in shares)})")
        finally:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
