#!/usr/bin/env python3
"""Whether ravelin names a browser's network process as the owner of a page load's packets.

`python3 -m http.server` on 127.0.0.1 serves a page with 12 resources (4 .js, 4 .css, 4 .png;
13 requests with the page, the icon being a data: URL). It answers in HTTP/1.0 and closes the
connection after each response, so every resource comes on a new, short connection. Headless
Chromium (Debian's `chromium`, a new empty profile, DevTools on a port it picks on 127.0.0.1)
starts on a blank page and runs 4 s before `ravelin --print packets --attribute --bind
127.0.0.1 --attribution MODE` starts; then the page is loaded twice, 4 s apart, each time in a
new target opened through the DevTools HTTP endpoint (PUT /json/new?URL), each load from its own
copy of the site so that the second is not answered from the cache.

The browser's packets are those to the server's port (their local port is the browser's). Per
load: how many there were, on how many connections, how many requests the server answered,
the share naming the pid of Chromium's network service process (the child whose command line
has --utility-sub-type=network.mojom.NetworkService), and what was named instead. `ss -tnp`,
sampled during each load, tells which pids really held the client sockets. The server's own
packets are counted the same way. Runs with --attribution tables and then events; a mode the
program cannot run is reported with its message and skipped.

Needs Debian's chromium: `scripts/install-deps.sh --bench` installs it.
Usage (root; the machine may be shared, so only ratios from one run mean much):
    bench/browser_load.py [--ravelin PATH] [--modes tables,events]
All traffic stays on 127.0.0.1; every process started here is stopped before the end.
"""
import argparse
import collections
import http.client
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from ravelin_harness import Child, HttpServer, ravelin_binary, wait_until  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]
NETWORK_SERVICE = "--utility-sub-type=network.mojom.NetworkService"
WARM_UP = 4.0      # seconds the browser runs before capture starts
LOAD_GAP = 4.0     # seconds between the two loads, and after the second


def png_pixel(rgb):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"\x00" + bytes(rgb))) + chunk(b"IEND", b""))


def site_files():
    """The page and its 12 resources, once named l1-* and once l2-*."""
    files = {}
    for load in (1, 2):
        head, body = [], []
        for i in range(1, 5):
            files[f"l{load}-s{i}.css"] = f"p.c{i} {{ color: #{i}{i}{i}; }}\n".encode()
            files[f"l{load}-a{i}.js"] = f"window.a{i} = {i};\n".encode()
            files[f"l{load}-p{i}.png"] = png_pixel((60 * i, 40, 200))
            head.append(f'<link rel="stylesheet" href="l{load}-s{i}.css">')
            head.append(f'<script src="l{load}-a{i}.js"></script>')
            body.append(f'<p class="c{i}"><img src="l{load}-p{i}.png" width="8" height="8"></p>')
        files[f"l{load}.html"] = (
            '<!doctype html><html><head><meta charset="utf-8"><link rel="icon" href="data:,">'
            + "".join(head) + "<title>load</title></head><body>" + "".join(body)
            + "</body></html>\n").encode()
    return files


