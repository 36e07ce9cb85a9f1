"""Multivariate outliers (bacon)."""
import numpy as np
import pandas as pd

from . import _lib as L
from ._errors import Context, check
from ._frame import Matrix, column_list, is_categorical, record_weights

_STARTS = {"em": 1, "median": 2, "complete": 0}


def bacon(df, columns=None, weights=None, alpha=0.05, size_factor=4, start="complete"):
    """Finds multivariate outliers among the records.

    columns: the numeric columns examined (default: every numeric column,
    less a weight column named by weights).  weights: a column name or an
    array of record weights.  start: "complete" (the starting subset from
    the records without a gap; the others are left out), "median" or "em".
    Returns a frame indexed like df with `outlier` (a record outside the
    final subset that has a value of the columns examined and a weight above
    0) and `membership` (the record's weight in the final subset, 0 outside
    it, -1 left out).
    """
    exclude = []
    if isinstance(weights, str):
        exclude = [weights]
        weights = df[weights].to_numpy(dtype=np.float64)
    if columns is None:
        columns = [c for c in df.columns if c not in exclude and not is_categorical(df[c])]
    columns = column_list(df, columns)
    if start not in _STARTS:
        raise ValueError(f"kest: start must be em, median or complete, not {start!r}")
    m = Matrix(df, columns)
    w = record_weights(weights, m.n)
    include = np.ones(m.p, dtype=np.intc)
    data = m.data.copy()
    member = np.zeros(m.n, dtype=np.float64)
    error = L.ints([0, 0])
    L.bacon(m.n, m.p, L.ptr(include, L.P_INT), L.ptr(data, L.P_DOUBLE), m.missing_code, int(size_factor),
            float(alpha), _STARTS[start], L.ptr(member, L.P_DOUBLE), L.ptr(w, L.P_DOUBLE), L.ptr(error, L.P_INT))
    check("bacon", error, Context(variables=columns))
    judged = ~m.missing.all(axis=1) if m.p else np.zeros(m.n, dtype=bool)
    if w is not None:
        judged &= w > 0
    outlier = (member == 0.0) & judged
    return pd.DataFrame({"outlier": outlier, "membership": member}, index=df.index)
