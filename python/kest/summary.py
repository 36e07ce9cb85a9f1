"""Summary statistics of every column (summ_stats)."""
import numpy as np
import pandas as pd

from . import _lib as L
from ._errors import Context, check
from ._frame import Matrix, is_categorical

_MOST_BINS = 11


def summary(df):
    """Per column: the observed and missing counts; for a numeric column
    the mean, standard deviation (divisor n - 1), minimum and maximum; for a
    categorical one the frequency of each category (a dict in `frequencies`).
    A numeric column with fewer than two values gets NaN statistics."""
    columns = list(df.columns)
    m = Matrix(df, columns)
    a = max(m.d, _MOST_BINS)
    codes = np.zeros((m.p, a), dtype=np.intc)
    codes[:, : m.d] = m.codes
    ncat = m.ncat.copy()
    mean, sd, lo, hi = (np.full(m.p, np.nan) for _ in range(4))
    n_obs = np.full(m.p, -1, dtype=np.intc)
    mids = np.zeros((m.p, a))
    freqs = np.zeros((m.p, a), dtype=np.intc)
    error = L.ints([0, 0])
    L.summ_stats(m.n, m.p, m.missing_code, L.ptr(m.data, L.P_DOUBLE), L.ptr(ncat, L.P_INT), L.ptr(codes, L.P_INT),
                 a, L.ptr(mean, L.P_DOUBLE), L.ptr(sd, L.P_DOUBLE), L.ptr(lo, L.P_DOUBLE), L.ptr(hi, L.P_DOUBLE),
                 L.ptr(n_obs, L.P_INT), L.ptr(mids, L.P_DOUBLE), L.ptr(freqs, L.P_INT), L.ptr(error, L.P_INT))
    too_few_values = 5
    if error[0] != too_few_values:
        check("summ_stats", error, Context(variables=columns))
    observed = (~m.missing).sum(axis=0)
    rows = []
    for j, c in enumerate(columns):
        categorical = is_categorical(df[c])
        stats = [mean[j], sd[j], lo[j], hi[j]]
        if categorical or n_obs[j] < 0:
            stats = [np.nan] * 4
        frequencies = None
        if categorical:
            frequencies = {cat: int(freqs[j, k]) for k, cat in enumerate(df[c].cat.categories)}
        rows.append({"type": "categorical" if categorical else "numeric", "n": int(observed[j]),
                     "missing": int(m.n - observed[j]), "mean": stats[0], "sd": stats[1], "min": stats[2],
                     "max": stats[3], "frequencies": frequencies})
    return pd.DataFrame(rows, index=pd.Index(columns, name="variable"))
