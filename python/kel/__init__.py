"""The discrimination test of kelcmd on files and on pandas DataFrames.

kel.run(metadata, data, select, output, **options)
    kelcmd's run: the same files, the same options by name, the same output
    files and console lines; returns the figures of the JSON summary.
kel.test(df, protected=..., outcome=..., ...)
    the same test on a DataFrame, without files: the diff and verdict of
    every tested row, the summary, and on request the neighbours and a
    placebo baseline.

Both run kelcmd's own engine, so a DataFrame and the same table written to
files give the same diffs and verdicts, bit for bit.
"""

import json
import math
import numbers
import os
import sys

import numpy as np
import pandas as pd

from . import _core
from ._core import Error

__all__ = ["Error", "Result", "run", "test"]

Error.__doc__ = "A run that failed: the program's message, as kelcmd prints it."
Error.__module__ = "kel"

# kel.run's options: the command line's option words without the dash (-j is
# `threads`), the kind of value each takes.
_RUN_OPTIONS = {
    "sep": "text", "knn": "count", "mxd": "number", "thr": "number", "cl": "count", "md": "file",
    "dst": "file", "all": "flag", "pre": "flag", "threads": "count", "nbr": "file", "json": "file",
    "perm": "count", "seed": "count",
}


def _word(name, kind, value):
    """The command-line text of an option's value."""
    if kind == "file":
        return os.fspath(value)
    if kind == "text":
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a string")
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number")
    if kind == "count":
        if int(value) != value:
            raise ValueError(f"{name} must be a whole number, not {value!r}")
        return str(int(value))
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must be a number, not NaN")
    # repr gives the shortest text that reads back as the same double.
    return repr(value)


# The console's default: sys.stdout as it is at the call (a notebook or a
# test may have replaced it since the import).
_STDOUT = object()


def run(metadata, data, select, output, *, console=_STDOUT, **options):
    """Runs kelcmd on files: ``run("t.meta", "t.csv", "t.sel", "out.csv", knn=8, dst="d.txt")``.

    Options are the command line's, by name without the dash: sep, knn, mxd,
    thr, cl, md, dst, all, pre, nbr, json, perm, seed, and threads for -j.
    A flag (all, pre) is given by True; None leaves an option out. The
    console lines go to `console` (any object with write(); None drops them)
    once the run ends; by default to sys.stdout. Returns the summary (the
    figures of -json) as a dict.
    Raises kel.Error with the program's message where kelcmd exits with 1,
    ValueError where it rejects the options.
    """
    words = [os.fspath(metadata), os.fspath(data), os.fspath(select), os.fspath(output)]
    for name, value in options.items():
        kind = _RUN_OPTIONS.get(name)
        if kind is None:
            raise TypeError(f"run() got an unexpected option {name!r}")
        if value is None or value is False and kind == "flag":
            continue
        if kind == "flag":
            if value is not True:
                raise TypeError(f"{name} must be True, False or None")
            words.append("-" + name)
            continue
        if name == "knn" and not isinstance(value, bool) and isinstance(value, numbers.Real) and value < 1:
            raise ValueError("knn must be at least 1")
        words += ["-j" if name == "threads" else "-" + name, _word(name, kind, value)]
    if console is _STDOUT:
        console = sys.stdout
    text, summary, failure, rejection = _core.run(words)
    if rejection is not None:
        raise ValueError(rejection)
    if console is not None and text:
        console.write(text)
        if hasattr(console, "flush"):
            console.flush()
    if failure is not None:
        raise Error(failure)
    return json.loads(summary)


class Result:
    """What kel.test found.

    rows        DataFrame indexed like the input, one row per tested tuple
                (those kelcmd writes to its output data file), in table
                order: `diff` (float) and `verdict` (True where flagged,
                kelcmd's "yes").
    summary     dict: the figures of kelcmd's JSON summary (settings, counts,
                groups, histogram, timings, placebo) without the files.
    neighbours  DataFrame (with neighbours=True, else None): row, group
                ("protected" or "unprotected"), rank, neighbour, distance,
                match; rows and neighbours are index labels of the input.
    placebo     dict (with placebo > 0, else None): the placebo figures.
    """

    def __init__(self, rows, summary, neighbours, placebo):
        self.rows = rows
        self.summary = summary
        self.neighbours = neighbours
        self.placebo = placebo

    @property
    def flagged(self):
        """The rows whose verdict is True."""
        return self.rows[self.rows["verdict"]]

    def __repr__(self):
        c = self.summary["counts"]
        return (f"<kel.Result: {c['acondCases']} protected, {c['classValue']} class value, "
                f"{c['discriminated']} discriminated>")


