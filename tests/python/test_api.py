"""kel.run and kel.test as a caller meets them: a small table worked out by
hand, the bundled example through both entry points and kelcmd, the
errors, and the rules by which values become kinds and texts."""
import io
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

from conftest import EXAMPLES, KELCMD, kel

EXAMPLE = [os.path.join(EXAMPLES, f) for f in ("hiring.meta", "hiring.csv", "hiring-women.sel")]


def six_rows():
    # Protected x = 0, 1, 2, all rejected; unprotected x = 0, 1, 2: hired,
    # hired, rejected, in that row order.
    return pd.DataFrame({"g": ["p", "p", "p", "u", "u", "u"], "x": [0, 1, 2, 0, 1, 2],
                         "y": ["rej", "rej", "rej", "hired", "hired", "rej"]},
                        index=[10, 11, 12, 13, 14, 15])


def test_worked_example_by_hand():
    r = kel.test(six_rows(), protected="g=p", outcome="y=rej", measure=["x"], neighbours=True)
    # x=0: protected neighbours 1, 2 (both rejected): share 1; unprotected
    # 0, 1 (hired, hired): share 0. x=1: 0 and 2 are equally far from 1 in
    # either group; the earlier row wins the tie: unprotected 1, 0 (hired,
    # hired). x=2: unprotected 2, 1 (rejected, hired): share 1/2.
    assert list(r.rows.index) == [10, 11, 12]
    assert list(r.rows["diff"]) == [1.0, 1.0, 0.5]
    assert list(r.rows["verdict"]) == [True, True, True]
    first = r.neighbours[r.neighbours["row"] == 11]
    assert list(first["group"]) == ["protected", "protected", "unprotected", "unprotected"]
    assert list(first["neighbour"]) == [10, 12, 14, 13]
    assert list(first["match"]) == [True, True, False, False]
    # The standardized distance of x = 1 and x = 0, step by step in single
    # precision: mean 6/6 = 1; mean absolute deviation: four terms |v - 1|/6
    # added one by one; then (v - mean)/mad for each side.
    f = np.float32
    m = (f(0) + f(1) + f(2) + f(0) + f(1) + f(2)) / f(6)
    term = f(1) / f(6)
    mad = f(f(f(term + f(0)) + term) + term) + term
    a, b = (f(1) - m) / mad, (f(0) - m) / mad
    assert first["distance"].iloc[0] == float(abs(a - b))
    s = r.summary
    assert (s["counts"]["protected"], s["counts"]["unprotected"], s["counts"]["discriminated"]) == (3, 3, 3)
    assert s["groups"]["protected"]["share"] == 1.0
    assert s["groups"]["unprotected"]["share"] == pytest.approx(1 / 3)
    assert r.flagged.index.tolist() == [10, 11, 12]


def test_threshold_is_taken_in_single_precision():
    # kelcmd reads -thr into a float: 0.5 passes, and so does a double a
    # hair above it, which rounds to the same float.
    df = six_rows()
    above = np.nextafter(0.5, 1.0)
    assert kel.test(df, protected="g=p", outcome="y=rej", measure=["x"], threshold=above).rows["verdict"].all()
    assert not kel.test(df, protected="g=p", outcome="y=rej", measure=["x"], threshold=0.51).rows["verdict"].iloc[2]


def console_counts(text):
    return [line for line in text.splitlines() if line.startswith(("no. ", "output: "))]


def test_example_through_run_test_and_kelcmd(tmp_path, example):
    df, kinds = example
    done = subprocess.run([KELCMD, *EXAMPLE, str(tmp_path / "cli.csv"), "-knn", "8"], capture_output=True, text=True)
    assert done.returncode == 0
    console = io.StringIO()
    summary = kel.run(*EXAMPLE, str(tmp_path / "py.csv"), knn=8, threads=2, console=console)
    assert console_counts(console.getvalue()) == console_counts(done.stdout)
    assert (tmp_path / "py.csv").read_bytes() == (tmp_path / "cli.csv").read_bytes()
    counts = summary["counts"]
    result = kel.test(df, protected="sex=female", outcome="decision=rejected",
                      measure=["age", "education", "experience", "job", "city", "hours"], kinds=kinds, k=8)
    assert result.summary["counts"] == counts
    assert f"output: {counts['acondCases']} acond cases, {counts['classValue']} class value, " \
           f"{counts['discriminated']} discriminated." in done.stdout
    # The default measure: every column but the ignored, the outcome's and the group's.
    assert kel.test(df, protected="sex=female", outcome="decision=rejected", kinds=kinds,
                    k=8).summary["counts"] == counts


