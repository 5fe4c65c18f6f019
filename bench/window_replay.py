#!/usr/bin/env python3
"""A capture file replayed into the window against the same file replayed headless.

Each round runs `ravelin_window_bench FILE` (the window on Qt's offscreen platform, until every
row is shown) and `ravelin --read FILE --print summary`, taking turns. Per round it prints the
window's time to the last row shown, the headless replay's wall time, their ratio, and the
longest stall of the window's thread; then the medians and how many rounds kept every stall
under 16 ms (one frame at 60 Hz).

Usage (a build of the release preset; only ratios from one run mean much):
    bench/window_replay.py [--rounds 10] [FILE]
FILE defaults to bench/data/web-1m.pcap (bench/make_capture.py --web makes it).
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RELEASE = REPO / "build" / "release"
FRAME_MS = 16


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=Path,
                        default=REPO / "bench" / "data" / "web-1m.pcap")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--ravelin", default=str(RELEASE / "src" / "ravelin"))
    parser.add_argument("--window-bench", default=str(RELEASE / "bench" / "ravelin_window_bench"))
    args = parser.parse_args()
    if not args.file.exists():
        sys.exit(f"window_replay.py: no such file: {args.file} (bench/make_capture.py --web)")

    rows = []
    with tempfile.TemporaryDirectory() as work:
        config = Path(work) / "ravelin.ini"
        config.write_text("")
        os.utime(config, (0, 0))
        env = dict(os.environ, XDG_CACHE_HOME=work, QT_QPA_PLATFORM="offscreen",
                   RAVELIN_BENCH_CONFIG=str(config))
        print(f"{'round':>5} {'window s':>9} {'headless s':>11} {'ratio':>6} {'stall ms':>9}")
        for number in range(1, args.rounds + 1):
            out = subprocess.run([args.window_bench, str(args.file)], env=env, check=True,
                                 capture_output=True, text=True).stdout
            fields = dict(re.findall(r"(\w+)=([-\d.]+)", out))
            window = float(fields["seconds"])
            stall = int(fields["longest_stall_ms"])
            start = time.monotonic()
            subprocess.run([args.ravelin, "--read", str(args.file), "--print", "summary",
                            "--config", str(config)], env=env, check=True,
                           stdout=subprocess.DEVNULL)
            headless = time.monotonic() - start
            rows.append((window, headless, stall))
            print(f"{number:>5} {window:9.3f} {headless:11.3f} {window / headless:6.2f} "
                  f"{stall:9d}")
    window = statistics.median(r[0] for r in rows)
    headless = statistics.median(r[1] for r in rows)
    smooth = sum(1 for r in rows if r[2] < FRAME_MS)
    print(f"median: window {window:.3f} s, headless {headless:.3f} s, "
          f"ratio {statistics.median(r[0] / r[1] for r in rows):.2f}; "
          f"longest stall under {FRAME_MS} ms in {smooth} of {len(rows)} rounds "
          f"(median {statistics.median(r[2] for r in rows):.0f} ms, "
          f"largest {max(r[2] for r in rows)} ms)")


if __name__ == "__main__":
    main()