_KINDS = ("continuous", "nominal", "ignore")


def _is_missing(value):
    if value is None or value is pd.NA or value is pd.NaT:
        return True
    return isinstance(value, (float, np.floating)) and math.isnan(value)


def _text(value):
    """A value's text in a coded column: what the field would hold in a file."""
    if isinstance(value, (bool, np.bool_)):
        return "True" if value else "False"
    if isinstance(value, (numbers.Integral, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        # A whole number is written as one (a column of codes with a gap read
        # as floats): 2.0 is "2".
        if math.isfinite(value) and value == int(value):
            return str(int(value))
        return str(value)
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def _coded(series):
    """(texts, codes) of a column: codes index texts, -1 is missing.

    The engine gives each distinct text its code in order of first occurrence
    in the table, as the data reader does, so texts need not be distinct.
    """
    if isinstance(series.dtype, pd.CategoricalDtype):
        texts = [_text(v) for v in series.cat.categories]
        return texts, series.cat.codes.to_numpy(dtype=np.int64)
    codes, uniques = pd.factorize(series, use_na_sentinel=True)
    uniques = list(uniques)
    # factorize takes 1, 1.0 and True for one value; their texts differ, so
    # a column that mixes types is coded by text.
    kinds = {type(u) for u in uniques}
    if len(kinds) > 1 and series.dtype == object:
        texts = [None if _is_missing(v) else _text(v) for v in series.to_numpy(dtype=object)]
        codes, uniques = pd.factorize(pd.Series(texts, dtype=object), use_na_sentinel=True)
        return list(uniques), np.asarray(codes, dtype=np.int64)
    texts = ["?" if _is_missing(u) else _text(u) for u in uniques]
    return texts, np.asarray(codes, dtype=np.int64)


def _field(text):
    # The data reader drops the spaces around a field.
    return text.strip(" ")


def _kind_of(name, series, declared):
    """The column's kind: the one declared, else by dtype."""
    dtype = series.dtype
    if declared is not None:
        if isinstance(declared, str):
            if declared not in _KINDS:
                raise Error(f'column "{name}": unknown kind "{declared}" (continuous, nominal, ignore, '
                            f'or the list of an ordinal scale)')
            if declared == "continuous" and pd.api.types.is_bool_dtype(dtype):
                raise Error(f'column "{name}": a column of booleans cannot be continuous')
            return declared
        scale = list(declared)
        if not scale or not all(isinstance(v, str) for v in scale):
            raise Error(f'column "{name}": an ordinal scale is a non-empty list of texts')
        return scale
    if pd.api.types.is_bool_dtype(dtype):
        return "nominal"
    if pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype):
        # As the importer decides: numbers make a continuous column, unless
        # there is no value at all.
        return "continuous" if series.notna().any() else "nominal"
    if dtype == object or pd.api.types.is_string_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype):
        return "nominal"
    raise Error(f'column "{name}" has dtype {dtype}, which is not taken as it is: convert it, or declare its '
                f'kind in kinds (nominal or ignore take its texts)')


def _column(name, series, kind):
    col = _core.Column()
    if kind == "continuous" and pd.api.types.is_numeric_dtype(series.dtype) \
            and not pd.api.types.is_bool_dtype(series.dtype):
        # The number itself: a float64 read from a text is the double nearest
        # to it, which the engine rounds to float as it rounds the text.
        col.kind = "number"
        col.numbers = series.to_numpy(dtype=np.float64, na_value=np.nan)
        return col
    texts, codes = _coded(series)
    col.kind = kind if isinstance(kind, str) else "ordinal"
    col.texts = [_field(t) for t in texts]
    col.codes = codes
    return col


def _check_name(name):
    text = str(name)
    if not text or any(c in text for c in ",\n\r"):
        raise Error(f"column name {text!r} cannot be used: it must be non-empty, without commas or line ends")
    return text


def _items(what, condition, names):
    """The condition's items, each checked for an operator and a column."""
    items = condition.split(",") if isinstance(condition, str) else list(condition)
    if not items or not all(isinstance(i, str) and i for i in items):
        raise Error(f"{what} condition: give it as text, e.g. \"sex=female\"")
    for item in items:
        at = min((item.find(c) for c in "<=>" if c in item), default=-1)
        if at < 0:
            raise Error(f'{what} condition "{item}": no comparison (one of <, <=, =, <>, >=, >)')
        if item[:at] not in names:
            raise Error(f'{what} condition "{item}": no column named "{item[:at]}"')
        if "," in item or "\n" in item:
            raise Error(f'{what} condition "{item}": one comparison per item')
    return items


