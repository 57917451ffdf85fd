"""kel.test on a DataFrame against kelcmd on the same files: CPU time
(user + system) and wall time, median of N runs each.

    python3 bench/python_census.py DATA_FOLDER KELCMD [N] [THREADS]

DATA_FOLDER/adult holds the census table. kel.test's time includes turning
the DataFrame into columns, not pandas' reading of the file; kelcmd's
includes reading its files. Timings on a busy machine are noisy: compare
CPU times, and note the load.
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import pandas as pd

import kel


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def self_cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main(folder, kelcmd, n=5, threads=None):
    adult = os.path.join(folder, "adult")
    meta = [line.split(",") for line in open(os.path.join(adult, "adult.meta")).read().splitlines()]
    names = [m[0] for m in meta]
    kinds = {m[0]: m[2:] if m[1] == "ordinal" else m[1] for m in meta}
    files = [os.path.join(adult, f) for f in ("adult.meta", "adult.csv", "adult-sex.sel")]
    acond, ccond, measure = open(files[2]).read().splitlines()[:3]
    df = pd.read_csv(files[1], header=None, names=names, na_values=["?"], keep_default_na=False)
    extra = ["-j", str(threads)] if threads else []
    cli_cpu, cli_wall, py_cpu, py_wall = [], [], [], []
    with tempfile.TemporaryDirectory() as work:
        for _ in range(n):
            before, start = children_cpu(), time.perf_counter()
            subprocess.run([kelcmd, *files, os.path.join(work, "out.csv"), *extra], check=True,
                           stdout=subprocess.DEVNULL)
            cli_wall.append(time.perf_counter() - start)
            cli_cpu.append(children_cpu() - before)
            before, start = self_cpu(), time.perf_counter()
            r = kel.test(df, protected=acond, outcome=ccond, measure=measure.split(","), kinds=kinds,
                         threads=threads)
            py_wall.append(time.perf_counter() - start)
            py_cpu.append(self_cpu() - before)
    c = r.summary["counts"]
    print(f"census, women, k = 2: {c['acondCases']} protected, {c['discriminated']} flagged; load {os.getloadavg()[0]:.2f}")
    for label, cpu, wall in (("kelcmd", cli_cpu, cli_wall), ("kel.test", py_cpu, py_wall)):
        print(f"{label:9s} cpu median {statistics.median(cpu):.3f} s  wall median {statistics.median(wall):.3f} s")
    print(f"ratio kel.test / kelcmd: cpu {statistics.median(py_cpu) / statistics.median(cli_cpu):.2f}, "
          f"wall {statistics.median(py_wall) / statistics.median(cli_wall):.2f}")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 5,
         int(sys.argv[4]) if len(sys.argv) > 4 else None)
