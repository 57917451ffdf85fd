#!/usr/bin/env python3
"""Writes the synthetic tables that bench/fallback.sh times: tables on which an
index can hardly skip anything, so the search must fall back to the scan.

  ties/     16 nominal measured attributes of 4 values: every distance a
            multiple of 1/16, thousands of rows at each, and the nearest
            rows differ from a tuple in half its values.
  wide/     30 measured attributes (20 continuous, 6 nominal, 4 ordinal):
            distances spread thin in many dimensions.

Each folder holds t.meta, t.csv and t.sel (protected g=p, class c=bad).
Usage: python3 bench/make_tables.py FOLDER [ROWS]   (default 100,000 rows; fixed seed)
"""
import os
import random
import sys


def write(folder, name, meta, rows, measured):
    path = os.path.join(folder, name)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "t.meta"), "w", newline="\n") as f:
        f.write("".join(line + "\n" for line in meta))
    with open(os.path.join(path, "t.csv"), "w", newline="\n") as f:
        for r in rows:
            f.write(",".join(r) + "\n")
    with open(os.path.join(path, "t.sel"), "w", newline="\n") as f:
        f.write("g=p\nc=bad\n" + ",".join(measured) + "\n")


def main():
    folder = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    rng = random.Random(16)

    names = ["n%d" % i for i in range(16)]
    meta = ["g,nominal", "c,nominal"] + [n + ",nominal" for n in names]
    rows = []
    for _ in range(count):
        row = ["p" if rng.random() < 0.4 else "u", "bad" if rng.random() < 0.5 else "good"]
        row += [rng.choice("abcd") for _ in names]
        rows.append(row)
    write(folder, "ties", meta, rows, names)

    scale = ["s0", "s1", "s2", "s3", "s4"]
    cont = ["x%d" % i for i in range(20)]
    nom = ["n%d" % i for i in range(6)]
    ordl = ["o%d" % i for i in range(4)]
    meta = ["g,nominal", "c,nominal"] + [n + ",continuous" for n in cont] + [n + ",nominal" for n in nom]
    meta += [n + ",ordinal," + ",".join(scale) for n in ordl]
    rows = []
    for _ in range(count):
        row = ["p" if rng.random() < 0.4 else "u", "bad" if rng.random() < 0.5 else "good"]
        row += ["%.3f" % rng.gauss(0, 1) for _ in cont]
        row += [rng.choice("abcd") for _ in nom]
        row += [rng.choice(scale) for _ in ordl]
        rows.append(row)
    write(folder, "wide", meta, rows, cont + nom + ordl)


if __name__ == "__main__":
    main()
