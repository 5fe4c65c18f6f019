#!/usr/bin/env python3
"""Ravelin's headless replay of a capture file against a bare libpcap loop over the same file.

For each FILE, each RAVELIN binary runs `--read FILE --print summary` and the floor runs
`ravelin_bare_pcap_loop FILE` (pcap_next_ex and nothing else) and `ravelin_bare_pcap_loop FILE
SPOOL` (the same, appending every frame to a file as Ravelin keeps payloads) and `... SPOOL 44`
(that too, keeping a 44-byte row per packet in memory as the packet list does). The commands take
turns, ROUNDS times, so that one run compares them on a shared machine; the table gives each
command's median wall and CPU seconds, and each Ravelin's speed as a share of the bare loop's
(its wall time over Ravelin's). Given two files, Ravelin's wall time on the others is also given
against theirs (how much longer the web file takes than its twin without a recognisable
request, say).

Usage (a build of the release preset; only ratios from one run mean much):
    bench/replay_floor.py [--rounds 7] [--ravelin PATH]... [FILE]...
FILE defaults to bench/data/web-1m.pcap and bench/data/web-1m-xet.pcap, made by
bench/make_capture.py --web [--method XET] when missing.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RELEASE = REPO / "build" / "release"


def run(command):
    """Wall and CPU seconds of one run of `command`, its output discarded."""
    start = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    errors = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"replay_floor.py: {' '.join(command)} failed: {errors}")
    return wall, usage.ru_utime + usage.ru_stime


def ensure_file(path):
    if path.exists():
        return
    defaults = {"web-1m.pcap": ["--web"], "web-1m-xet.pcap": ["--web", "--method", "XET"]}
    if path.parent != REPO / "bench" / "data" or path.name not in defaults:
        sys.exit(f"replay_floor.py: no such file: {path}")
    print(f"== generating {path}", file=sys.stderr)
    subprocess.run([sys.executable, str(REPO / "bench" / "make_capture.py"), str(path),
                    *defaults[path.name]], check=True, stdout=sys.stderr)


# What the packet list keeps in memory per packet (a stored packet row): the last floor keeps as
# much, in memory that it has not used before, as a list of a million rows must.
ROW_BYTES = 44


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--ravelin", action="append", default=[])
    parser.add_argument("--floor", default=str(RELEASE / "bench" / "ravelin_bare_pcap_loop"))
    args = parser.parse_args()
    files = args.files or [REPO / "bench" / "data" / "web-1m.pcap",
                           REPO / "bench" / "data" / "web-1m-xet.pcap"]
    ravelins = args.ravelin or [str(RELEASE / "src" / "ravelin")]
    for path in files:
        ensure_file(path)

    with tempfile.TemporaryDirectory() as work:
        # An empty configuration, old enough not to be read again while it runs.
        config = Path(work) / "ravelin.ini"
        config.write_text("")
        os.utime(config, (0, 0))
        spool = str(Path(work) / "floor-spool")
        os.environ["XDG_CACHE_HOME"] = work  # the spools go there, and with it
        commands = {}
        for path in files:
            for binary in ravelins:
                commands[(path, binary)] = [binary, "--read", str(path), "--print", "summary",
                                            "--config", str(config)]
            commands[(path, "bare loop")] = [args.floor, str(path)]
            commands[(path, "bare loop + spool")] = [args.floor, str(path), spool]
            commands[(path, "bare loop + spool + rows")] = [args.floor, str(path), spool,
                                                           str(ROW_BYTES)]
        results = {key: [] for key in commands}
        for round_number in range(args.rounds):
            keys = list(commands)
            # Each round starts one further along, so that no command always follows another.
            shift = round_number % len(keys)
            for key in keys[shift:] + keys[:shift]:
                results[key].append(run(commands[key]))

    print(f"{'file':<22} {'command':<44} {'wall s':>8} {'cpu s':>8} {'share of bare':>14}")
    first_wall = {}
    for path in files:
        bare = statistics.median(w for w, _ in results[(path, "bare loop")])
        for (file_path, name), runs in results.items():
            if file_path != path:
                continue
            wall = statistics.median(w for w, _ in runs)
            cpu = statistics.median(c for _, c in runs)
            share = f"{bare / wall:.0%}" if name in ravelins else ""
            print(f"{path.name:<22} {name:<44} {wall:8.3f} {cpu:8.3f} {share:>14}")
            if name in ravelins:
                if name not in first_wall:
                    first_wall[name] = wall
                elif path != files[0]:
                    print(f"{'':<22} {'  ' + files[0].name + ' takes, against this':<44} "
                          f"{first_wall[name] / wall - 1:+8.0%}")


if __name__ == "__main__":
    main()
