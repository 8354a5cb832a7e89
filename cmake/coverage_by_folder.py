#!/usr/bin/env python3
"""Line and branch coverage per product folder, from a gcovr JSON summary.

Usage: coverage_by_folder.py SUMMARY.json

Files under src/ and components/ are grouped by their subsystem (src/host, src/platform, ...);
the other folders (server/, include/, workers/) as a whole. The three product roots src/,
server/ and components/ get a total line each, and the whole product a last line.
"""
import json
import sys
from collections import OrderedDict

SUBSYSTEM_ROOTS = ("src", "components")
ROOTS = ("src", "server", "components")


def folder_of(path):
    parts = path.split("/")
    if parts[0] in SUBSYSTEM_ROOTS and len(parts) > 2:
        return parts[0] + "/" + parts[1] + "/"
    return parts[0] + "/"


def percent(covered, total):
    return "    -" if total == 0 else "%5.1f" % (100.0 * covered / total)


def main():
    with open(sys.argv[1], encoding="utf-8") as summary:
        files = json.load(summary)["files"]
    folders = {}
    roots = OrderedDict((root, [0, 0, 0, 0]) for root in ROOTS)
    whole = [0, 0, 0, 0]
    for entry in files:
        counts = (entry["line_covered"], entry["line_total"],
                  entry["branch_covered"], entry["branch_total"])
        targets = [folders.setdefault(folder_of(entry["filename"]), [0, 0, 0, 0]), whole]
        root = entry["filename"].split("/")[0]
        if root in roots:
            targets.append(roots[root])
        for target in targets:
            for index, value in enumerate(counts):
                target[index] += value

    row = "%-24s %7s %6s %9s %6s"
    print(row % ("folder", "lines", "line%", "branches", "br%"))

    def show(name, counts):
        print(row % (name, counts[1], percent(counts[0], counts[1]),
                     counts[3], percent(counts[2], counts[3])))

    for name in sorted(folders):
        show(name, folders[name])
    print("-" * 56)
    for name, counts in roots.items():
        show(name + "/ (all)", counts)
    show("product", whole)


if __name__ == "__main__":
    main()
