#!/usr/bin/env python3
"""Whether ravelin names the right owner, or none, for programs that are hard to attribute.

While `ravelin --print packets --attribute --bind 127.0.0.1 --attribution MODE` runs, one
scenario after another, each against its own server on 127.0.0.1:
  sequential  one process makes CONNECTIONS short HTTP fetches one after another, at once
              (as wget --recursive does);
  threads     one process fetches with 8 threads, CONNECTIONS fetches in all;
  wget        wget --recursive of a site of 60 linked pages (where wget is installed);
  forking     a server that forks a child per connection (socketserver's ForkingTCPServer);
              each child answers with its own pid, so the owner of every data packet it
              sends is known; the listening parent never sends data;
  udp reuse   15 times, a process binds a UDP port, sends 3 datagrams naming its pid and
              exits, and a second process binds the same port at once and does the same.
  ipv6 clients  over ::1, in a capture of its own (`--bind ::1`): CONNECTIONS curl processes
              that each fetch one short page from a server on [::1] and exit, one after
              another, and as many python processes that each send 3 UDP datagrams from an
              unbound socket and exit; also counts the clients none of whose packets is named
              after them.
On loopback every packet's source is the bound address, so its owner is its sender. For each
scenario: the packets whose owner is known, and the shares that name their own pid, -1, or a
wrong pid (any other). A wrong pid is the fault to avoid; -1 is honest.

Usage (root; the machine may be shared, so only figures from one run compare well):
    bench/owner_scenarios.py [--ravelin PATH] [--connections 50] [--modes tables,events]
                             [--only NAME[,NAME...]]
All traffic stays on 127.0.0.1 and ::1; every process started here is stopped before the end.
"""
import argparse
import collections
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from ravelin_harness import (FETCHER, FORKING_SERVER, UDP_SENDER, Child, HttpServer,  # noqa: E402
                             quiet_udp_port, ravelin_binary, send_until_listed)

def rows_of(text):
    """(protocol, source port, destination port, length, data, owner) per attributed line."""
    rows = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) == 11 and fields[2] in ("TCP", "UDP"):
            rows.append((fields[2], int(fields[4]), int(fields[6]), int(fields[7]), fields[8],
                         int(fields[10])))
    return rows


def run(argv, timeout=120):
    done = subprocess.run(argv, capture_output=True, timeout=timeout)
    if done.returncode not in (0, 8):  # wget says 8 for a link it could not follow
        raise RuntimeError(f"{argv[:3]} failed ({done.returncode}): {done.stderr[-300:]!r}")
    return done


class Scenarios:
    """Each scenario runs its traffic and returns a function that, given the rows, yields
    (expected owner, named owner) per packet whose owner is known."""

    def __init__(self, connections):
        self.connections = connections
        self.pages = {f"page{i}.html": (f"<html>page {i} " + "".join(
            f'<a href="page{j}.html">{j}</a> ' for j in (i + 1, i + 2) if j < 60) +
            "</html>").encode() for i in range(60)}
        # A server of each scenario's own, so that its port tells its packets apart; all made
        # before the capture starts, for their readiness probes are not the scenarios' traffic.
        self.servers = [HttpServer(self.pages) for _ in range(3)]

    def close(self):
        for server in self.servers:
            server.close()

    def _fetcher(self, threads):
        server = self.servers[threads > 1].port
        proc = subprocess.Popen([sys.executable, "-c", FETCHER, str(server),
                                 str(self.connections), str(threads)], stdout=subprocess.PIPE)
        out, _ = proc.communicate(timeout=120)
        ports = {int(p) for p in out.split()}
        pid = proc.pid
        return lambda rows: [(pid, r[5]) for r in rows
                             if r[0] == "TCP" and r[1] in ports and r[2] == server]

    def sequential(self):
        return self._fetcher(1)

    def threads(self):
        return self._fetcher(8)

    def wget(self):
        if shutil.which("wget") is None:
            return None
        site = self.servers[2]
        with tempfile.TemporaryDirectory() as target:
            proc = subprocess.Popen(["wget", "-q", "-r", "-l", "inf", "-P", target,
                                     site.url("page0.html")])
            proc.wait(timeout=120)
        pid, server = proc.pid, site.port
        # The server's port is the destination of every packet wget sends.
        return lambda rows: [(pid, r[5]) for r in rows if r[0] == "TCP" and r[2] == server]

    def forking(self):
        child = Child([sys.executable, "-u", "-c", FORKING_SERVER])
        try:
            port, parent = (int(x) for x in child.wait_for(
                lambda o, e: re.match(r"(\d+) (\d+)\n", o), 20, "the forking server").groups())
            for _ in range(30):
                with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                    s.sendall(b"hello\n")
                    while s.recv(4096):
                        pass
        finally:
            child.close()

        def judge(rows):
            # Each child's data packet names it; the parent never sends data.
            out = []
            for r in rows:
                if r[0] == "TCP" and r[1] == port and r[3] > 0 and r[4].startswith("child-pid="):
                    out.append((int(r[4].split("=")[1].split("\\")[0]), r[5]))
            return out
        judge.parent = parent
        return judge

    def udp_reuse(self):
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 0))
        sink_port = sink.getsockname()[1]
        port = quiet_udp_port()
        try:
            for _ in range(30):
                run([sys.executable, "-c", UDP_SENDER, str(port), str(sink_port)])
        finally:
            sink.close()
        return lambda rows: [(int(r[4].split("=")[1]), r[5]) for r in rows
                             if r[0] == "UDP" and r[1] == port and r[4].startswith("udp-pid=")]


