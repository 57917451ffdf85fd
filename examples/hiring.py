"""The bundled hiring table from Python, as one would go through it in a
notebook: read it with pandas, test it, look at the flagged applicants and
at the neighbours behind one verdict.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/hiring.py
"""
import os

import pandas as pd

import kel

here = os.path.dirname(os.path.abspath(__file__))

# The table has no header; "?" marks a missing value.
names = ["id", "age", "sex", "education", "experience", "job", "city", "hours", "decision"]
df = pd.read_csv(os.path.join(here, "hiring.csv"), header=None, names=names, na_values=["?"],
                 keep_default_na=False)

# Numbers are continuous and texts nominal by themselves; education is an
# ordered scale, and the id is carried along but never compared.
result = kel.test(
    df,
    protected="sex=female",
    outcome="decision=rejected",
    measure=["age", "education", "experience", "job", "city", "hours"],
    kinds={"id": "ignore", "education": ["primary", "secondary", "bachelor", "master", "doctorate"]},
    k=8,
    neighbours=True,
)
print(result)
counts = result.summary["counts"]
print(f"output: {counts['acondCases']} acond cases, {counts['classValue']} class value, "
      f"{counts['discriminated']} discriminated.")

# The flagged applicants, strongest differences first.
flagged = df.join(result.flagged, how="inner").sort_values("diff", ascending=False, kind="stable")
print(flagged.head(10).to_string())

# Why the first was flagged: her 8 nearest women and her 8 nearest men, and
# whether each had her outcome.
first = flagged.index[0]
n = result.neighbours[result.neighbours["row"] == first]
print(n.merge(df, left_on="neighbour", right_index=True)
      [["group", "rank", "distance", "match", "id", "age", "education", "experience", "job", "decision"]]
      .to_string(index=False))
