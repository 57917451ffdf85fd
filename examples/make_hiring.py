#!/usr/bin/env python3
"""Generates the bundled example: a synthetic hiring table with a planted bias.

Applicants have an age, an education level, years of experience, a job family,
a city and weekly hours. The hiring decision depends on those qualifications
through one score; for women the score is lowered, so that among applicants
with the same qualifications women are rejected more often. About 2% of the
fields are missing ("?"). The output is deterministic (fixed seed).

Usage: python3 examples/make_hiring.py [folder [rows]]
(default: the script's folder and 2000 rows; the benchmarks ask for more)
"""
import os
import random
import sys

EDUCATION = ["primary", "secondary", "bachelor", "master", "doctorate"]
JOBS = ["clerk", "technician", "engineer", "sales", "manager"]
CITIES = ["north", "south", "east", "west"]


def maybe_missing(rng, text):
    return "?" if rng.random() < 0.02 else text


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rows_wanted = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    rng = random.Random(20261207)
    rows = []
    for i in range(rows_wanted):
        sex = "female" if rng.random() < 0.45 else "male"
        age = rng.randint(19, 64)
        education = rng.choices(range(len(EDUCATION)), weights=[10, 35, 30, 18, 7])[0]
        experience = max(0, min(age - 18, int(rng.gauss((age - 18) * 0.6, 4))))
        job = rng.choice(JOBS)
        city = rng.choice(CITIES)
        hours = round(rng.uniform(20, 45) * 2) / 2
        score = 0.45 * education + 0.06 * experience + (0.4 if job in ("engineer", "manager") else 0.0)
        score += rng.gauss(0, 0.5)
        if sex == "female":
            score -= 0.9  # the planted bias
        decision = "hired" if score > 1.6 else "rejected"
        rows.append([
            "A%05d" % (i + 1),
            maybe_missing(rng, str(age)),
            sex,
            maybe_missing(rng, EDUCATION[education]),
            maybe_missing(rng, str(experience)),
            maybe_missing(rng, job),
            maybe_missing(rng, city),
            maybe_missing(rng, ("%g" % hours)),
            decision,
        ])

    with open(os.path.join(folder, "hiring.csv"), "w", newline="\n") as f:
        for r in rows:
            f.write(",".join(r) + "\n")
    with open(os.path.join(folder, "hiring.meta"), "w", newline="\n") as f:
        f.write("id,ignore\n")
        f.write("age,continuous\n")
        f.write("sex,nominal\n")
        f.write("education,ordinal," + ",".join(EDUCATION) + "\n")
        f.write("experience,continuous\n")
        f.write("job,nominal\n")
        f.write("city,nominal\n")
        f.write("hours,continuous\n")
        f.write("decision,nominal\n")
    with open(os.path.join(folder, "hiring-women.sel"), "w", newline="\n") as f:
        f.write("sex=female\n")
        f.write("decision=rejected\n")
        f.write("age,education,experience,job,city,hours\n")
        f.write("hired\n")


if __name__ == "__main__":
    main()