def test_run_failures_carry_the_programs_message(tmp_path):
    bad = tmp_path / "bad.sel"
    bad.write_text("sex=female\ndecision=fired\nage\n")
    args = [EXAMPLE[0], EXAMPLE[1], str(bad), str(tmp_path / "out.csv")]
    done = subprocess.run([KELCMD, *args], capture_output=True, text=True)
    assert done.returncode == 1
    with pytest.raises(kel.Error) as e:
        kel.run(*args, console=None)
    assert str(e.value) == done.stdout.splitlines()[-1]
    assert isinstance(e.value, Exception)
    # A missing input, an output that cannot be written.
    with pytest.raises(kel.Error, match="nothing.meta"):
        kel.run(str(tmp_path / "nothing.meta"), *EXAMPLE[1:], str(tmp_path / "o.csv"), console=None)
    with pytest.raises(kel.Error):
        kel.run(*EXAMPLE, str(tmp_path / "no" / "such" / "o.csv"), console=None)
    # Rejected options are ValueErrors with the command line's message.
    with pytest.raises(ValueError, match="Confidence level"):
        kel.run(*EXAMPLE, str(tmp_path / "o.csv"), cl=50, console=None)
    for bad_options in ({"knn": 0}, {"threads": 0}):
        with pytest.raises(ValueError):
            kel.run(*EXAMPLE, str(tmp_path / "o.csv"), console=None, **bad_options)
    with pytest.raises(TypeError):
        kel.run(*EXAMPLE, str(tmp_path / "o.csv"), kn=3, console=None)


def test_run_outputs_and_summary_match_the_command_line(tmp_path):
    py = tmp_path / "py"
    cli = tmp_path / "cli"
    py.mkdir()
    cli.mkdir()
    opts = ["-knn", "4", "-all", "-dst", "d.txt", "-nbr", "n.csv", "-json", "s.json", "-perm", "5", "-md", "m.txt"]
    done = subprocess.run([KELCMD, *EXAMPLE, "o.csv", *opts], capture_output=True, text=True, cwd=cli)
    assert done.returncode == 0
    old = os.getcwd()
    os.chdir(py)
    try:
        s = kel.run(*EXAMPLE, "o.csv", knn=4, all=True, pre=False, dst="d.txt", nbr="n.csv", json="s.json",
                    perm=5, md="m.txt", console=None)
    finally:
        os.chdir(old)
    for name in ("o.csv", "d.txt", "n.csv", "m.txt"):
        assert (py / name).read_bytes() == (cli / name).read_bytes(), name
    import json
    written = json.loads((py / "s.json").read_text())
    cli_summary = json.loads((cli / "s.json").read_text())
    for part in ("settings", "inputs", "outputs", "counts", "groups", "histogram", "placebo"):
        assert s[part] == written[part] == cli_summary[part], part


@pytest.mark.parametrize("call,kind,message", [
    (dict(protected="gender=p"), kel.Error, 'no column named "gender"'),
    (dict(protected="g"), kel.Error, "no comparison"),
    (dict(protected="g=q"), kel.Error, "protected condition"),
    (dict(outcome="y>rej"), kel.Error, "outcome condition"),
    (dict(measure=["x", "z"]), kel.Error, 'no column named "z"'),
    (dict(k=0), ValueError, "k must be"),
    (dict(seed=-1), ValueError, "seed must be"),
    (dict(placebo=2_000_000), ValueError, "Placebo runs"),
    (dict(threads=0), ValueError, "threads"),
    (dict(confidence=50), ValueError, "Confidence level"),
    (dict(threshold=float("nan")), ValueError, "NaN"),
    (dict(kinds={"x": "interval"}), kel.Error, "unknown kind"),
    (dict(kinds={"x": ["0", "1"]}), kel.Error, "x"),
    (dict(kinds={"w": "nominal"}), kel.Error, 'no column named "w"'),
])
def test_errors_are_clear_and_leave_nothing(call, kind, message):
    args = dict(protected="g=p", outcome="y=rej", measure=["x"])
    args.update(call)
    with pytest.raises(kind, match=message):
        kel.test(six_rows(), **args)


def test_tables_the_test_cannot_take():
    df = six_rows()
    when = df.assign(x=pd.to_datetime(["2020-01-01"] * 6))
    with pytest.raises(kel.Error, match="dtype datetime64"):
        kel.test(when, protected="g=p", outcome="y=rej")
    # Declared ignored, it is carried and never compared.
    kel.test(when, protected="g=p", outcome="y=rej", measure=["g"], kinds={"x": "ignore"})
    # An infinity is refused as kelcmd refuses it, with where it is.
    with pytest.raises(kel.Error, match=r"not a finite number: inf \(row 2, attribute x\)"):
        kel.test(df.assign(x=[0, np.inf, 2, 0, 1, 2]), protected="g=p", outcome="y=rej", measure=["x"])
    with pytest.raises(kel.Error, match="not a finite number"):
        kel.test(df.assign(x=[0, 1e300, 2, 0, 1, 2]), protected="g=p", outcome="y=rej", measure=["x"])
    with pytest.raises(kel.Error, match="distinct"):
        kel.test(pd.DataFrame([[1, 2]], columns=["a", "a"]), protected="a=1", outcome="a=2")
    with pytest.raises(kel.Error, match="comma"):
        kel.test(df.rename(columns={"x": "x,1"}), protected="g=p", outcome="y=rej")
    with pytest.raises(TypeError):
        kel.test({"g": ["p"]}, protected="g=p", outcome="y=rej")


