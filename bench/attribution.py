#!/usr/bin/env python3
"""How well and at what cost ravelin attributes live loopback packets to processes.

1. Accuracy: 20 curl processes fetch a 1 MB file from `python3 -m http.server` on 127.0.0.1
   while `ravelin --print packets --attribute --bind 127.0.0.1` runs, with tcpdump beside it
   for the TCP flags the packet lines do not show. On loopback every packet's source is the
   bound address, so its owner must be its sender: for each curl, the share of its packets
   (source port = its local port) that name its pid; for the server, the share of its packets
   that name its pid. Every miss is listed with its flags and its place in the connection.
2. Cost: a python sender sends UDP datagrams to a socket nobody reads, paced and then as fast
   as it can, while ravelin runs with the filter on (--pid <sender>) and with every process
   selected (no lookups); CPU seconds (from wait4) per 1000 packets and packets listed per
   second. The lo interface's packet counter tells how many packets were offered to the capture.

Usage (root; the machine may be shared, so only ratios from one run mean much):
    bench/attribution.py [--ravelin PATH] [--fetches 20] [--rate 5000] [--seconds 5]
                         [--part both|accuracy|cost]
All traffic stays on 127.0.0.1; every process started here is stopped before the end.
"""
import argparse
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from ravelin_harness import Child, lo_packets, quiet_udp_port, ravelin_binary, wait_until  # noqa: E402,E501

BODY_BYTES = 1_000_000

SENDER = r"""
import socket, sys, time
sink, rate, seconds, port = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", port))
target = ("127.0.0.1", sink)
print("ready", flush=True)
while True:
    command = sys.stdin.readline().strip()
    if command in ("probe", "end"):
        s.sendto(b"ravelin-bench-" + command.encode(), target)
        print("ok", flush=True)
    elif command == "go":
        payload, sent = b"x" * 32, 0
        start = time.monotonic()
        while (now := time.monotonic()) < start + seconds:
            due = int((now - start) * rate) + 1 if rate > 0 else sent + 256
            while sent < due:
                s.sendto(payload, target)
                sent += 1
        print(sent, flush=True)
    else:
        break
"""


def packet_lines(text):
    """(protocol, source port, destination port, length, data, owner) per complete line."""
    rows = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) >= 10:
            owner = int(fields[10]) if len(fields) == 11 else None
            rows.append((fields[2], fields[4], fields[6], int(fields[7]), fields[8], owner))
    return rows


def tcpdump_flags(pcap):
    """(source port, destination port) -> [(flags, length)] in capture order."""
    out = subprocess.run(["tcpdump", "-nn", "-r", str(pcap), "tcp"], capture_output=True,
                         text=True, timeout=120).stdout
    flows = {}
    for line in out.splitlines():
        m = re.search(r"\.(\d+) > [\d.]+\.(\d+): Flags \[([^\]]*)\].* length (\d+)", line)
        if m:
            flows.setdefault((m.group(1), m.group(2)), []).append((m.group(3), int(m.group(4))))
    return flows


