#!/usr/bin/env python3
"""Whether ravelin names short-lived clients as the owners of their packets.

While `ravelin --print packets --attribute --bind 127.0.0.1 [--attribution MODE]` runs, one
after another:
  curl     CLIENTS curl processes each fetch a 6-byte file from `python3 -m http.server` on
           127.0.0.1 (curl -w '%{local_port}' tells its local port);
  py tcp   CLIENTS python processes each fetch the same file over a plain TCP socket and print
           their local port (getsockname) and pid;
  py udp   CLIENTS python processes each send 3 UDP datagrams to a sink socket of this script
           on 127.0.0.1, print their local port and pid, and exit.
For comparison, one long-lived process:
  py 1 proc  one python process makes CLIENTS fetches like py tcp's, one after another, 50 ms
           apart (figures per connection, all with the one pid).
With --bind 127.0.0.1 every loopback packet's source is the bound address, so its local port
is its source port and its owner must be its sender. For each group: the clients' packets
(source port = the client's port, destination = the server or sink), the share of them that
name the client's own pid, how many clients had no packet naming their pid, and where the
misses were (the client's first packet, its last, or between) with the owners given instead.
The server's own packets are counted the same way. The run is done with --attribution tables
and then events; a mode the program cannot run is reported with its message and skipped.

Usage (root; the machine may be shared, so only ratios from one run mean much):
    bench/short_lived.py [--ravelin PATH] [--clients 30] [--modes tables,events]
All traffic stays on 127.0.0.1; every process started here is stopped before the end.
"""
import argparse
import collections
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from ravelin_harness import Child, HttpServer, ravelin_binary, send_until_listed  # noqa: E402

BODY = b"sixby\n"

TCP_CLIENT = r"""
import os, socket, sys
port = int(sys.argv[1])
s = socket.create_connection(("127.0.0.1", port), timeout=10)
print(s.getsockname()[1], os.getpid(), flush=True)
s.sendall(b"GET /six.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
reply = b""
while chunk := s.recv(65536):
    reply += chunk
s.close()
sys.exit(0 if reply.endswith(b"sixby\n") else 1)
"""

KEEPER = r"""
import os, socket, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    print(s.getsockname()[1], os.getpid(), flush=True)
    s.sendall(b"GET /six.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
    while s.recv(65536):
        pass
    s.close()
    time.sleep(0.05)  # the gap between two fetches of the long-lived process
"""

UDP_CLIENT = r"""
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
for i in range(3):
    s.sendto(b"short-lived %d" % i, ("127.0.0.1", int(sys.argv[1])))
print(s.getsockname()[1], os.getpid(), flush=True)
"""