def proc_table():
    """{pid: (parent pid, command line)} of every process now."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
            cmdline = Path(f"/proc/{entry}/cmdline").read_bytes().replace(b"\0", b" ").decode(
                errors="replace")
        except OSError:
            continue
        table[int(entry)] = (int(stat.rsplit(")", 1)[1].split()[1]), cmdline)
    return table


def descendants(root, table):
    children = collections.defaultdict(list)
    for pid, (parent, _) in table.items():
        children[parent].append(pid)
    found, todo = [], [root]
    while todo:
        for child in children[todo.pop()]:
            found.append(child)
            todo.append(child)
    return found


def role(cmdline):
    m = re.search(r"--utility-sub-type=(\S+)", cmdline) or re.search(r"--type=(\S+)", cmdline)
    return m.group(1) if m else "browser"


class Browser:
    """Headless Chromium in a new session with its profile and crash database under `work`."""

    def __init__(self, work):
        self.work = work
        self.profile = Path(work, "profile")
        env = dict(os.environ, XDG_CONFIG_HOME=str(Path(work, "config")))
        self.log = open(Path(work, "chromium.log"), "wb")
        self.proc = subprocess.Popen(
            ["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}",
             "--remote-debugging-port=0", "about:blank"],
            stdout=self.log, stderr=self.log, env=env, start_new_session=True)
        self.known = {}  # every process of ours seen: pid -> command line
        try:
            active = Path(self.profile, "DevToolsActivePort")
            wait_until(lambda: active.exists() and active.read_text().strip()
                       or self.proc.poll() is not None, 60, "Chromium's DevTools port")
            if self.proc.poll() is not None:
                raise RuntimeError("chromium ended at once; see its log")
            self.devtools_port = int(active.read_text().split()[0])
        except BaseException:
            self.close()
            raise

    def processes(self):
        """{pid: command line} of the browser and its descendants now (remembered for close)."""
        table = proc_table()
        mine = {pid: table[pid][1] for pid in [self.proc.pid, *descendants(self.proc.pid, table)]
                if pid in table}
        self.known.update(mine)
        return mine

    def network_service(self):
        found = [pid for pid, cmdline in self.processes().items() if NETWORK_SERVICE in cmdline]
        return found[0] if len(found) == 1 else None

    def open(self, url):
        """Opens url in a new target through the DevTools HTTP endpoint."""
        connection = http.client.HTTPConnection("127.0.0.1", self.devtools_port, timeout=10)
        try:
            connection.request("PUT", "/json/new?" + url)
            reply = connection.getresponse()
            reply.read()
            if reply.status != 200:
                raise RuntimeError(f"DevTools /json/new answered {reply.status}")
        finally:
            connection.close()

    def close(self):
        self.processes()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # Helpers that outlived the browser: its children, and the crash handlers, which leave
        # its session but name the crash database under our folder.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            table = proc_table()
            left = [pid for pid, (_, cmdline) in table.items()
                    if (pid in self.known and self.known[pid] == cmdline)
                    or (self.work in cmdline and "chrom" in cmdline)]
            if not left:
                break
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL if time.monotonic() > deadline - 5
                            else signal.SIGTERM)
                except ProcessLookupError:
                    pass
            time.sleep(0.2)
        self.log.close()


def socket_owners(port):
    """Pids that hold TCP sockets whose remote port is `port`, as ss tells now."""
    out = subprocess.run(["ss", "-tnpH", "state", "all", "dport", "=", f":{port}"],
                         capture_output=True, text=True, timeout=10).stdout
    return {int(pid) for pid in re.findall(r"pid=(\d+)", out)}


def packet_rows(text):
    """(protocol, source port, destination port, data, owner) per complete attributed line."""
    rows = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) == 11 and fields[2] in ("TCP", "UDP"):  # ICMP lines have no ports
            rows.append((fields[2], int(fields[4]), int(fields[6]), fields[8], int(fields[10])))
    return rows


def one_mode(ravelin, mode, work):
    """One browser, one capture, two loads; returns (mode lines, figures or None)."""
    server = HttpServer(site_files())
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    marker.bind(("127.0.0.1", 0))
    browser = capture = None
    loads = []
    try:
        browser = Browser(work)
        time.sleep(WARM_UP)
        capture = Child([ravelin, "--config", os.devnull, "--print", "packets", "--attribute",
                         "--bind", "127.0.0.1", "--attribution", mode, "--duration", "300"])
        capture.wait_for(lambda o, e: "attribution:" in e or capture.proc.poll() is not None,
                         30, "ravelin's attribution line")
        time.sleep(0.2)  # a refusal comes right after that line
        if capture.proc.poll() is not None:
            capture.stop()
            return capture.err.decode(errors="replace").strip(), None

        def listed(text):
            def seen():
                marker.sendto(text.encode(), sink.getsockname())
                try:
                    capture.wait_for(lambda o, e: text in o, 1, text)
                    return True
                except AssertionError:
                    return False
            wait_until(seen, 60, f"ravelin to list {text!r}")
        for load in (1, 2):
            listed(f"browser-bench-load-{load}")
            started = time.monotonic()
            owners, stop = set(), threading.Event()

            def sample():
                # ss runs beside the load: the page's connections last milliseconds.
                while not stop.is_set() and time.monotonic() < started + LOAD_GAP:
                    owners.update(socket_owners(server.port))
                    time.sleep(0.01)  # sampling interval of ss during the load
            sampler = threading.Thread(target=sample)
            sampler.start()
            try:
                browser.open(server.url(f"l{load}.html"))
                time.sleep(max(0.0, started + LOAD_GAP - 0.5 - time.monotonic()))
            finally:
                stop.set()
                sampler.join()
            loads.append({"ss owners": owners, "network service": browser.network_service()})
            time.sleep(max(0.0, started + LOAD_GAP - time.monotonic()))
        listed("browser-bench-end")
        capture.stop(signal.SIGINT)
        err = capture.err.decode(errors="replace")
        rows = packet_rows(capture.out.decode("ascii"))
        processes = dict(browser.known)
        server_pid = server.child.proc.pid
        server_port = server.port
        requests_answered = server.child.out.decode(errors="replace") + \
            server.child.err.decode(errors="replace")
    finally:
        if capture is not None:
            capture.close()
        if browser is not None:
            browser.close()
        server.close()
        sink.close()
        marker.close()
    mode_line = "\n".join(line for line in err.splitlines() if line.startswith("attribution:"))

    # Split the rows at the markers: each load's packets come after its own marker.
    bounds = []
    for text in ["browser-bench-load-1", "browser-bench-load-2", "browser-bench-end"]:
        bounds.append(next(i for i, r in enumerate(rows) if r[0] == "UDP" and text in r[3]))
    figures = []
    for load, (begin, end) in enumerate(zip(bounds, bounds[1:]), start=1):
        part = rows[begin:end]
        mine = [r for r in part if r[0] == "TCP" and r[2] == server_port and r[1] != server_port]
        served = [r for r in part if r[0] == "TCP" and r[1] == server_port]
        service = loads[load - 1]["network service"]
        named = collections.Counter(r[4] for r in mine if r[4] != service)
        figures.append({
            "load": load, "packets": len(mine), "connections": len({r[1] for r in mine}),
            "connections named": len({r[1] for r in mine if r[4] == service}),
            "requests": len(re.findall(rf'"GET /l{load}[.-]\S+ HTTP/1.1" 200', requests_answered)),
            "owned": sum(r[4] == service for r in mine), "service": service,
            "ss owners": loads[load - 1]["ss owners"],
            "named": {pid: "none" if pid == -1 else role(processes.get(pid, "?")) + f" {pid}"
                      for pid in named},
            "named counts": named,
            "server packets": len(served),
            "server owned": sum(r[4] == server_pid for r in served)})
    return mode_line, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ravelin", default=os.environ.get("RAVELIN") or ravelin_binary())
    parser.add_argument("--modes", default="tables,events")
    options = parser.parse_args()
    modes = options.modes.split(",")
    if any(m not in ("auto", "events", "tables") for m in modes):
        parser.error("--modes is a list of auto, events, tables")
    if os.geteuid() != 0:
        sys.exit("browser_load.py: live capture on lo needs root")
    if not options.ravelin or not os.access(options.ravelin, os.X_OK):
        sys.exit("browser_load.py: no ravelin binary; build it or pass --ravelin")
    for tool in ("chromium", "ss"):
        if shutil.which(tool) is None:
            sys.exit(f"browser_load.py: {tool} is missing (scripts/install-deps.sh)")
    started = time.monotonic()
    print(f"ravelin: {options.ravelin}; load average {os.getloadavg()[0]:.2f}; "
          f"{os.cpu_count()} CPUs", flush=True)
    for mode in modes:
        mode_started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="ravelin-browser-") as work:
            line, figures = one_mode(options.ravelin, mode, work)
        print(f"== --attribution {mode}")
        for text in line.splitlines():
            print(f"   {text}")
        if figures is None:
            print("   skipped: the program did not run in this mode")
            continue
        print(f"   {'load':4} {'requests':>8} {'conns':>5} {'packets':>7} {'net svc pid':>11} "
              f"{'ss owners':>12} {'own share':>9} {'conns own':>9} {'server own':>10}  "
              f"named instead")
        for f in figures:
            share = f"{100 * f['owned'] / f['packets']:.1f}%" if f["packets"] else "-"
            server = (f"{100 * f['server owned'] / f['server packets']:.1f}%"
                      if f["server packets"] else "-")
            instead = ", ".join(f"{f['named'][pid]}: {count}"
                                for pid, count in f["named counts"].most_common()) or "-"
            owners = ",".join(str(p) for p in sorted(f["ss owners"])) or "-"
            print(f"   {f['load']:4} {f['requests']:8} {f['connections']:5} {f['packets']:7} "
                  f"{f['service'] or '?':>11} {owners:>12} {share:>9} "
                  f"{f['connections named']:9} {server:>10}  {instead}")
        print(f"   ({time.monotonic() - mode_started:.0f} s)", flush=True)
    print("requests: answered by the server (of 13); conns: the browser's connections to it; "
          "ss owners: pids that ss saw holding a socket to the server during the load (-: no "
          "sample caught one, the connections last milliseconds); own share: the browser's "
          "packets naming the network service; conns own: connections with at least one such "
          "packet; server own: the server's packets naming the "
          "server")
    print(f"took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
