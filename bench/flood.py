#!/usr/bin/env python3
"""How much of a steady UDP flood on loopback ravelin lists, beside tcpdump.

A small C sender (compiled here with cc) sends 32-byte UDP datagrams from a quiet port to a
quiet sink port on 127.0.0.1 at RATE datagrams a second for SECONDS seconds; the sink is a
socket of this script that nobody reads. The same flood is captured, one run at a time, by:

  filter on      ravelin --print summary --bind 127.0.0.1 --pid <sender pid>
  filter off     ravelin --print summary --bind 127.0.0.1
  lines, attr    ravelin --print packets --attribute --bind 127.0.0.1 to a file; the flood's
                 own lines are counted (source port = the sender's, destination = the sink's),
                 with the share of them that name the sender's pid
  procs, attr    ravelin --print processes --attribute --bind 127.0.0.1, the headless
                 per-process table; what it lists of the flood is the sender's row (packets
                 it sent), so a datagram listed without its owner is not counted
  tcpdump        tcpdump -i lo -B 8192 -w /dev/null udp and port <sink>, counted by its own
                 end-of-run counters
  tcpdump in     the same with -Q in: only the incoming copy of each datagram on lo, as
                 Ravelin's capture of a loopback device takes it
  tcpdump in file  the same, writing every frame to a file, as Ravelin keeps each listed frame
                 in its spool

Each row: the datagrams the sender sent and the rate it reached, what the capture listed, the
packets on lo during the capture that were not the flood (a filter-off count includes those,
and every capture receives them), the kernel's drop count, listed/sent, and the capture's CPU
seconds in all and per packet listed. A capture is stopped only once it has gone idle after the
flood, so nothing it had received is lost at the stop.

Usage (root; the machine may be shared, so only ratios from one run mean much):
    bench/flood.py [--ravelin PATH]... [--rate 100000] [--seconds 6] [--tries 3] [--nice 0]
                   [--quiet 500] [--attribution auto|events|tables] [--row KIND]...
                   [--rounds 1]
--row picks a capture to run, by its name above (all of them unless given). Given more
than one --ravelin, each ravelin row is run for each binary in turn, one right after the other,
and labelled #1, #2... in the order given: the alternation makes one run's ratios comparable on
a shared machine. --rounds repeats the whole sequence, each round's rows shown.
Other work on the machine may use lo too: before each run the script waits (60 s at most) for
lo's other traffic to fall under --quiet packets a second, and shows what it was. A capture
whose sender fell short of 99% of the rate, or during which lo carried other packets beyond 1%
of the flood, is run again, --tries times at most, and the best run kept (clean first, then
nearest the rate); the table says which run was kept of how many. The kernel's drop
count on lo counts each lost packet twice: its outgoing and its incoming copy both reach the
capture's buffer.
All traffic stays on 127.0.0.1; every process started here is stopped before the end.
"""
import argparse
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "integration"))
from ravelin_harness import lo_packets, quiet_udp_port, ravelin_binary  # noqa: E402
from process_cpu import TICK, wait_idle  # noqa: E402  (beside this script)

SENDER_C = r"""
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const int sink = atoi(argv[1]), port = atoi(argv[4]);
    const double rate = atof(argv[2]), seconds = atof(argv[3]);
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons((unsigned short)port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, (struct sockaddr*)&local, sizeof local) != 0) { perror("bind"); return 1; }
    struct sockaddr_in target = local;
    target.sin_port = htons((unsigned short)sink);
    if (connect(s, (struct sockaddr*)&target, sizeof target) != 0) { perror("connect"); return 1; }
    printf("ready\n");
    fflush(stdout);
    char line[64];
    if (!fgets(line, sizeof line, stdin) || strncmp(line, "go", 2) != 0) return 0;

    enum { kBatch = 32 };
    char payload[32];
    memset(payload, 'x', sizeof payload);
    struct iovec iov = {payload, sizeof payload};
    struct mmsghdr messages[kBatch];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < kBatch; ++i) {
        messages[i].msg_hdr.msg_iov = &iov;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    long long sent = 0, failedCalls = 0;
    const double start = now(), end = start + seconds;
    double t;
    while ((t = now()) < end) {
        const long long due = (long long)((t - start) * rate) + 1;
        if (sent >= due) {
            const struct timespec pause = {0, 50000};  /* ahead of the pace: yield the core */
            nanosleep(&pause, NULL);
            continue;
        }
        const long long want = due - sent < kBatch ? due - sent : kBatch;
        const int n = sendmmsg(s, messages, (unsigned)want, 0);
        if (n < 0) {
            ++failedCalls;
            if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR && errno != ECONNREFUSED) {
                perror("sendmmsg");
                break;
            }
            continue;
        }
        sent += n;
    }
    printf("%lld %.6f %lld\n", sent, now() - start, failedCalls);
    fflush(stdout);
    return 0;
}
"""

