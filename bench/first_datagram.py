#!/usr/bin/env python3
"""How many captures started on a quiet loopback list the one datagram sent a second later.

Each run starts `ravelin --print packets --bind 127.0.0.1`, sends one UDP datagram to a port
nobody reads one second after the start, and looks for it among the rows once the run ends.
A capture that loses its first ring block loses that datagram. Given several binaries, the
runs alternate between them, so that one run's figures compare them.

Usage (root):  bench/first_datagram.py [--runs 20] [--delay 1.0] RAVELIN [RAVELIN...]
All traffic stays on 127.0.0.1.
"""
import argparse
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "integration"))
from ravelin_harness import RAVELIN_ENV, quiet_udp_port  # noqa: E402


def one_run(binary, delay):
    port = quiet_udp_port()
    marker = f"first-datagram-{port}".encode()
    ravelin = subprocess.Popen([binary, "--config", "/dev/null", "--print", "packets",
                                "--bind", "127.0.0.1", "--duration", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=RAVELIN_ENV)
    time.sleep(delay)  # the scenario itself: a datagram a while after the start
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(marker, ("127.0.0.1", port))
    time.sleep(0.3)  # delivery is at most 10 ms late; this is ample
    ravelin.send_signal(signal.SIGINT)
    out, _ = ravelin.communicate(timeout=30)
    return marker in out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--delay", type=float, default=1.0)
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    listed = {binary: 0 for binary in args.binaries}
    for _ in range(args.runs):
        for binary in args.binaries:
            listed[binary] += one_run(binary, args.delay)
    for binary, count in listed.items():
        print(f"{binary}: {count}/{args.runs} captures listed the first datagram")


if __name__ == "__main__":
    main()
