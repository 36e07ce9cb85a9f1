"""Imputation: donors (gen_imp), means and modes (simp_imp), EM (em)."""
import numpy as np
import pandas as pd

from . import _lib as L
from ._errors import Context, check, warn
from ._frame import Matrix, column_list, is_categorical, record_weights


def _by_list(by):
    if by is None:
        return []
    if isinstance(by, (list, tuple)):
        return list(by)
    return [by]


def _per_column(mapping, columns, default, what):
    values = list(default)
    for name, value in (mapping or {}).items():
        if name not in columns:
            raise KeyError(f"kest: {what} names {name!r}, which does not take part")
        values[columns.index(name)] = value
    return values


def default_scales(m):
    """1 / (max - min) of each continuous column's values (1 when they are
    all equal), so that every continuous variable spans a range of 1."""
    scales = np.ones(m.p)
    for j in range(m.p):
        if m.categorical(j):
            continue
        observed = m.data[~m.missing[:, j], j]
        if observed.size:
            span = observed.max() - observed.min()
            if span > 0 and np.isfinite(span):
                scales[j] = 1.0 / span
    return scales


def impute_donors(df, by=None, columns=None, weights=None, scales=None, distances=None, ties=1, seed=0,
                  reuse_penalty=False, min_weight=0.0):
    """Fills the missing cells of each record from its nearest donor.

    by: a column or a list of columns; donors then come from the
    recipient's stratum (the records sharing its values of them); records
    missing one of them are neither filled nor donors.  columns: the
    variables matched on and filled (default: all but by).  weights,
    scales, distances: per column, as dicts {column: value}; scales default
    to 1/(max - min) of the column, distances to 0 (squared difference, or
    for a categorical column a mismatch).  ties: equally close donors kept
    to draw from; seed: 0 takes the first of them, > 0 seeds the draw.
    reuse_penalty makes a donor farther each time it donates; min_weight
    skips a recipient whose variables left to match weigh less.
    Returns the filled frame; the counts of the donor search are in its
    attrs["kest_report"].
    """
    by = _by_list(by)
    for b in by:
        if b not in df.columns:
            raise KeyError(f"kest: the frame has no column {b!r}")
    columns = column_list(df, columns, exclude=by)
    if any(c in by for c in columns):
        raise ValueError("kest: a stratum column cannot also be imputed")
    m = Matrix(df, columns)
    w = np.asarray(_per_column(weights, columns, [1.0] * m.p, "weights"), dtype=np.float64)
    sc = np.asarray(_per_column(scales, columns, default_scales(m), "scales"), dtype=np.float64)
    types = np.asarray(_per_column(distances, columns, [0] * m.p, "distances"), dtype=np.intc)
    for j in range(m.p):
        if m.categorical(j) and types[j] not in (0, 1):
            raise ValueError(f"kest: the distance type of the categorical column {columns[j]!r} must be 0 or 1")

    data, ncat, codes, d = m.data, m.ncat, m.codes, m.d
    rows = np.arange(m.n)
    pool = np.zeros(3, dtype=np.intc)
    strata = None
    if by:
        strata = df[by].groupby(by, sort=True, dropna=True, observed=True).ngroup().to_numpy(dtype=np.float64)
        strata = np.where(np.isnan(strata), -1, strata).astype(np.int64)
        known = strata >= 0
        groups = int(strata.max()) + 1 if known.any() else 0
        if not known.all():
            warn("gen_imp", 0, int((~known).sum()),
                 f"{int((~known).sum())} record(s) whose {' x '.join(map(str, by))} is missing were left out")
        if groups < 2:
            strata = None
            rows = np.flatnonzero(known)
            data = np.ascontiguousarray(m.data[rows])
        else:
            # The stratum as one more categorical column that takes no part
            # in the distance.
            rows = np.flatnonzero(known)
            data = np.empty((rows.size, m.p + 1))
            data[:, : m.p] = m.data[rows]
            data[:, m.p] = strata[rows] + 1
            d = max(m.d, groups)
            codes = np.zeros((m.p + 1, d), dtype=np.intc)
            codes[: m.p, : m.d] = m.codes
            codes[m.p, :groups] = np.arange(1, groups + 1)
            ncat = np.append(m.ncat, groups).astype(np.intc)
            w = np.append(w, 0.0)
            sc = np.append(sc, 1.0)
            types = np.append(types, 0).astype(np.intc)
            pool[0], pool[1] = -1, m.p
    if strata is None:
        # Record 0 never donates outside class mode: a stand-in record
        # without gaps goes first.
        stand_in = np.where(m.ncat > 0, 1.0, 0.0)
        data = np.vstack([stand_in[None, :], data[:, : m.p]])
        rows = np.concatenate([[-1], rows])
    data = np.ascontiguousarray(data, dtype=np.float64)
    n, length = data.shape
    capacity = max(1, int((data == m.missing_code).sum()))
    cell_recs = np.zeros(capacity, dtype=np.intc)
    cell_vars = np.zeros(capacity, dtype=np.intc)
    cell_vals = np.zeros(capacity, dtype=np.float64)
    n_cells = L.ints([0])
    report = np.zeros(5, dtype=np.intc)
    codes = np.ascontiguousarray(codes, dtype=np.intc)
    L.gen_imp(L.ptr(pool, L.P_INT), int(seed), int(ties), 0, 0 if reuse_penalty else 1, float(min_weight),
              L.ptr(L.doubles(w), L.P_DOUBLE), L.ptr(L.doubles(sc), L.P_DOUBLE), L.ptr(L.ints(types), L.P_INT),
              None, n, length, L.ptr(data, L.P_DOUBLE), L.ptr(L.ints(ncat), L.P_INT), L.ptr(codes, L.P_INT),
              int(d), m.missing_code, L.ptr(n_cells, L.P_INT), L.ptr(cell_recs, L.P_INT), L.ptr(cell_vars, L.P_INT),
              L.ptr(cell_vals, L.P_DOUBLE), L.ptr(report, L.P_INT))
    check("gen_imp", report[:2], Context(variables=columns + ["(stratum)"]), accepted=(55,))
    k = int(n_cells[0])
    recs = rows[cell_recs[:k]]
    keep = recs >= 0
    out = m.filled_frame(recs[keep], cell_vars[:k][keep], cell_vals[:k][keep])
    out.attrs["kest_report"] = {"skipped": int(report[2]), "reduced": int(report[3]), "no_donor": int(report[4])}
    return out


