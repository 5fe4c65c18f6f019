#!/usr/bin/env python3
"""Checks the #include arrows between the folders under src/.

    check_layers.py SRC_DIR     one line per violation, exit 1 if there is any
    check_layers.py --self-test builds small trees that break each rule and checks the report

Rules, with the name each report line carries:
  layer-order      src/X may include its own layer and earlier ones, never a later one
  qt-outside-ui    only ui/ and app/ include Qt headers
  program-include  only app/ includes app/... and only helper/ includes helper/...: each
                   folder holds the parts of one program (the window, the capture helper)
  linux-include    a header in a linux/ folder is included only from engine/, helper/, app/
                   or the same linux/ folder, so the OS-neutral code never depends on one OS
  unknown-layer    every file sits in one of the layer folders, so a new folder cannot
                   slip past the order
"""
import os
import re
import subprocess
import sys
import tempfile

# The order the data flows in; a layer sees only itself and those before it.
LAYERS = ["base", "config", "decode", "capture", "rows", "pipeline", "analysis",
          "attribution", "output", "engine", "helper", "ui", "app"]
QT_LAYERS = {"ui", "app"}
LINUX_CLIENT_LAYERS = {"engine", "helper", "app"}
# Folders that hold a program's own parts: nothing outside the folder includes them.
PROGRAM_LAYERS = {"app", "helper"}
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def strip_comments(text):
    """The text with comments blanked out and line breaks kept, so line numbers still hold."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            # A literal: copy it whole so that "//" or "/*" inside it is not taken for a comment.
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def resolve(src_root, includer_dir, kind, target):
    """The included file's path relative to src_root, or None when it is not one of ours.

    Quoted names are looked up beside the including file first, as the compiler does.
    """
    candidates = []
    if kind == '"':
        candidates.append(os.path.join(includer_dir, target))
    candidates.append(os.path.join(src_root, target))
    for candidate in candidates:
        if os.path.isfile(candidate):
            rel = os.path.relpath(os.path.normpath(candidate), src_root)
            if not rel.startswith(".." + os.sep):
                return rel.replace(os.sep, "/")
    # A header not written yet (or generated) still counts when it names a layer.
    if kind == '"' and target.startswith("."):
        target = os.path.relpath(os.path.normpath(os.path.join(includer_dir, target)), src_root)
    target = os.path.normpath(target).replace(os.sep, "/")
    return target if target.split("/")[0] in LAYERS else None


def is_qt_header(target):
    # <QWidget>, <QtCore>, <QtWidgets/QTreeView>: every Qt header starts with a capital Q.
    return target.startswith("Q")


def linux_folder(rel_path):
    """The linux/ folder a path lies in ("capture/linux/"), or None."""
    parts = rel_path.split("/")[:-1]
    if "linux" not in parts:
        return None
    return "/".join(parts[:parts.index("linux") + 1]) + "/"


def check_file(src_root, rel_path):
    """(rel_path, line, rule, message) for every broken rule in one file."""
    violations = []
    layer = rel_path.split("/")[0] if "/" in rel_path else None
    if layer not in LAYERS:
        violations.append((rel_path, 1, "unknown-layer",
                           "file is outside the layer folders " + ", ".join(LAYERS)))
        return violations
    rank = LAYERS.index(layer)
    full = os.path.join(src_root, rel_path)
    with open(full, encoding="utf-8", errors="replace") as f:
        text = strip_comments(f.read())
    for number, line in enumerate(text.splitlines(), start=1):
        match = INCLUDE.match(line)
        if not match:
            continue
        kind, target = match.groups()
        shown = kind + target + (">" if kind == "<" else '"')
        ours = resolve(src_root, os.path.dirname(full), kind, target)
        if ours is None:
            if is_qt_header(target) and layer not in QT_LAYERS:
                violations.append((rel_path, number, "qt-outside-ui",
                                   f"{layer}/ includes Qt header {shown}; only ui/ and app/ may"))
            continue
        target_layer = ours.split("/")[0]
        if target_layer in LAYERS and LAYERS.index(target_layer) > rank:
            violations.append((rel_path, number, "layer-order",
                               f"{layer}/ includes {shown} from the later layer {target_layer}/"))
        if target_layer in PROGRAM_LAYERS and layer != target_layer:
            violations.append((rel_path, number, "program-include",
                               f"{layer}/ includes {shown}; only {target_layer}/ may include "
                               f"{target_layer}/"))
        folder = linux_folder(ours)
        if folder and layer not in LINUX_CLIENT_LAYERS and not rel_path.startswith(folder):
            violations.append((rel_path, number, "linux-include",
                               f"{layer}/ includes {shown} from {folder}; only engine/, "
                               f"helper/, app/ and {folder} itself may"))
    return violations


def check_tree(src_root):
    violations = []
    for directory, subdirs, files in os.walk(src_root):
        subdirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                rel = os.path.relpath(os.path.join(directory, name), src_root)
                violations.extend(check_file(src_root, rel.replace(os.sep, "/")))
    return violations


def report(src_root, violations):
    for rel_path, number, rule, message in violations:
        print(f"{os.path.join(src_root, rel_path)}:{number}: [{rule}] {message}")


# --- self-test -------------------------------------------------------------------------------

# Every rule kept: own and earlier layers, Qt in ui/ and app/, linux/ headers from engine/,
# helper/ and from beside them, kernel headers that merely live in a linux/ folder, and bad
# includes that are commented out.
CLEAN_TREE = {
    "base/Fd.h": "#pragma once\n#include <cstdint>\n",
    "decode/Ip.h": '#pragma once\n#include "base/Fd.h"\n#include "decode/Tcp.h"\n',
    "decode/Tcp.h": "#pragma once\n",
    "decode/Ip.cpp": '#include "Ip.h"\n#include "../base/Fd.h"\n',
    "capture/Source.h": '#pragma once\n#include "decode/Ip.h"\n',
    "capture/linux/Pcap.h": '#pragma once\n#include "capture/Source.h"\n',
    "capture/linux/Pcap.cpp": ('#include "capture/linux/Pcap.h"\n#include "Pcap.h"\n'
                               "#include <linux/if_packet.h>\n#include <pcap/pcap.h>\n"),
    "attribution/Owners.cpp": ('// #include "ui/Window.h"\n/* #include <QString>\n'
                               '#include "app/Main.h" */\n#include "capture/Source.h"\n'
                               'const char* s = "/* not a comment";\n'),
    "engine/Factory.cpp": ('#include "capture/linux/Pcap.h"\n#include "attribution/Owners.h"\n'
                           "#include <linux/netlink.h>\n"),
    "ui/Window.h": '#pragma once\n#include <QWidget>\n#include <QtCore/QObject>\n'
                   '#include "engine/Factory.h"\n',
    "helper/Sandbox.h": '#pragma once\n#include "base/Fd.h"\n',
    "helper/main.cpp": ('#include "helper/Sandbox.h"\n#include "Sandbox.h"\n'
                        '#include "capture/linux/Pcap.h"\n#include <linux/landlock.h>\n'),
    "app/Main.h": "#pragma once\n",
    "app/main.cpp": ('#include <QApplication>\n#include "ui/Window.h"\n#include "app/Main.h"\n'
                     '#include "capture/linux/Pcap.h"\n'),
}

# Each case: files added to the clean tree, and the (file, line, rule) the check must report.
BROKEN_TREES = {
    "later layer": (
        {"decode/Bad.cpp": '#include <vector>\n#include "rows/Row.h"\n',
         "capture/Bad.h": '#pragma once\n#include "../output/Export.h"\n'},
        {("decode/Bad.cpp", 2, "layer-order"), ("capture/Bad.h", 2, "layer-order")}),
    "Qt outside the window": (
        {"engine/Bad.cpp": '#include "capture/Source.h"\n#include <QString>\n'
                           "#  include <QtCore/QObject>\n"},
        {("engine/Bad.cpp", 2, "qt-outside-ui"), ("engine/Bad.cpp", 3, "qt-outside-ui")}),
    "app from the window": (
        {"ui/Bad.cpp": '#include "app/Main.h"\n'},
        {("ui/Bad.cpp", 1, "layer-order"), ("ui/Bad.cpp", 1, "program-include")}),
    "one program's parts from another": (
        {"app/Bad.cpp": '#include "helper/Sandbox.h"\n',
         "ui/Bad.cpp": '#include "../helper/Sandbox.h"\n',
         "helper/Bad.cpp": '#include "app/Main.h"\n'},
        {("app/Bad.cpp", 1, "program-include"), ("ui/Bad.cpp", 1, "program-include"),
         ("helper/Bad.cpp", 1, "layer-order"), ("helper/Bad.cpp", 1, "program-include")}),
    "helper from the engine": (
        {"engine/Bad.cpp": '#include "helper/Sandbox.h"\n'},
        {("engine/Bad.cpp", 1, "layer-order"), ("engine/Bad.cpp", 1, "program-include")}),
    "linux header from outside": (
        {"attribution/Bad.cpp": '#include "attribution/linux/Diag.h"\n',
         "attribution/linux/Diag.h": "#pragma once\n",
         "output/Bad.cpp": '#include "capture/linux/Pcap.h"\n',
         "attribution/linux/Other.cpp": '#include "capture/linux/Pcap.h"\n'},
        {("attribution/Bad.cpp", 1, "linux-include"), ("output/Bad.cpp", 1, "linux-include"),
         ("attribution/linux/Other.cpp", 1, "linux-include")}),
    "folder outside the order": (
        {"views/List.cpp": '#include "base/Fd.h"\n'},
        {("views/List.cpp", 1, "unknown-layer")}),
}


def write_tree(root, files):
    for rel_path, text in files.items():
        path = os.path.join(root, rel_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)


def self_test():
    failures = []
    cases = {"clean": ({}, set())}
    cases.update(BROKEN_TREES)
    for name, (extra, expected) in cases.items():
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, {**CLEAN_TREE, **extra})
            found = {(path, line, rule) for path, line, rule, _ in check_tree(root)}
            if found != expected:
                failures.append(f"{name}: expected {sorted(expected)}, got {sorted(found)}")
            # The command line too: its exit status is what CI sees.
            run = subprocess.run([sys.executable, __file__, root], capture_output=True, text=True)
            if (run.returncode != 0) != bool(expected) or len(run.stdout.splitlines()) != len(
                    expected):
                failures.append(f"{name}: exit {run.returncode} with output {run.stdout!r}")
    for failure in failures:
        print("FAIL " + failure)
    print(f"{len(cases) - len({f.split(':')[0] for f in failures})} passed, "
          f"{len({f.split(':')[0] for f in failures})} failed")
    return 1 if failures else 0


def main(argv):
    if argv == ["--self-test"]:
        return self_test()
    if len(argv) != 1 or not os.path.isdir(argv[0]):
        print("usage: check_layers.py SRC_DIR | --self-test", file=sys.stderr)
        return 2
    violations = check_tree(argv[0])
    report(argv[0], violations)
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
