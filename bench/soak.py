#!/usr/bin/env python3
"""Soak run: live capture on loopback at a steady rate, with HTTP traffic, for a while.

Runs as root. Starts `python3 -m http.server` on 127.0.0.1, then `ravelin --print packets
--print summary --bind 127.0.0.1` for DURATION seconds, while this script fetches from the server
(a new connection per request) and sends UDP datagrams to a port of its own on 127.0.0.1, both at
steady rates. Every 10 s it samples ravelin's resident memory and CPU time and the rows listed so
far. At the end it prints the samples, the kernel's drop count and the CPU per 1,000 packets.

    sudo python3 bench/soak.py [--duration 600] [--requests-per-second 20] [--udp-per-second 500]
"""
import argparse
import http.client
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def resident_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--duration", type=float, default=600)
    parser.add_argument("--requests-per-second", type=float, default=20)
    parser.add_argument("--udp-per-second", type=float, default=500)
    parser.add_argument("--ravelin", default="build/release/src/ravelin")
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="ravelin-soak-"))
    (work / "page.html").write_bytes(b"<html>" + b"x" * 20000 + b"</html>")
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind",
                               "127.0.0.1", "--directory", str(work)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)

    rows_file = work / "rows.txt"
    with rows_file.open("wb") as rows_out, (work / "stderr.txt").open("wb") as errors:
        ravelin = subprocess.Popen([options.ravelin, "--print", "packets", "--print", "summary",
                                    "--bind", "127.0.0.1", "--config", os.devnull,
                                    "--duration", str(options.duration)],
                                   stdout=rows_out, stderr=errors)
        stop = threading.Event()
        sent = {"requests": 0, "datagrams": 0}

        def fetch():
            period = 1 / options.requests_per_second
            next_time = time.monotonic()
            while not stop.is_set():
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                connection.request("GET", "/page.html?n=%d" % sent["requests"])
                connection.getresponse().read()
                connection.close()
                sent["requests"] += 1
                next_time += period
                stop.wait(max(0, next_time - time.monotonic()))

        def blast():
            period = 1 / options.udp_per_second
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            target = ("127.0.0.1", free_port())
            next_time = time.monotonic()
            while not stop.is_set():
                sender.sendto(b"soak %d" % sent["datagrams"], target)
                sent["datagrams"] += 1
                next_time += period
                stop.wait(max(0, next_time - time.monotonic()))

        workers = [threading.Thread(target=fetch), threading.Thread(target=blast)]
        for worker in workers:
            worker.start()
        samples = []
        started = time.monotonic()
        while ravelin.poll() is None:
            time.sleep(10)
            if ravelin.poll() is not None:
                break
            rows_out.flush()
            with rows_file.open("rb") as listed:
                rows = sum(chunk.count(b"\n") for chunk in iter(lambda: listed.read(1 << 20), b""))
            samples.append((time.monotonic() - started, rows, resident_kib(ravelin.pid),
                            cpu_seconds(ravelin.pid)))
        stop.set()
        for worker in workers:
            worker.join()
    server.terminate()
    server.wait()

    print("seconds  rows      rss_KiB  cpu_s")
    for seconds, rows, rss, cpu in samples:
        print(f"{seconds:7.0f}  {rows:8d}  {rss:7d}  {cpu:6.2f}")
    summary = rows_file.read_bytes().splitlines()[-1].decode()
    print("summary:", summary)
    print("stderr:", (work / "stderr.txt").read_text().strip())
    print(f"sent: {sent['requests']} requests, {sent['datagrams']} datagrams")
    if samples and samples[-1][1] > 0:
        first, last = samples[0], samples[-1]
        growth = (last[2] - first[2]) * 1024 / max(1, last[1] - first[1])
        print(f"memory growth per row listed: {growth:.0f} bytes")
        print(f"cpu per 1000 packets: {1000 * last[3] / last[1] * 1000:.1f} ms")


if __name__ == "__main__":
    main()
