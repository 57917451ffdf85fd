"""kel.test against kelcmd on real tables, bit for bit.

    python3 real_tables.py DATA_FOLDER [KELCMD]

DATA_FOLDER holds one folder per table (NAME/NAME.meta, NAME.csv, NAME-*.sel).
Each table is read with pandas as a user would read it, the kinds taken from
its metadata file; for every select-options file and two settings, kelcmd's
output data file (diff text and verdict per row), neighbours file (rows,
ranks, distances as floats, matches) and summary figures must equal
kel.test's. Prints one line per run; exits 1 on any difference.
"""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

import kel

SETTINGS = [({}, []), ({"k": 8, "all": True}, ["-knn", "8", "-all"])]


def differences(result, lines, neighbours, summary):
    found = []
    if len(result.rows) != len(lines):
        return [f"{len(result.rows)} rows, kelcmd {len(lines)}"]
    for (label, row), line in zip(result.rows.iterrows(), lines):
        fields = line.split(",")
        if fields[-2] != "%g" % row["diff"] or fields[-1] != ("yes" if row["verdict"] else "no"):
            found.append(f"row {label + 1}: {row['diff']!r} {row['verdict']} / {fields[-2]} {fields[-1]}")
    n = result.neighbours
    if len(n) != len(neighbours):
        found.append(f"{len(n)} neighbours, kelcmd {len(neighbours)}")
    else:
        got = np.column_stack([n["row"] + 1, n["rank"], n["neighbour"] + 1, n["match"].astype(int)])
        want = np.array([[int(w[0]), int(w[2]), int(w[3]), int(w[5])] for w in neighbours], dtype=np.int64)
        groups = n["group"].to_numpy() == np.array([w[1] for w in neighbours])
        distances = n["distance"].to_numpy(np.float32) == np.array([float(w[4]) for w in neighbours], np.float32)
        bad = ~((got == want).all(axis=1) & groups & distances)
        found += [f"neighbour line {i + 2}" for i in np.flatnonzero(bad)[:5]]
    for part in ("counts", "groups", "histogram"):
        if result.summary[part] != summary[part]:
            found.append(f"summary {part}")
    return found


def main(folder, kelcmd):
    failed = 0
    for name in sorted(os.listdir(folder)):
        meta_file = os.path.join(folder, name, f"{name}.meta")
        if not os.path.exists(meta_file):
            continue
        meta = [line.split(",") for line in open(meta_file, encoding="utf-8").read().splitlines()]
        names = [m[0] for m in meta]
        kinds = {m[0]: m[2:] if m[1] == "ordinal" else m[1] for m in meta}
        data_file = os.path.join(folder, name, f"{name}.csv")
        df = pd.read_csv(data_file, header=None, names=names, na_values=["?"], keep_default_na=False)
        for select in sorted(f for f in os.listdir(os.path.join(folder, name)) if f.endswith(".sel")):
            select_file = os.path.join(folder, name, select)
            acond, ccond, measure = open(select_file, encoding="utf-8").read().splitlines()[:3]
            for options, words in SETTINGS:
                with tempfile.TemporaryDirectory() as work:
                    out, nbr, js = (os.path.join(work, f) for f in ("out.csv", "nbr.csv", "sum.json"))
                    done = subprocess.run([kelcmd, meta_file, data_file, select_file, out, "-nbr", nbr, "-json", js,
                                           *words], capture_output=True, text=True)
                    if done.returncode != 0:
                        print(f"FAILED {select} {' '.join(words)}: kelcmd: {done.stdout.strip()}")
                        failed = 1
                        continue
                    lines = open(out).read().splitlines()
                    neighbours = [line.split(",") for line in open(nbr).read().splitlines()[1:]]
                    summary = json.load(open(js))
                result = kel.test(df, protected=acond, outcome=ccond, measure=measure.split(","), kinds=kinds,
                                  neighbours=True, **options)
                found = differences(result, lines, neighbours, summary)
                label = f"{select} {' '.join(words) or '(defaults)'}: {len(lines)} rows, {len(neighbours)} neighbours"
                if found:
                    failed = 1
                    print(f"DIFFERENT {label}: " + "; ".join(found[:5]))
                else:
                    print(f"same: {label}, {int(result.rows['verdict'].sum())} flagged")
    return failed


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "kelcmd"))
