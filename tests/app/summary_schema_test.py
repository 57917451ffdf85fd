"""Real runs of kelcmd -json checked against docs/summary.schema.json, and
against what the same run printed and wrote: the bundled example with
placebo runs, and a small gzip table whose group figures have no ratio.

    python3 summary_schema_test.py KELCMD SCHEMA EXAMPLES_DIR
"""
import gzip
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

kelcmd, schema_path, examples = sys.argv[1:4]
with open(schema_path) as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
failures = []


def check(what, condition):
    if not condition:
        failures.append(what)


def run(folder, args):
    done = subprocess.run([kelcmd] + args, cwd=folder, capture_output=True, text=True)
    check(f"{args}: status {done.returncode}", done.returncode == 0)
    with open(os.path.join(folder, "s.json")) as f:
        summary = json.load(f)
    for error in validator.iter_errors(summary):
        failures.append(f"{args}: {error.json_path}: {error.message}")
    return summary, done.stdout


def sha256(path, unzip=False):
    with (gzip.open if unzip else open)(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


with tempfile.TemporaryDirectory() as folder:
    meta, data, select = (os.path.join(examples, n) for n in ("hiring.meta", "hiring.csv", "hiring-women.sel"))
    s, console = run(folder, [meta, data, select, "out.csv", "-knn", "8", "-perm", "4", "-nbr", "n.csv",
                              "-json", "s.json", "-j", "2", "-dst", "d.txt"])
    summary_line = [l for l in console.split("\n") if l.startswith("output: ")][-1]
    c = s["counts"]
    check("summary line", summary_line == f"output: {c['acondCases']} acond cases, {c['classValue']} class value, "
                                          f"{c['discriminated']} discriminated.")
    check("groups add up", s["groups"]["protected"]["rows"] == c["protected"] and
          c["protected"] + c["unprotected"] + c["undecided"] == c["rows"])
    check("histogram counts every tested diff", sum(s["histogram"]["counts"]) == c["classValue"])
    with open(os.path.join(folder, "d.txt")) as f:
        bins = [line.split("\t") for line in f][::-1]
    check("histogram as -dst writes it", s["histogram"]["edges"] == [float(b[0]) for b in bins] and
          s["histogram"]["counts"] == [int(b[1]) for b in bins])
    check("input digest", s["inputs"]["data"]["sha256"] == sha256(data) and
          s["inputs"]["data"]["bytes"] == os.path.getsize(data))
    p = s["placebo"]
    check("placebo runs", p["runs"] == 4 and len(p["shuffles"]) == 4 and p["real"]["tested"] == c["classValue"])
    check("placebo line", any(l.startswith("placebo: 4 runs, ") for l in console.split("\n")))
    check("neighbours named", s["outputs"]["neighbours"] == "n.csv" and s["outputs"]["metadata"] is None)

    # No unprotected row meets the class condition: the ratio has no value.
    with open(os.path.join(folder, "t.meta"), "w") as f:
        f.write("g,nominal\nx,continuous\nclass,nominal\n")
    with gzip.open(os.path.join(folder, "t.csv.gz"), "wt") as f:
        f.write("p,1,bad\np,2,bad\np,3,good\nu,1,good\nu,2,good\n?,3,bad\np,?,?\n")
    with open(os.path.join(folder, "t.sel"), "w") as f:
        f.write("g=p\nclass=bad\nx\nthe rest of the file is not read but is digested\n")
    s, _ = run(folder, ["t.meta", "t.csv.gz", "t.sel", "out.csv", "-cl", "95", "-mxd", "inf", "-json", "s.json"])
    g = s["groups"]
    check("shares", g["protected"]["share"] == 2 / 3 and g["unprotected"]["share"] == 0.0 and
          g["protected"]["undecided"] == 1)
    check("no ratio", g["ratio"] is None and g["difference"] == 2 / 3)
    check("no maximum distance", s["settings"]["maxDistance"] is None and s["settings"]["confidenceLevel"] == 95)
    check("gzip content digested", s["inputs"]["data"]["sha256"] == sha256(os.path.join(folder, "t.csv.gz"), True))
    check("whole select file digested", s["inputs"]["select"]["sha256"] == sha256(os.path.join(folder, "t.sel")))
    check("no placebo", "placebo" not in s)

for f in failures:
    print("FAIL:", f)
print(f"summary schema: 2 runs checked, {len(failures)} failures")
sys.exit(1 if failures else 0)