def run_client(argv):
    """Runs one client to its end; returns (its pid, its stdout)."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise RuntimeError(f"{argv[0]} did not finish in 30 s")
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[:3]} failed ({proc.returncode}): {err!r}")
    return proc.pid, out.decode().strip()


def packet_rows(text):
    """(protocol, source port, destination port, owner) per complete attributed line."""
    rows = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) == 11 and fields[2] in ("TCP", "UDP"):  # ICMP lines have no ports
            rows.append((fields[2], int(fields[4]), int(fields[6]), int(fields[10])))
    return rows


def one_mode(ravelin, mode, clients):
    """Runs every group under one ravelin; returns (message or None, {group: figures})."""
    server = HttpServer({"six.txt": BODY})
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    sink_port = sink.getsockname()[1]
    marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    marker.bind(("127.0.0.1", 0))
    capture = Child([ravelin, "--config", os.devnull, "--print", "packets", "--attribute",
                     "--bind", "127.0.0.1", "--attribution", mode, "--duration", "300"])
    try:
        capture.wait_for(lambda o, e: "attribution:" in e or capture.proc.poll() is not None,
                         30, "ravelin's attribution line")
        time.sleep(0.2)  # a refusal comes right after that line
        if capture.proc.poll() is not None:
            capture.stop()
            return capture.err.decode(errors="replace").strip(), {}

        def listed(text):
            send_until_listed(capture, lambda: marker.sendto(text.encode(),
                                                             ("127.0.0.1", sink_port)), text)
        listed("short-lived-bench-start")

        groups = collections.OrderedDict()
        url = server.url("six.txt")
        groups["curl"] = [(pid, int(out)) for pid, out in (
            run_client(["curl", "-sS", "--max-time", "10", "-o", os.devnull,
                        "-w", "%{local_port}", url]) for _ in range(clients))]
        for name, script, target in [("py tcp", TCP_CLIENT, server.port),
                                     ("py udp", UDP_CLIENT, sink_port)]:
            groups[name] = []
            for _ in range(clients):
                pid, out = run_client([sys.executable, "-c", script, str(target)])
                port, reported = (int(x) for x in out.split())
                if reported != pid:
                    raise RuntimeError(f"{name}: pid {reported} is not the child {pid}")
                groups[name].append((pid, port))
        pid, out = run_client([sys.executable, "-c", KEEPER, str(server.port), str(clients)])
        groups["py 1 proc"] = [(pid, int(line.split()[0])) for line in out.splitlines()]
        listed("short-lived-bench-end")
        capture.stop(signal.SIGINT)
        mode_line = next((line for line in capture.err.decode(errors="replace").splitlines()
                          if line.startswith("attribution:")), "")
        rows = packet_rows(capture.out.decode("ascii"))
        server_pid = server.child.proc.pid
    finally:
        capture.close()
        server.close()
        sink.close()
        marker.close()

    results = collections.OrderedDict()
    for name, members in groups.items():
        protocol, target = ("UDP", sink_port) if name == "py udp" else ("TCP", server.port)
        packets = owned = without = silent = 0
        where = collections.Counter()
        wrong = collections.Counter()
        for pid, port in members:
            mine = [r for r in rows if r[0] == protocol and r[1] == port and r[2] == target]
            hits = [r[3] == pid for r in mine]
            packets += len(mine)
            owned += sum(hits)
            silent += not mine
            without += bool(mine) and not any(hits)
            for index, (hit, r) in enumerate(zip(hits, mine)):
                if not hit:
                    place = "first" if index == 0 else "last" if index == len(mine) - 1 \
                        else "between"
                    where[place] += 1
                    wrong["none" if r[3] == -1 else "other pid"] += 1
        results[name] = dict(clients=len(members), packets=packets, owned=owned,
                             without=without, silent=silent, where=where, wrong=wrong)
    mine = [r for r in rows if r[0] == "TCP" and r[1] == server.port]
    results["http.server"] = dict(
        clients=1, packets=len(mine), owned=sum(r[3] == server_pid for r in mine),
        without=int(bool(mine) and not any(r[3] == server_pid for r in mine)), silent=int(not mine),
        where=collections.Counter(), wrong=collections.Counter(
            "none" if r[3] == -1 else "other pid" for r in mine if r[3] != server_pid))
    return mode_line, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ravelin", default=os.environ.get("RAVELIN") or ravelin_binary())
    parser.add_argument("--clients", type=int, default=30, help="clients per group")
    parser.add_argument("--modes", default="tables,events")
    options = parser.parse_args()
    modes = options.modes.split(",")
    if options.clients < 1 or any(m not in ("auto", "events", "tables") for m in modes):
        parser.error("--clients must be positive and --modes a list of auto, events, tables")
    if os.geteuid() != 0:
        sys.exit("short_lived.py: live capture on lo needs root")
    if not options.ravelin or not os.access(options.ravelin, os.X_OK):
        sys.exit("short_lived.py: no ravelin binary; build it or pass --ravelin")
    started = time.monotonic()
    print(f"ravelin: {options.ravelin}; {options.clients} clients per group; "
          f"load average {os.getloadavg()[0]:.2f}; {os.cpu_count()} CPUs", flush=True)
    for mode in modes:
        mode_started = time.monotonic()
        line, results = one_mode(options.ravelin, mode, options.clients)
        print(f"== --attribution {mode}")
        for text in line.splitlines():
            print(f"   {text}")
        if not results:
            print("   skipped: the program did not run in this mode")
            continue
        print(f"   {'group':12} {'clients':>7} {'packets':>7} {'own pid':>8} {'no own pid':>10} "
              f"{'no packets':>10}  misses")
        for name, r in results.items():
            share = f"{100 * r['owned'] / r['packets']:.1f}%" if r["packets"] else "-"
            misses = ", ".join(f"{k} {v}" for k, v in sorted(r["where"].items()))
            wrong = ", ".join(f"{k} {v}" for k, v in sorted(r["wrong"].items()))
            detail = "; ".join(part for part in (misses, wrong) if part) or "-"
            print(f"   {name:12} {r['clients']:7} {r['packets']:7} {share:>8} {r['without']:10} "
                  f"{r['silent']:10}  {detail}")
        print(f"   ({time.monotonic() - mode_started:.0f} s)", flush=True)
    print("own pid: the share of the group's packets naming their own client; no own pid: "
          "clients none of whose packets named them (connections, for py 1 proc); misses: the "
          "place of a missed packet in its client's packets, and what was named instead")
    print(f"took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