def impute_mean(df, columns=None):
    """Fills each missing cell with its column's mean of the observed values,
    or for a categorical column its most frequent category."""
    columns = column_list(df, columns)
    m = Matrix(df, columns)
    capacity = max(1, int(m.missing.sum()))
    if m.n < 1 or m.p < 1 or not m.missing.any():
        return df.copy()
    recs = np.zeros(capacity, dtype=np.intc)
    cols = np.zeros(capacity, dtype=np.intc)
    vals = np.zeros(capacity, dtype=np.float64)
    n_cells = L.ints([0])
    error = L.ints([0, 0])
    L.simp_imp(m.n, m.p, L.ptr(m.data, L.P_DOUBLE), L.ptr(m.ncat, L.P_INT), L.ptr(m.codes, L.P_INT), m.d,
               m.missing_code, L.ptr(n_cells, L.P_INT), L.ptr(recs, L.P_INT), L.ptr(cols, L.P_INT),
               L.ptr(vals, L.P_DOUBLE), L.ptr(error, L.P_INT))
    check("simp_imp", error, Context(variables=columns))
    k = int(n_cells[0])
    return m.filled_frame(recs[:k], cols[:k], vals[:k])


def impute_em(df, columns=None, weights=None, tol=1e-6, max_passes=100):
    """Fills the missing cells of the numeric columns by EM under a
    multivariate normal model.  weights: a column name or an array of
    record weights (0 or more)."""
    if isinstance(weights, str):
        weight_column = weights
        weights = df[weights].to_numpy(dtype=np.float64)
        exclude = [weight_column]
    else:
        exclude = []
    if columns is None:
        columns = [c for c in df.columns if c not in exclude and not is_categorical(df[c])]
    columns = column_list(df, columns)
    for c in columns:
        if is_categorical(df[c]):
            raise TypeError(f"kest: EM fills numeric columns only; {c!r} is categorical")
    m = Matrix(df, columns)
    w = record_weights(weights, m.n)
    include = np.ones(m.p, dtype=np.intc)
    data = m.data.copy()
    capacity = max(1, m.n * m.p)
    recs = np.zeros(capacity, dtype=np.intc)
    cols = np.zeros(capacity, dtype=np.intc)
    vals = np.zeros(capacity, dtype=np.float64)
    n_cells = L.ints([0])
    error = L.ints([0, 0])
    L.em(m.n, m.p, L.ptr(include, L.P_INT), L.ptr(data, L.P_DOUBLE), m.missing_code, float(tol), int(max_passes),
         L.ptr(w, L.P_DOUBLE), L.ptr(n_cells, L.P_INT), L.ptr(recs, L.P_INT), L.ptr(cols, L.P_INT),
         L.ptr(vals, L.P_DOUBLE), L.ptr(error, L.P_INT))
    if error[0] == 20 and error[1] == 1:
        return df.copy()
    check("em", error, Context(variables=columns), accepted=(21, 40))
    k = int(n_cells[0])
    return m.filled_frame(recs[:k], cols[:k], vals[:k])
