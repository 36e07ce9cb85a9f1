"""kest on Dask: imputation and outlier search stratum by stratum on a
cluster's workers, and scoring with a fitted tree partition by partition.

Each stratum (the records sharing their values of `by`) is gathered on one
worker and handed to the single-machine routine, so a stratum must fit in
one worker's memory.  The results are Dask frames with the input's index
(rows may come in another order: align by index).  Records that miss a
value of `by` belong to no stratum; they come back unchanged (imputation)
or unjudged (bacon).
"""
import numpy as np
import pandas as pd

import kest as _kest
from ._frame import is_categorical

try:
    import dask.dataframe as dd
except ImportError as e:  # pragma: no cover - depends on the machine
    raise ImportError("kest.dask needs dask and distributed (python3-dask, python3-distributed)") from e


def _by_list(by):
    if by is None:
        return []
    return list(by) if isinstance(by, (list, tuple)) else [by]


def _per_stratum(ddf, by, function, meta):
    """function(stratum's frame) on every stratum; the records that miss a
    value of by belong to none and are left to the caller."""
    by = _by_list(by)
    known = ddf.dropna(subset=by)
    return known.groupby(by, observed=True, group_keys=False).apply(function, meta=meta)


def _without_stratum(ddf, by):
    by = _by_list(by)
    return ddf[ddf[by].isna().any(axis=1)]


def _global_scales(ddf, columns, given):
    """1/(max - min) of every continuous column over the whole frame, as
    the single-machine call computes them, so that every stratum measures
    distances alike."""
    scales = dict(given or {})
    numeric = [c for c in columns if c not in scales and not is_categorical(ddf._meta[c])]
    if numeric:
        low, high = dd.compute(ddf[numeric].min(), ddf[numeric].max())
        for c in numeric:
            span = float(high[c]) - float(low[c])
            scales[c] = 1.0 / span if span > 0 and np.isfinite(span) else 1.0
    return scales


def impute_donors(ddf, by, columns=None, scales=None, **options):
    """Donor imputation within each stratum of `by` on the cluster: equal
    to kest.impute_donors(whole frame, by=by, ...) row for row, for seed 0
    (the first of equally close donors; a seeded draw runs its own
    sequence in each stratum)."""
    by = _by_list(by)
    if not by:
        raise ValueError("kest.dask.impute_donors needs strata: give by")
    if columns is None:
        columns = [c for c in ddf.columns if c not in by]
    scales = _global_scales(ddf, columns, scales)

    def fill(stratum):
        with np.errstate(all="ignore"):
            return _kest.impute_donors(stratum, columns=columns, scales=scales, **options)

    filled = _per_stratum(ddf, by, fill, ddf._meta)
    return dd.concat([filled, _without_stratum(ddf, by)])


def impute_mean(ddf, by=None, columns=None):
    """Fills each missing cell with its column's mean (a categorical
    column's most frequent category) over the whole frame, or within the
    stratum of `by`."""
    by = _by_list(by)
    if by:
        if columns is None:
            columns = [c for c in ddf.columns if c not in by]
        filled = _per_stratum(ddf, by, lambda s: _kest.impute_mean(s, columns=columns), ddf._meta)
        return dd.concat([filled, _without_stratum(ddf, by)])
    columns = list(ddf.columns) if columns is None else list(columns)
    numeric = [c for c in columns if not is_categorical(ddf._meta[c])]
    categorical = [c for c in columns if is_categorical(ddf._meta[c])]
    sums, counts = dd.compute(ddf[numeric].sum(), ddf[numeric].count()) if numeric else ({}, {})
    fills = {c: float(sums[c]) / float(counts[c]) for c in numeric if counts[c] > 0}
    for c in categorical:
        frequencies = ddf[c].value_counts().compute()
        categories = list(ddf._meta[c].cat.categories)
        frequencies = frequencies.reindex(categories, fill_value=0)
        # The earliest category wins a tie; the first stands when none is seen.
        fills[c] = categories[int(np.argmax(frequencies.to_numpy()))] if categories else None

    def fill(part):
        out = part.copy()
        for c, value in fills.items():
            if value is not None:
                out[c] = out[c].fillna(value)
        return out

    return ddf.map_partitions(fill, meta=ddf._meta)


def impute_em(ddf, by, **options):
    """EM within each stratum of `by`: equal to kest.impute_em on each
    stratum's records."""
    def fill(stratum):
        return _kest.impute_em(stratum, **options)

    return dd.concat([_per_stratum(ddf, by, fill, ddf._meta), _without_stratum(ddf, by)])


def bacon(ddf, by, columns=None, **options):
    """Outliers within each stratum of `by`: equal to kest.bacon on each
    stratum's records.  Records without a stratum are not outliers and have
    membership -1."""
    by = _by_list(by)
    if columns is None:
        columns = [c for c in ddf.columns if c not in by and not is_categorical(ddf._meta[c])
                   and c != options.get("weights")]
    meta = pd.DataFrame({"outlier": pd.Series(dtype=bool), "membership": pd.Series(dtype=np.float64)},
                        index=ddf._meta.index)

    def judge(stratum):
        return _kest.bacon(stratum, columns=columns, **options)

    def unjudged(part):
        return pd.DataFrame({"outlier": np.zeros(len(part), dtype=bool), "membership": -np.ones(len(part))},
                            index=part.index)

    rest = _without_stratum(ddf, by).map_partitions(unjudged, meta=meta)
    return dd.concat([_per_stratum(ddf, by, judge, meta), rest])


def predict(tree, ddf, method="value", seed=None):
    """A fitted tree's predictions for every partition (a Dask Series with
    ddf's index).  Equal to tree.predict on the whole frame for the
    deterministic methods; a random draw runs its own sequence in each
    partition."""
    target = tree._target_dtype
    if isinstance(target, pd.CategoricalDtype) and (tree._kind == 2 or method != "value"):
        meta = pd.Series(pd.Categorical([], dtype=target), index=ddf._meta.index[:0])
    else:
        meta = pd.Series([], dtype=np.float64, index=ddf._meta.index[:0])
    return ddf.map_partitions(lambda part: tree.predict(part, method=method, seed=seed), meta=meta)