NAMES = ["sequential", "threads", "wget", "forking", "udp_reuse", "ipv6_clients"]

UDP6_CLIENT = r"""
import os, socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
for _ in range(3):
    s.sendto(b"udp6-pid=%d" % os.getpid(), ("::1", int(sys.argv[1])))
"""


def ipv6_clients(ravelin, mode, connections):
    """The ipv6 clients scenario in a capture of its own on ::1: (packet counts, clients
    without an owner, clients)."""
    root = tempfile.mkdtemp(prefix="ravelin-bench6-")
    Path(root, "page.html").write_bytes(b"<html>" + b"short " * 50 + b"</html>")
    server = Child([sys.executable, "-u", "-m", "http.server", "0", "--bind", "::1",
                    "--directory", root])
    sink = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    sink.bind(("::1", 0))
    sink_port = sink.getsockname()[1]
    capture = None
    try:
        port = int(server.wait_for(lambda o, e: re.search(r"port (\d+)", o), 20,
                                   "http.server on ::1").group(1))
        capture = Child([ravelin, "--config", os.devnull, "--print", "packets", "--attribute",
                         "--bind", "::1", "--attribution", mode, "--duration", "600"])
        send_until_listed(capture, lambda: sink.sendto(b"ipv6-start", ("::1", sink_port)),
                          "ipv6-start")
        fetches = {}  # curl pid -> local port
        for _ in range(connections):
            curl = subprocess.Popen(["curl", "-6", "-g", "-sS", "--max-time", "20", "-o",
                                     os.devnull, "-w", "%{local_port}",
                                     f"http://[::1]:{port}/page.html"], stdout=subprocess.PIPE)
            fetches[curl.pid] = int(curl.communicate(timeout=30)[0])
        senders = set()
        for _ in range(connections):
            sender = subprocess.Popen([sys.executable, "-c", UDP6_CLIENT, str(sink_port)])
            sender.wait(30)
            senders.add(sender.pid)
        send_until_listed(capture, lambda: sink.sendto(b"ipv6-end", ("::1", sink_port)),
                          "ipv6-end")
        capture.stop(signal.SIGINT)
        rows = rows_of(capture.out.decode("ascii"))
    finally:
        if capture:
            capture.close()
        server.close()
        sink.close()
        shutil.rmtree(root, ignore_errors=True)
    pairs = {pid: [r[5] for r in rows if r[0] == "TCP" and r[1] == local and r[2] == port]
             for pid, local in fetches.items()}
    for pid in senders:
        pairs[pid] = [r[5] for r in rows
                      if r[0] == "UDP" and r[4] == f"udp6-pid={pid}"]
    counts = collections.Counter("own" if named == pid else "none" if named == -1 else "wrong"
                                 for pid, owners in pairs.items() for named in owners)
    ownerless = sum(1 for pid, owners in pairs.items() if pid not in owners)
    return counts, ownerless, len(pairs)


def one_mode(ravelin, mode, connections, names):
    scenarios = Scenarios(connections)
    marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    marker.bind(("127.0.0.1", 0))
    sink_port = quiet_udp_port()
    capture = Child([ravelin, "--config", os.devnull, "--print", "packets", "--attribute",
                     "--bind", "127.0.0.1", "--attribution", mode, "--duration", "600"])
    judges = {}
    try:
        def listed(text):
            send_until_listed(capture, lambda: marker.sendto(text.encode(),
                                                             ("127.0.0.1", sink_port)), text)
        listed("owner-scenarios-start")
        for name in names:
            judges[name] = getattr(Scenarios, name)(scenarios)
        listed("owner-scenarios-end")
        capture.stop(signal.SIGINT)
        rows = rows_of(capture.out.decode("ascii"))
    finally:
        capture.close()
        scenarios.close()
        marker.close()
    results = collections.OrderedDict()
    for name, judge in judges.items():
        if judge is None:
            continue
        pairs = judge(rows)
        results[name] = collections.Counter(
            "own" if named == expected else "none" if named == -1 else
            "parent" if named == getattr(judge, "parent", None) else "wrong"
            for expected, named in pairs)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ravelin", default=os.environ.get("RAVELIN") or ravelin_binary())
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--modes", default="tables,events")
    parser.add_argument("--only", default=",".join(NAMES))
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("owner_scenarios.py: live capture on lo needs root")
    names = options.only.split(",")
    for mode in options.modes.split(","):
        ipv4_names = [name for name in names if name != "ipv6_clients"]
        results = (one_mode(options.ravelin, mode, options.connections, ipv4_names)
                   if ipv4_names else collections.OrderedDict())
        ownerless = None
        if "ipv6_clients" in names:
            results["ipv6_clients"], ownerless, clients = ipv6_clients(
                options.ravelin, mode, options.connections)
        print(f"== --attribution {mode}")
        print(f"   {'scenario':12} {'packets':>7} {'own pid':>8} {'-1':>7} {'wrong':>7}")
        for name, counts in results.items():
            total = sum(counts.values())
            def share(*keys):
                return f"{100 * sum(counts[k] for k in keys) / total:.1f}%" if total else "-"
            wrong = share("wrong", "parent")
            if counts["parent"]:
                wrong += f" ({counts['parent']} to the parent)"
            print(f"   {name:12} {total:7} {share('own'):>8} {share('none'):>7} {wrong:>7}",
                  flush=True)
        if ownerless is not None:
            print(f"   ipv6 clients without an owner: {ownerless} of {clients}", flush=True)


if __name__ == "__main__":
    main()