def _option_count(name, value, lowest):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number")
    if value < lowest or value > 0xFFFFFFFF:
        raise ValueError(f"{name} must be a whole number from {lowest} to 4294967295, not {value}")
    return str(int(value))


def test(df, protected, outcome, measure=None, kinds=None, k=2, threshold=0.1, confidence=None,
         max_distance=None, all=False, threads=None, neighbours=False, placebo=0, seed=1):
    """The discrimination test of kelcmd on a DataFrame.

    protected   the protected group: "sex=female", or items joined by commas
                or in a list (all must hold), as in a select-options file
    outcome     the outcome under test: "decision=rejected", "score>=8"
    measure     the columns the distance is measured on; default: every
                column neither ignored, nor the outcome's, nor in the
                protected condition
    kinds       {column: "continuous" | "nominal" | "ignore" | [ordinal scale]};
                otherwise numbers are continuous, booleans, texts and
                categories nominal
    k, threshold, confidence (a level: 90, 95..99), max_distance, all,
    threads (default: every core), placebo (runs), seed: as kelcmd's
    -knn, -thr, -cl, -mxd, -all, -j, -perm, -seed.

    NaN, None and NA are missing values, as is the text "?". Returns a Result.
    Raises kel.Error for a table or condition the test cannot take, and
    ValueError for an option value out of range.
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError("kel.test needs a pandas DataFrame")
    names = [_check_name(n) for n in df.columns]
    if len(set(names)) != len(names):
        raise Error("column names must be distinct")
    kinds = dict(kinds or {})
    for name in kinds:
        if str(name) not in names:
            raise Error(f'kinds: no column named "{name}"')
    declared = {str(n): v for n, v in kinds.items()}
    acond = _items("protected", protected, names)
    if not isinstance(outcome, str):
        raise Error('outcome condition: give it as text, e.g. "decision=rejected"')
    ccond = _items("outcome", outcome, names)
    if len(ccond) != 1:
        raise Error(f'outcome condition "{outcome}": one comparison only')

    column_kinds = [_kind_of(n, df.iloc[:, i], declared.get(n)) for i, n in enumerate(names)]
    if measure is None:
        def name_of(item):
            return item[:min(item.find(c) for c in "<=>" if c in item)]
        left_out = {name_of(i) for i in acond + ccond}
        measure = [n for n, kd in zip(names, column_kinds) if kd != "ignore" and n not in left_out]
    else:
        measure = [str(m) for m in ([measure] if isinstance(measure, str) else measure)]
        for m in measure:
            if m not in names:
                raise Error(f'measure: no column named "{m}"')
    if not measure:
        raise Error("measure: no column to measure")

    lines = []
    for n, kd in zip(names, column_kinds):
        if isinstance(kd, str):
            lines.append(f"{n},{kd}\n")
            continue
        for v in kd:
            if any(c in v for c in ",\n\r") or not v:
                raise Error(f'column "{n}": the ordinal value {v!r} cannot be used (empty, or with a comma or line end)')
        lines.append(f"{n},ordinal,{','.join(kd)}\n")
    columns = [_column(n, df.iloc[:, i], kd) for i, (n, kd) in enumerate(zip(names, column_kinds))]

    words = ["-knn", _option_count("k", k, 1), "-thr", _word("threshold", "number", threshold)]
    if confidence is not None:
        words += ["-cl", _option_count("confidence", confidence, 0)]
    if max_distance is not None:
        words += ["-mxd", _word("max_distance", "number", max_distance)]
    if all:
        words.append("-all")
    if threads is not None:
        words += ["-j", _option_count("threads", threads, 1)]
    if placebo:
        words += ["-perm", _option_count("placebo", placebo, 0)]
    words += ["-seed", _option_count("seed", seed, 0)]

    out = _core.test("".join(lines), columns, len(df), ",".join(acond), ccond[0], measure, words,
                     bool(neighbours))
    index = df.index
    rows = pd.DataFrame({"diff": out["diff"], "verdict": out["flagged"].astype(bool)},
                        index=index.take(out["rows"]))
    summary = json.loads(out["summary"])
    for key in ("inputs", "outputs"):
        summary.pop(key, None)
    summary["settings"].pop("separator", None)
    table = None
    if neighbours:
        n = out["neighbours"]
        table = pd.DataFrame({
            "row": index.take(n["row"]),
            "group": np.where(n["protected"].astype(bool), "protected", "unprotected"),
            "rank": n["rank"].astype(np.int64),
            "neighbour": index.take(n["neighbour"]),
            "distance": n["distance"].astype(np.float64),
            "match": n["match"].astype(bool),
        })
    return Result(rows, summary, table, summary.get("placebo"))
