"""kel.test on a DataFrame against kelcmd on the same table written by
pandas' to_csv: the same rows, diffs, verdicts, neighbours (distances as
floats, bit for bit) and summary figures, on random tables with missing
values, every kind of column, ties and several settings."""
import numpy as np
import pandas as pd
import pytest

from conftest import Files, compare, kel

SCALE = ["low", "mid", "high", "top"]


def random_table(seed, rows):
    rng = np.random.default_rng(seed)
    missing = lambda p: rng.random(rows) < p
    # Few distinct values make ties in distances common; decimals with many
    # digits test the rounding from double to float.
    age = rng.integers(18, 70, rows).astype(float)
    age[missing(0.05)] = np.nan
    pay = np.array([round(v, int(d)) for v, d in zip(rng.normal(3000, 900, rows), rng.integers(0, 7, rows))])
    pay[missing(0.05)] = np.nan
    score = rng.choice([0.1, 0.2, 0.30000000000000004, 1e-7, 123456.789], rows)
    count = rng.integers(0, 4, rows)
    sex = rng.choice(np.array(["female", "male", None], dtype=object), rows, p=[0.45, 0.5, 0.05])
    level = rng.choice(np.array(SCALE + [None], dtype=object), rows)
    city = pd.Categorical(rng.choice(["north", "south", "east"], rows), categories=["south", "east", "north"])
    owner = rng.random(rows) < 0.3
    bias = (sex == "female") * 0.25 + rng.random(rows)
    decision = np.where(bias > 0.7, "rejected", "hired").astype(object)
    decision[missing(0.03)] = None
    return pd.DataFrame({
        "id": [f"r{i}" for i in range(rows)], "age": age, "pay": pay, "score": score, "count": count,
        "sex": sex, "level": level, "city": city, "owner": owner, "decision": decision,
    })


KINDS = {"id": "ignore", "age": "continuous", "pay": "continuous", "score": "continuous", "count": "continuous",
         "sex": "nominal", "level": SCALE, "city": "nominal", "owner": "nominal", "decision": "nominal"}
MEASURE = ["age", "pay", "score", "count", "level", "city", "owner"]


@pytest.mark.parametrize("seed,rows,options,cli", [
    (1, 300, {}, []),
    (2, 500, {"k": 5, "all": True}, ["-knn", "5", "-all"]),
    (3, 400, {"k": 3, "threshold": 0.05, "confidence": 95}, ["-knn", "3", "-thr", "0.05", "-cl", "95"]),
    (4, 400, {"max_distance": 0.3, "threads": 2}, ["-mxd", "0.3", "-j", "2"]),
    (5, 200, {"placebo": 20, "seed": 7}, ["-perm", "20", "-seed", "7"]),
])
def test_random_tables_match_kelcmd(tmp_path, seed, rows, options, cli):
    df = random_table(seed, rows)
    files = Files(tmp_path, df, KINDS, "sex=female", "decision=rejected", MEASURE)
    lines, neighbours, summary, _ = files.kelcmd(*cli)
    assert lines, "the table should have tested rows"
    kinds = {"id": "ignore", "level": SCALE}
    result = kel.test(df, protected="sex=female", outcome="decision=rejected", measure=MEASURE, kinds=kinds,
                      neighbours=True, **options)
    compare(result, lines, neighbours, summary, df["id"])
    # The file read back as a user reads it gives the same result again.
    back = pd.read_csv(files.data, header=None, names=list(df.columns), na_values=["?"], keep_default_na=False)
    again = kel.test(back, protected="sex=female", outcome="decision=rejected", measure=MEASURE, kinds=kinds,
                     neighbours=True, **options)
    compare(again, lines, neighbours, summary, df["id"])


def test_continuous_outcome_and_conditions_on_numbers(tmp_path):
    # A continuous class with "<" (its diff negated), a protected group by a
    # number and an ordinal comparison, and an ordinal measured.
    df = random_table(11, 300)
    files = Files(tmp_path, df, KINDS, "age<30,level>=mid", "pay<2800", ["score", "count", "city", "sex"])
    lines, neighbours, summary, _ = files.kelcmd("-knn", "4")
    result = kel.test(df, protected=["age<30", "level>=mid"], outcome="pay<2800",
                      measure=["score", "count", "city", "sex"], kinds={"id": "ignore", "level": SCALE}, k=4,
                      neighbours=True)
    compare(result, lines, neighbours, summary, df["id"])


def test_texts_of_values_as_pandas_writes_them(tmp_path):
    # Numbers as codes, booleans, spaces around texts and "?" as a text:
    # kelcmd reads the file pandas writes, spaces dropped, "?" missing.
    rng = np.random.default_rng(5)
    rows = 240
    df = pd.DataFrame({
        "id": np.arange(rows),
        "grade": rng.integers(1, 5, rows),
        "member": rng.random(rows) < 0.5,
        "town": rng.choice(np.array([" a", "a ", "b", "?", "c"], dtype=object), rows),
        "x": rng.integers(0, 3, rows).astype(np.float32) / np.float32(3),
        "group": rng.choice(np.array(["p", "u"], dtype=object), rows),
        "y": rng.choice(np.array(["yes", "no"], dtype=object), rows),
    })
    kinds = {"id": "ignore", "grade": "nominal", "member": "nominal", "town": "nominal", "x": "continuous",
             "group": "nominal", "y": "nominal"}
    files = Files(tmp_path, df, kinds, "group=p,member=True", "y=yes", ["grade", "town", "x"])
    lines, neighbours, summary, _ = files.kelcmd("-all")
    result = kel.test(df, protected="group=p,member=True", outcome="y=yes", measure=["grade", "town", "x"],
                      kinds={"id": "ignore", "grade": "nominal"}, all=True, neighbours=True)
    compare(result, lines, neighbours, summary, df["id"])
    # A condition on a code column names the code as the file has it.
    coded = kel.test(df, protected="grade=2", outcome="y=yes", measure=["town", "x"], kinds={"grade": "nominal"})
    assert coded.summary["counts"]["protected"] == int((df["grade"] == 2).sum())