def children(pid):
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry.name))
            except (OSError, ValueError, IndexError):
                continue
    return found


def thread_cpu(pid):
    """CPU seconds by thread name, of the process and its children (Ravelin's capture helper)
    so far; threads of one name are added up."""
    seconds = {}
    for process in [pid] + children(pid):
        for task in Path(f"/proc/{process}/task").glob("*"):
            try:
                name = (task / "comm").read_text().strip()
                fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if process != pid:
                name = "helper " + name
            seconds[name] = seconds.get(name, 0) + (int(fields[11]) + int(fields[12])) / TICK
    return seconds


def has_packet_socket(pid):
    """True once the process, or its capture helper (a child), holds an AF_PACKET socket: its
    capture is open."""
    inodes = set()
    for process in [pid, *children(pid)]:
        try:
            descriptors = os.listdir(f"/proc/{process}/fd")
        except OSError:
            continue
        for fd in descriptors:
            try:
                m = re.fullmatch(r"socket:\[(\d+)\]", os.readlink(f"/proc/{process}/fd/{fd}"))
            except OSError:
                continue
            if m:
                inodes.add(m.group(1))
    for line in Path("/proc/net/packet").read_text().splitlines()[1:]:
        fields = line.split()
        if fields and fields[-1] in inodes:
            return True
    return False


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def build_sender(work):
    source = Path(work, "flood_sender.c")
    binary = Path(work, "flood_sender")
    source.write_text(SENDER_C)
    subprocess.run(["cc", "-O2", "-Wall", "-o", str(binary), str(source)], check=True,
                   timeout=120)
    return str(binary)


def read_line(stream, timeout, what):
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise RuntimeError(f"timed out after {timeout} s waiting for {what}")
    return stream.readline().strip()


def wait_quiet(limit, seconds):
    """Waits, `seconds` at most, for lo to carry under `limit` packets a second (other work on
    the machine may use it too); returns the last rate seen."""
    deadline = time.monotonic() + seconds
    while True:
        before = lo_packets()
        time.sleep(0.5)
        rate = (lo_packets() - before) / 0.5
        if rate < limit or time.monotonic() > deadline:
            return rate
        print(f"  lo carries {rate:.0f} packets/s of other traffic; waiting", flush=True)


class Refused(Exception):
    """The capture would not run (an attribution mode the program cannot use)."""


KINDS = ["filter on", "filter off", "lines, attr", "procs, attr", "tcpdump", "tcpdump in",
         "tcpdump in file"]