def accuracy(ravelin, fetches, work):
    print(f"== accuracy: {fetches} curl fetches of {BODY_BYTES} bytes", flush=True)
    Path(work, "body.bin").write_bytes(random.Random(5).randbytes(BODY_BYTES))
    server = Child([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                    "--directory", str(work)])
    children = [server]
    try:
        port = server.wait_for(lambda o, e: re.search(r"port (\d+)", o), 20, "http.server")
        port = port.group(1)
        pcap = Path(work, "lo.pcap")
        dump = Child(["tcpdump", "-i", "lo", "-n", "-U", "-w", str(pcap), f"tcp port {port}"])
        children.append(dump)
        dump.wait_for(lambda o, e: "listening on" in e, 30, "tcpdump")
        capture = Child([ravelin, "--config", os.devnull, "--print", "packets", "--attribute",
                         "--bind", "127.0.0.1", "--duration", "300"])
        children.append(capture)
        probe_port = quiet_udp_port()
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", probe_port))
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 0))

        def listed(marker):
            def seen():
                probe.sendto(marker, sink.getsockname())
                try:
                    capture.wait_for(lambda o, e: marker.decode() in o, 1, "marker")
                    return True
                except AssertionError:
                    return False
            wait_until(seen, 60, f"ravelin to list {marker!r}")
        listed(b"ravelin-bench-start")

        curls = []
        for _ in range(fetches):
            proc = subprocess.Popen(["curl", "-sS", "--max-time", "30", "-o", os.devnull,
                                     "-w", "%{local_port}", f"http://127.0.0.1:{port}/body.bin"],
                                    stdout=subprocess.PIPE)
            started = time.monotonic()
            out, _ = proc.communicate(timeout=60)
            if proc.returncode != 0:
                raise RuntimeError(f"curl failed ({proc.returncode})")
            curls.append((proc.pid, out.decode(), time.monotonic() - started))
        listed(b"ravelin-bench-end")
        capture.stop(signal.SIGINT)
        dump.stop(signal.SIGINT)
        probe.close()
        sink.close()
        rows = packet_lines(capture.out.decode("ascii"))
        flows = tcpdump_flags(pcap)
    finally:
        for child in children:
            child.close()

    shares, misses = [], []
    for pid, cport, lifetime in curls:
        owners = [r for r in rows if r[0] == "TCP" and (r[1], r[2]) == (cport, port)]
        flags = flows.get((cport, port), [])
        shares.append(sum(r[5] == pid for r in owners) / len(owners))
        missed = [(i, r) for i, r in enumerate(owners) if r[5] != pid]
        if missed and len(missed) == len(owners):
            # ravelin reached the SYN only after curl had closed its socket (the lookup finds
            # no file), so nothing was learnt for the later packets either.
            misses.append(f"curl {pid}: all {len(owners)} packets (owners "
                          f"{sorted({r[5] for _, r in missed})}); curl ran {1000 * lifetime:.0f} ms")
        for index, r in missed if len(missed) < len(owners) else []:
            flag = flags[index][0] if len(flags) == len(owners) else "?"
            misses.append(f"curl {pid}: packet {index + 1}/{len(owners)} [{flag}] "
                          f"len {r[3]} owner {r[5]}")
    server_rows = [r for r in rows if r[0] == "TCP" and r[1] == port]
    server_pid = server.proc.pid
    server_share = sum(r[5] == server_pid for r in server_rows) / len(server_rows)
    for r in server_rows:
        if r[5] != server_pid:
            misses.append(f"server: to port {r[2]} len {r[3]} owner {r[5]}")
    packets = sum(len([r for r in rows if r[1] == c]) for _, c, _ in curls)
    print(f"curl packets {packets} ({packets / fetches:.1f} per fetch); "
          f"server packets {len(server_rows)}")
    print(f"curl share with own pid: min {min(shares):.4f} median {statistics.median(shares):.4f}")
    print(f"server share with own pid: {server_share:.4f}")
    lifetimes = sorted(1000 * t for _, _, t in curls)
    print(f"curl process lifetime: min {lifetimes[0]:.0f} ms, median "
          f"{statistics.median(lifetimes):.0f} ms")
    print(f"misses: {len(misses)}")
    for miss in misses:
        print("  " + miss)


