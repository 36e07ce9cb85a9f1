"""Frames in and out: the library's row-major matrix with a missing code.

Numeric columns become float64 with NaN for a missing value; a categorical
column (pandas Categorical) enters the library as the codes 1..k of its
categories and comes back as a Categorical of the same categories.  The
missing code is a double that no value of the matrix equals, since the
library finds missing cells by equality.
"""
import numpy as np
import pandas as pd

LOWEST = -np.finfo(np.float64).max


def is_categorical(series):
    return isinstance(series.dtype, pd.CategoricalDtype)


def record_weights(weights, n):
    """One weight per record as float64, or None when none are given."""
    if weights is None:
        return None
    w = np.ascontiguousarray(weights, dtype=np.float64)
    if w.shape != (n,):
        raise ValueError("kest: weights must hold one value per record")
    return w


def column_list(df, columns, exclude=()):
    """The columns that take part, in the frame's order when not given."""
    if columns is None:
        columns = [c for c in df.columns if c not in exclude]
    elif isinstance(columns, (str, int)) and columns in df.columns:
        columns = [columns]
    else:
        columns = list(columns)
    for c in columns:
        if c not in df.columns:
            raise KeyError(f"kest: the frame has no column {c!r}")
    if len(set(columns)) != len(columns):
        raise ValueError("kest: a column is named twice")
    return columns


def numeric_values(series, name):
    """A column's values as float64 with NaN for missing; categorical
    columns give their codes 1..k."""
    if is_categorical(series):
        codes = series.cat.codes.to_numpy().astype(np.float64)
        codes[codes < 0] = np.nan
        return codes + 1.0
    if series.dtype == bool or pd.api.types.is_bool_dtype(series.dtype):
        return series.astype(np.float64).to_numpy()
    if not pd.api.types.is_numeric_dtype(series.dtype):
        raise TypeError(f"kest: column {name!r} is neither numeric nor categorical (dtype {series.dtype})")
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    if np.isinf(values).any():
        raise ValueError(f"kest: column {name!r} holds an infinite value")
    return values


def pick_missing_code(matrix):
    """The lowest double that no cell of the matrix equals."""
    finite = matrix[~np.isnan(matrix)]
    if finite.size == 0 or finite.min() > LOWEST:
        return LOWEST
    taken = np.unique(finite)
    code = LOWEST
    # The values are sorted: walk up from the lowest double past those taken.
    for value in taken:
        if value != code:
            break
        code = np.nextafter(code, 0.0)
    return float(code)


class Matrix:
    """The chosen columns of a frame as the library's row-major matrix."""

    def __init__(self, df, columns):
        self.columns = list(columns)
        self.n = len(df)
        self.p = len(self.columns)
        self.source = df
        data = np.empty((self.n, self.p), dtype=np.float64)
        self.ncat = np.zeros(self.p, dtype=np.intc)
        for j, c in enumerate(self.columns):
            s = df[c]
            data[:, j] = numeric_values(s, c)
            if is_categorical(s):
                self.ncat[j] = len(s.cat.categories)
        self.d = max(1, int(self.ncat.max()) if self.p else 1)
        self.codes = np.zeros((self.p, self.d), dtype=np.intc)
        for j in range(self.p):
            self.codes[j, : self.ncat[j]] = np.arange(1, self.ncat[j] + 1)
        self.missing = np.isnan(data)
        self.missing_code = pick_missing_code(data)
        data[self.missing] = self.missing_code
        self.data = np.ascontiguousarray(data)

    def categorical(self, j):
        return self.ncat[j] > 0

    def filled_frame(self, rows, cols, values):
        """A copy of the source frame with the listed cells of the matrix set
        to values (cells that were not missing are left as they were)."""
        out = self.source.copy()
        rows = np.asarray(rows, dtype=np.intp)
        cols = np.asarray(cols, dtype=np.intp)
        values = np.asarray(values, dtype=np.float64)
        keep = (values != self.missing_code) & self.missing[rows, cols]
        rows, cols, values = rows[keep], cols[keep], values[keep]
        for j in np.unique(cols):
            at = cols == j
            name = self.columns[j]
            s = self.source[name]
            if is_categorical(s):
                codes = s.cat.codes.to_numpy().copy()
                codes[rows[at]] = np.rint(values[at]).astype(codes.dtype) - 1
                out[name] = pd.Categorical.from_codes(codes, dtype=s.dtype)
            else:
                column = s.to_numpy(dtype=np.float64, na_value=np.nan).copy()
                column[rows[at]] = values[at]
                out[name] = pd.Series(column, index=s.index, name=name)
        return out