def one_run(kind, ravelin_path, options, sender_binary, sink_port, work):
    """Starts the sender, then the capture of `kind`, floods, drains, stops; returns a dict."""
    background = wait_quiet(options.quiet, 60)
    sender_port = quiet_udp_port(avoid={sink_port})
    def niced():
        os.nice(options.nice)
    sender = subprocess.Popen([sender_binary, str(sink_port), str(options.rate),
                               str(options.seconds), str(sender_port)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              preexec_fn=niced)
    out_path, err_path = Path(work, f"{kind}.out"), Path(work, f"{kind}.err")
    capture = None
    try:
        if read_line(sender.stdout, 10, "the sender") != "ready":
            raise RuntimeError("the sender did not start")
        attribution = ["--attribution", options.attribution] if options.attribution else []
        # An empty file of its own, not /dev/null: where /dev/null has become a plain file that
        # others write to, Ravelin would read it again at every batch.
        config = Path(work, "empty.ini")
        config.touch()
        ravelin = [ravelin_path, "--config", str(config), "--bind", "127.0.0.1"]
        argv = {
            "filter on": ravelin + ["--print", "summary", "--pid", str(sender.pid)] + attribution,
            "filter off": ravelin + ["--print", "summary"],
            "lines, attr": ravelin + ["--print", "packets", "--print", "summary", "--attribute"]
                           + attribution,
            "procs, attr": ravelin + ["--print", "processes", "--attribute"] + attribution,
            "tcpdump": ["tcpdump", "-i", "lo", "-B", "8192", "-w", "/dev/null",
                        f"udp and port {sink_port}"],
            "tcpdump in": ["tcpdump", "-i", "lo", "-Q", "in", "-B", "8192", "-w", "/dev/null",
                           f"udp and port {sink_port}"],
            # -Z root: tcpdump would open the file as its own user otherwise.
            "tcpdump in file": ["tcpdump", "-Z", "root", "-i", "lo", "-Q", "in", "-B", "8192",
                                "-w", str(Path(work, "kept.pcap")), f"udp and port {sink_port}"],
        }[kind]
        lo_start = lo_packets()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            capture = subprocess.Popen(argv, stdout=out, stderr=err, preexec_fn=niced)
        if kind.startswith("tcpdump"):
            wait_for(lambda: "listening on" in err_path.read_text(errors="replace")
                     or capture.poll() is not None, 30, "tcpdump to listen")
        else:
            wait_for(lambda: has_packet_socket(capture.pid) or capture.poll() is not None, 30,
                     "ravelin to open its capture")
        if capture.poll() is not None:
            raise Refused(err_path.read_text(errors="replace").strip())
        time.sleep(0.5)  # the filter and ring are set up right after the socket
        sender.stdin.write("go\n")
        sender.stdin.flush()
        result = read_line(sender.stdout, options.seconds + 30, "the sender's count").split()
        sent, elapsed, failed_calls = int(result[0]), float(result[1]), int(result[2])
        # tcpdump (not in immediate mode) is handed a part-filled ring block only when the
        # block's timeout passes: wait that out before stopping it, then until it is idle.
        time.sleep(2)
        wait_idle(capture.pid, 60)
        threads = thread_cpu(capture.pid)
        capture.send_signal(signal.SIGINT)
        _, status, usage = os.wait4(capture.pid, 0)
        capture.returncode = os.waitstatus_to_exitcode(status)
        lo_total = lo_packets() - lo_start
    finally:
        if capture is not None and capture.poll() is None:
            capture.kill()
            capture.wait()
        if sender.poll() is None:
            sender.kill()
        sender.wait()
    err_text = err_path.read_text(errors="replace")
    row = {"kind": kind, "sent": sent, "rate": sent / elapsed, "failed calls": failed_calls,
           "other": max(0, lo_total - sent), "cpu": usage.ru_utime + usage.ru_stime,
           "owned": None, "mode": None, "exit": capture.returncode, "background": background,
           "threads": threads}
    if kind.startswith("tcpdump"):
        captured = re.search(r"(\d+) packets? captured", err_text)
        dropped = re.search(r"(\d+) packets? dropped by kernel", err_text)
        row["listed"] = int(captured.group(1)) if captured else None
        row["dropped"] = int(dropped.group(1)) if dropped else None
    else:
        text = out_path.read_bytes().decode("ascii", "replace")
        summary = re.search(r"packets=(\d+) http=\d+", text)
        counters = re.search(r"capture: received=(\d+) dropped=(\d+)", err_text)
        mode = re.search(r"attribution: (.*)", err_text)
        row["mode"] = mode.group(1) if mode else None
        row["listed"] = int(summary.group(1)) if summary else None
        row["dropped"] = int(counters.group(2)) if counters else None
        if kind == "procs, attr":
            # pid, name, sent packets, sent bytes, received packets, received bytes
            row["listed"] = 0
            for line in text.splitlines():
                fields = line.split("\t")
                if len(fields) == 6 and fields[0] == str(sender.pid):
                    row["listed"] = int(fields[2])
        if row["listed"] is None:
            raise RuntimeError(f"{kind}: no summary; exit {capture.returncode}; {err_text!r}")
        if kind == "lines, attr":
            flood, owned = 0, 0
            for line in text.splitlines():
                fields = line.split("\t")
                if (len(fields) == 11 and fields[2] == "UDP" and fields[4] == str(sender_port)
                        and fields[6] == str(sink_port)):
                    flood += 1
                    owned += fields[10] == str(sender.pid)
            row["listed"] = flood
            row["owned"] = owned / flood if flood else None
    out_path.unlink(missing_ok=True)
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ravelin", action="append",
                        help="the binary to run; given more than once, each ravelin row is run "
                             "for each in turn")
    parser.add_argument("--row", action="append", dest="rows",
                        help="a capture to run, by name (all unless given): " + "; ".join(KINDS))
    parser.add_argument("--rounds", type=int, default=1, help="runs of the whole sequence")
    parser.add_argument("--rate", type=float, default=100000, help="datagrams a second")
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--tries", type=int, default=3,
                        help="runs of one capture at most while the sender falls short")
    parser.add_argument("--quiet", type=float, default=500,
                        help="packets/s of other traffic on lo to wait (60 s at most) to fall "
                             "under before each run")
    parser.add_argument("--nice", type=int, default=0,
                        help="niceness of the sender and the capture alike (negative: ahead of "
                             "the machine's other work)")
    parser.add_argument("--attribution", choices=["auto", "events", "tables"],
                        help="passed through to the runs that attribute")
    options = parser.parse_args()
    if options.seconds <= 0 or options.rate <= 0 or options.tries < 1 or options.rounds < 1:
        parser.error("--seconds, --rate, --tries and --rounds must be positive")
    kinds = options.rows or KINDS
    unknown = [kind for kind in kinds if kind not in KINDS]
    if unknown:
        parser.error(f"unknown rows {unknown}; the rows are {KINDS}")
    binaries = options.ravelin or [os.environ.get("RAVELIN") or ravelin_binary()]
    if os.geteuid() != 0:
        sys.exit("flood.py: live capture on lo needs root")
    for binary in binaries:
        if not binary or not os.access(binary, os.X_OK):
            sys.exit(f"flood.py: no ravelin binary {binary or ''}; build it or pass --ravelin")
    for tool in ("cc", "tcpdump"):
        if shutil.which(tool) is None:
            sys.exit(f"flood.py: {tool} is missing")
    if not Path(os.devnull).is_char_device():
        print(f"warning: {os.devnull} is not a device here: tcpdump's writes to it cost it "
              "file writes", flush=True)
    started = time.monotonic()
    labels = ", ".join(f"#{i + 1} {b}" for i, b in enumerate(binaries)) if len(binaries) > 1 \
        else binaries[0]
    print(f"ravelin: {labels}; rate {options.rate:.0f}/s for {options.seconds} s; "
          f"nice {options.nice}; load average {os.getloadavg()[0]:.2f}; {os.cpu_count()} CPUs",
          flush=True)
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # nobody reads it
    sink.bind(("127.0.0.1", quiet_udp_port()))
    rows = []
    try:
        with tempfile.TemporaryDirectory(prefix="ravelin-flood-") as work:
            sender_binary = build_sender(work)
            runs = []
            for _ in range(options.rounds):
                for kind in kinds:
                    if kind.startswith("tcpdump"):
                        runs.append((kind, kind, None))
                    elif len(binaries) == 1:
                        runs.append((kind, kind, binaries[0]))
                    else:
                        runs.extend((f"{kind}#{i + 1}", kind, b) for i, b in enumerate(binaries))
            for label, kind, binary in runs:
                # On a shared machine the sender may fall short of the rate, or other work may
                # load lo meanwhile: such a run is done again, a bounded number of times, and
                # the best kept (clean first, then nearest the rate).
                best = None
                for attempt in range(1, options.tries + 1):
                    try:
                        r = one_run(kind, binary, options, sender_binary, sink.getsockname()[1],
                                    work)
                    except Refused as refusal:
                        print(f"  {label}: the capture did not run, skipped:", flush=True)
                        for text in str(refusal).splitlines():
                            print(f"    {text}", flush=True)
                        break
                    r["try"] = attempt
                    r["kind"] = label
                    reached = r["rate"] >= 0.99 * options.rate
                    clean = r["other"] <= 0.01 * r["sent"]
                    if best is None or (clean, r["rate"]) > (best["other"] <= 0.01 * best["sent"],
                                                             best["rate"]):
                        best = r
                    if reached and clean:
                        break
                    print(f"  {label}: try {attempt}: the sender reached {r['rate']:.0f}/s; "
                          f"{r['other']} other packets on lo", flush=True)
                if best is None:
                    continue
                r = best
                r["runs"] = attempt
                rows.append(r)
                if r["mode"]:
                    print(f"  {label}: attribution: {r['mode']}", flush=True)
                if r["exit"] not in (0, None):
                    print(f"  {label}: exit code {r['exit']}", flush=True)
    finally:
        sink.close()

    def number(value):
        return "-" if value is None else str(value)
    width = max([12] + [len(r["kind"]) for r in rows])
    print(f"{'capture':{width}} {'sent':>9} {'sent/s':>8} {'listed':>9} {'other lo':>8} "
          f"{'bg/s':>6} {'dropped':>9} {'listed/sent':>11} {'cpu s':>6} {'us/listed':>9} "
          f"{'own pid':>8} {'kept':>7}")
    for r in rows:
        share = "-" if r["listed"] is None else f"{100 * r['listed'] / r['sent']:.1f}%"
        owned = "-" if r["owned"] is None else f"{100 * r['owned']:.1f}%"
        per_packet = f"{1e6 * r['cpu'] / r['listed']:.2f}" if r["listed"] else "-"
        print(f"{r['kind']:{width}} {r['sent']:9} {r['rate']:8.0f} {number(r['listed']):>9} "
              f"{number(r['other']):>8} {r['background']:6.0f} {number(r['dropped']):>9} "
              f"{share:>11} {r['cpu']:6.2f} {per_packet:>9} {owned:>8} "
              f"{r['try']:>3} of {r['runs']}")
    for r in rows:
        # Where a Ravelin's CPU went: its named capture threads, the rest of its process, and
        # its capture helper (a process of its own).
        if not r["kind"].startswith("tcpdump") and r["threads"]:
            parts = ", ".join(f"{name} {seconds:.2f}"
                              for name, seconds in sorted(r["threads"].items(),
                                                          key=lambda item: -item[1]))
            print(f"  {r['kind']} cpu s by thread: {parts}")
    short = [r for r in rows if r["rate"] < 0.99 * options.rate]
    for r in short:
        print(f"note: the sender reached {r['rate']:.0f}/s, under the asked {options.rate:.0f}/s, "
              f"in the {r['kind']} run")
    for r in rows:
        if r["failed calls"]:
            print(f"note: {r['failed calls']} send calls failed in the {r['kind']} run")
    print("other lo: packets on lo during the capture that were not the flood (a filter-off "
          "count may include them; every capture receives them); bg/s: lo's other traffic "
          "just before the run; us/listed: the capture's CPU microseconds per packet listed; "
          "own pid: flood lines naming the sender; dropped: the kernel's "
          "count, in which a packet lost on lo counts twice (its outgoing and incoming copies "
          "both reach the capture's buffer); kept: the run shown, of the runs made")
    print(f"took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