def test_kinds_and_missing_values():
    df = six_rows()
    # NaN, None and pd.NA are missing; a missing outcome is undecided and a
    # missing group value leaves the row in neither group.
    holes = df.assign(x=[0, np.nan, 2, 0, 1, 2], y=["rej", None, "rej", "hired", pd.NA, "rej"],
                      g=["p", "p", None, "u", "u", "u"])
    r = kel.test(holes, protected="g=p", outcome="y=rej", measure=["x"])
    c = r.summary["counts"]
    assert (c["protected"], c["unprotected"], c["undecided"]) == (2, 3, 1)
    assert r.summary["groups"]["unprotected"]["undecided"] == 1
    # Whole numbers as floats are codes written as whole numbers; booleans
    # are True and False; a category's order does not matter, only the texts.
    coded = df.assign(x=[1.0, 2.0, np.nan, 1.0, 2.0, 1.0], b=[True, False, True, True, False, True],
                      c=pd.Categorical(["s", "t", "s", "s", "t", "t"], categories=["t", "s"]))
    r = kel.test(coded, protected="x=2,b=False", outcome="y=rej", measure=["c"], kinds={"x": "nominal"})
    assert r.summary["counts"]["protected"] == 2
    plain = coded.assign(c=coded["c"].astype(object))
    same = kel.test(plain, protected="x=2,b=False", outcome="y=rej", measure=["c"], kinds={"x": "nominal"})
    assert same.summary["counts"] == r.summary["counts"]
    # Texts in a column that mixes types are what the file would hold: 1 and
    # "1" are one value, 1.5 another.
    mixed = df.assign(m=np.array([1, "1", 1.5, "x", 1.0, True], dtype=object))
    r = kel.test(mixed, protected="m=1", outcome="y=rej", measure=["x"])
    assert r.summary["counts"]["protected"] == 3


def test_example_script_prints_kelcmds_counts(tmp_path):
    import sys
    done = subprocess.run([KELCMD, *EXAMPLE, str(tmp_path / "o.csv"), "-knn", "8"], capture_output=True, text=True)
    script = subprocess.run([sys.executable, os.path.join(EXAMPLES, "hiring.py")], capture_output=True, text=True)
    assert script.returncode == 0, script.stderr
    line = [x for x in done.stdout.splitlines() if x.startswith("output: ")]
    assert line and line[0] in script.stdout.splitlines()


def test_run_prints_to_the_stdout_of_the_moment(tmp_path, capsys):
    kel.run(*EXAMPLE, str(tmp_path / "o.csv"), knn=3)
    assert "output: 911 acond cases" in capsys.readouterr().out


def test_nullable_dtypes_read_as_their_plain_equivalents():
    plain = pd.DataFrame({"g": np.array(["p", "p", "u", "u", None, "p"], dtype=object),
                          "x": [1.0, 2.0, np.nan, 3.0, 4.0, 2.5],
                          "f": np.array([True, False, None, True, False, True], dtype=object),
                          "y": np.array(["a", "b", "a", "a", "b", None], dtype=object)})
    nullable = plain.assign(g=pd.array(plain["g"], dtype="string"),
                            x=pd.array([1, 2, None, 3, 4, 2.5], dtype="Float64"),
                            f=pd.array(plain["f"], dtype="boolean"), y=plain["y"].astype("category"))
    results = [kel.test(t, protected="g=p", outcome="y=a", measure=["x", "f"], k=1, all=True, neighbours=True)
               for t in (plain, nullable)]
    assert results[0].rows.equals(results[1].rows)
    assert results[0].neighbours.equals(results[1].neighbours)
    assert results[0].summary["counts"] == results[1].summary["counts"]


def test_messages_with_bytes_that_are_not_utf8(tmp_path):
    meta = tmp_path / "t.meta"
    meta.write_bytes(b"caf\xe9,colour\n")
    done = subprocess.run([KELCMD, str(meta), *EXAMPLE[1:], str(tmp_path / "o.csv")], capture_output=True)
    assert done.returncode == 1
    with pytest.raises(kel.Error) as e:
        kel.run(str(meta), *EXAMPLE[1:], str(tmp_path / "o.csv"), console=None)
    assert str(e.value) == done.stdout.splitlines()[-1].decode("utf-8", "replace")


def test_tests_from_several_python_threads_at_once(example):
    from concurrent.futures import ThreadPoolExecutor
    df, kinds = example
    args = dict(protected="sex=female", outcome="decision=rejected", kinds=kinds, neighbours=True)
    alone = [kel.test(df, k=k, threads=2, **args) for k in (3, 8)]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda k: kel.test(df, k=k, threads=2, **args), (3, 8, 3, 8)))
    for a, b in zip(alone * 2, together):
        assert a.rows.equals(b.rows) and a.neighbours.equals(b.neighbours)