def cost_run(ravelin, mode, rate, seconds, sink_port):
    """One sender run under one ravelin; returns a dict of measurements."""
    sender_port = quiet_udp_port()
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(sink_port), str(rate),
                               str(seconds), str(sender_port)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)

    def command(text):
        sender.stdin.write(text + "\n")
        sender.stdin.flush()
        return sender.stdout.readline().strip()
    ravelin_proc = None
    out = tempfile.NamedTemporaryFile(prefix="ravelin-cost-", delete=False)
    try:
        if sender.stdout.readline().strip() != "ready":
            raise RuntimeError("the sender did not start")
        args = {"all": [], "attribute": ["--attribute"], "pid": ["--pid", str(sender.pid)]}[mode]
        # Packet lines show when the capture runs and when it has drained; every mode pays the
        # same per listed line.
        ravelin_proc = subprocess.Popen([ravelin, "--config", os.devnull, "--print", "packets",
                                         "--print", "summary", "--bind", "127.0.0.1",
                                         "--duration", str(seconds + 120), *args], stdout=out)

        def listed(marker):
            # Only the sender's own datagrams are listed under --pid, so it sends the markers.
            return lambda: command(marker) == "ok" and f"ravelin-bench-{marker}".encode() in \
                Path(out.name).read_bytes()[-65536:]
        wait_until(listed("probe"), 30, "the probe row")
        before = lo_packets()
        sent = int(command("go"))
        wait_until(listed("end"), 120, "the end marker")
        offered = lo_packets() - before
        ravelin_proc.send_signal(signal.SIGINT)
        _, status, usage = os.wait4(ravelin_proc.pid, 0)
        ravelin_proc.returncode = os.waitstatus_to_exitcode(status)
        command("stop")
        text = Path(out.name).read_text("ascii")
    finally:
        if ravelin_proc is not None and ravelin_proc.poll() is None:
            ravelin_proc.kill()
            ravelin_proc.wait()
        sender.kill()
        sender.wait()
        os.unlink(out.name)
    summary = re.search(r"packets=(\d+) http=\d+ seconds=([\d.]+)", text)
    sender_rows = sum(1 for r in packet_lines(text)
                      if r[1] == str(sender_port) and r[4] == "x" * 32)
    return {"mode": mode, "sent": sent, "offered": offered, "listed": int(summary.group(1)),
            "sender_listed": sender_rows, "cpu": usage.ru_utime + usage.ru_stime}


def cost(ravelin, rate, seconds):
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # nobody reads it; keep it small
    try:
        for label, pace in [(f"paced {rate:.0f}/s", rate), ("as fast as possible", 0)]:
            print(f"== cost, {label}, {seconds} s per run", flush=True)
            print(f"{'mode':10} {'sent':>8} {'lo pkts':>8} {'listed':>8} {'sender%':>8} "
                  f"{'sender/s':>9} {'cpu s':>7} {'ms/1000 listed':>15} {'ms/1000 lo':>11}")
            results = {}
            for mode in ["all", "attribute", "pid"]:
                r = cost_run(ravelin, mode, pace, seconds, sink.getsockname()[1])
                results[mode] = r
                # The capture buffer is bounded, so what is not listed during the sending
                # seconds (and the short drain after) is dropped, not queued.
                per_second = r["sender_listed"] / seconds
                print(f"{mode:10} {r['sent']:8} {r['offered']:8} {r['listed']:8} "
                      f"{100 * r['sender_listed'] / r['sent']:7.1f}% {per_second:9.0f} "
                      f"{r['cpu']:7.2f} {1e6 * r['cpu'] / max(1, r['listed']):15.3f} "
                      f"{1e6 * r['cpu'] / max(1, r['offered']):11.3f}", flush=True)
            a, p = results["all"], results["pid"]
            print(f"filter on / every process selected: CPU per 1000 sender packets listed "
                  f"{(p['cpu'] / max(1, p['sender_listed'])) / (a['cpu'] / max(1, a['sender_listed'])):.2f}x; "
                  f"sender packets listed per second "
                  f"{p['sender_listed'] / max(1, a['sender_listed']):.2f}x")
    finally:
        sink.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ravelin", default=os.environ.get("RAVELIN") or ravelin_binary())
    parser.add_argument("--fetches", type=int, default=20)
    parser.add_argument("--rate", type=float, default=5000)
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--part", choices=["both", "accuracy", "cost"], default="both")
    args = parser.parse_args()
    if args.seconds <= 0 or args.rate <= 0 or args.fetches < 1:
        parser.error("--seconds, --rate and --fetches must be positive")
    if os.geteuid() != 0:
        sys.exit("attribution.py: live capture on lo needs root")
    if not args.ravelin or not os.access(args.ravelin, os.X_OK):
        sys.exit("attribution.py: no ravelin binary; build it or pass --ravelin")
    print(f"ravelin: {args.ravelin}; load average {os.getloadavg()[0]:.2f}; "
          f"{os.cpu_count()} CPUs", flush=True)
    if args.part != "cost":
        with tempfile.TemporaryDirectory(prefix="ravelin-attr-bench-") as work:
            accuracy(args.ravelin, args.fetches, work)
    if args.part != "accuracy":
        cost(args.ravelin, args.rate, args.seconds)


if __name__ == "__main__":
    main()
