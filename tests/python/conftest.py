"""Helpers shared by the package's tests: kelcmd on the same table as files."""
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import kel

KELCMD = os.environ.get("KELCMD", "kelcmd")
EXAMPLES = os.environ.get("KEL_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


def metadata_text(kinds):
    """The metadata file of {column: kind or ordinal scale}, in order."""
    lines = []
    for name, kind in kinds.items():
        lines.append(f"{name},{kind}" if isinstance(kind, str) else f"{name},ordinal," + ",".join(kind))
    return "\n".join(lines) + "\n"


class Files:
    """A DataFrame written out for kelcmd as pandas writes it, and kelcmd's results."""

    def __init__(self, folder, df, kinds, protected, outcome, measure):
        self.folder = folder
        self.meta = folder / "t.meta"
        self.data = folder / "t.csv"
        self.select = folder / "t.sel"
        self.meta.write_text(metadata_text(kinds))
        df.to_csv(self.data, header=False, index=False, na_rep="?")
        self.select.write_text(f"{protected}\n{outcome}\n{','.join(measure)}\n")

    def kelcmd(self, *options):
        """Runs kelcmd with -nbr and -json; (output lines, neighbour rows, summary, console)."""
        out, nbr, js = self.folder / "out.csv", self.folder / "nbr.csv", self.folder / "sum.json"
        words = [KELCMD, str(self.meta), str(self.data), str(self.select), str(out), "-nbr", str(nbr),
                 "-json", str(js), *options]
        done = subprocess.run(words, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout
        import json
        lines = out.read_text().splitlines()
        neighbours = [line.split(",") for line in nbr.read_text().splitlines()[1:]]
        return lines, neighbours, json.loads(js.read_text()), done.stdout


def compare(result, lines, neighbours, summary, ids):
    """kel.test's result against kelcmd's files: rows, diff texts, verdicts,
    neighbours with their distances as floats, and the summary's figures."""
    # The output data file: the row's fields, then the diff as %g and yes/no.
    assert len(result.rows) == len(lines)
    for (label, row), line in zip(result.rows.iterrows(), lines):
        fields = line.split(",")
        assert fields[0] == str(ids[label])
        assert fields[-2] == "%g" % row["diff"]
        assert fields[-1] == ("yes" if row["verdict"] else "no")
    # The neighbours: 1-based lines there, labels here (a RangeIndex).
    n = result.neighbours
    assert len(n) == len(neighbours)
    for got, want in zip(n.itertuples(index=False), neighbours):
        assert [got.row + 1, got.group, got.rank, got.neighbour + 1, int(got.match)] == \
               [int(want[0]), want[1], int(want[2]), int(want[3]), int(want[5])]
        # %.9g reads back as the float the file was written from.
        assert np.float32(got.distance) == np.float32(float(want[4]))
        assert got.distance == float(np.float32(got.distance))
    for part in ("counts", "groups", "histogram"):
        assert result.summary[part] == summary[part], part
    assert result.summary.get("placebo") == summary.get("placebo")


@pytest.fixture
def example():
    """The bundled hiring table as a user reads it with pandas."""
    meta = [line.split(",") for line in open(os.path.join(EXAMPLES, "hiring.meta")).read().splitlines()]
    names = [m[0] for m in meta]
    df = pd.read_csv(os.path.join(EXAMPLES, "hiring.csv"), header=None, names=names, na_values=["?"],
                     keep_default_na=False)
    kinds = {m[0]: (m[2:] if m[1] == "ordinal" else m[1]) for m in meta if m[1] in ("ordinal", "ignore")}
    return df, kinds


__all__ = ["Files", "compare", "kel"]
