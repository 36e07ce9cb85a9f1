"""Reading and writing data sets through the library.

A data set is a data file NAME.xml with its schema (NAME.xdr) and
stylesheet (NAME.xsl) beside it, and optionally the codebook
NAME.codebook.csv, which holds the labels of categorical codes.  Every cell
has a status; the reader reports only whether a cell is read under a
status limit, so the status of every cell is found by reading under the
limits that each add one status (as the command-line tool does), while the
data set's lock is held shared across the readings.
"""
import csv
import ctypes
import os
import re
import threading

import numpy as np
import pandas as pd

from . import _lib as L
from ._errors import Context, KestError, check
from ._frame import LOWEST, is_categorical, numeric_values

STATUS_NAMES = ["Valid", "Validn", "Imputed", "Suspect", "Error", "Missing"]
STATUS_DTYPE = pd.CategoricalDtype(STATUS_NAMES)

# Reading under these limits adds one status each; what none reads is Missing.
_STATUS_PASSES = [(1, "Valid"), (-2, "Imputed"), (-3, "Suspect"), (-4, "Error"), (2, "Validn")]
_FIRST_GUESS_CODES = 256
_MOST_CODES = 5000
_MIN_CELL_LENGTH = 20
_MAX_FIELD = 14
_LOCK_SHARED, _LOCK_EXCLUSIVE = 1, 2
_UPDATE_MODE = {"Imputed": 1, "Suspect": 2, "Error": 3, "Missing": 4}


class Dataset:
    """A data set read into pandas: `data`, `status` (same shape, a
    Categorical of the six status names) and `name`."""

    def __init__(self, data, status, name):
        self.data = data
        self.status = status
        self.name = name

    def __repr__(self):
        return f"<kest.Dataset {self.name!r}: {self.data.shape[0]} records x {self.data.shape[1]} variables>"


# ---------------------------------------------------------------------------
# Files of a data set

def _reference(data_file, line_prefix, marker):
    with open(data_file, "rb") as f:
        for _ in range(5):
            line = f.readline().decode("utf-8", "replace")
            if not line.startswith(line_prefix):
                continue
            at = line.find(marker)
            if at < 0:
                return None
            start = at + len(marker)
            end = line.find('"', start)
            return line[start:end] if end > start else None
    return None


def _locate(data_file, named, what):
    if not os.path.isabs(named):
        beside = os.path.join(os.path.dirname(os.path.abspath(data_file)), named)
        if os.path.exists(beside):
            return os.path.normpath(beside)
    if os.path.exists(named):
        return named
    raise FileNotFoundError(f"kest: the {what} '{named}' named in '{data_file}' is found neither beside the data "
                            "file nor as given")


def locate_schema(data_file):
    prefix = '<kest_data xmlns="x-schema:'
    named = _reference(data_file, prefix, prefix)
    if named is None:
        raise ValueError(f"kest: '{data_file}' has no root tag {prefix}PATH\"> naming its schema")
    return _locate(data_file, named, "schema")


def codebook_path(data_file):
    folder, base = os.path.split(data_file)
    stem = base[:-4] if base.endswith(".xml") else base
    return os.path.join(folder, stem + ".codebook.csv")


def read_codebook(data_file):
    """The labels {variable: {code: label}} of the data file's codebook."""
    path = codebook_path(data_file)
    labels = {}
    if not os.path.exists(path):
        return labels
    with open(path, newline="", encoding="utf-8") as f:
        rows = csv.reader(f)
        header = next(rows, None)
        if header is None or len(header) != 4 or header[0] != "entry":
            raise ValueError(f"kest: line 1 of the codebook '{path}' is not the header 'entry,variable,code,text'")
        for number, row in enumerate(rows, start=2):
            if not row or row == [""]:
                continue
            if len(row) != 4:
                raise ValueError(f"kest: line {number} of the codebook '{path}' does not hold 4 fields")
            if row[0] == "label":
                try:
                    code = int(row[2])
                except ValueError:
                    raise ValueError(f"kest: line {number} of the codebook '{path}' holds '{row[2]}' where a "
                                     "whole number belongs") from None
                labels.setdefault(row[1], {})[code] = row[3]
            elif row[0] not in ("name", "row_names"):
                raise ValueError(f"kest: line {number} of the codebook '{path}' has the unknown entry '{row[0]}'")
    return labels


def _csv_field(text, quote=False):
    if not quote:
        quote = any(ch in text for ch in ',"\r\n') or (text and (text[0] == " " or text[-1] == " "))
    return '"' + text.replace('"', '""') + '"' if quote else text


def write_codebook(data_file, labels):
    path = codebook_path(data_file)
    if not labels:
        if os.path.exists(path):
            os.remove(path)
        return
    lines = ["entry,variable,code,text"]
    for variable, codes in labels.items():
        for code, label in codes.items():
            lines.append(f"label,{_csv_field(variable)},{code},{_csv_field(str(label), True)}")
    partial = path + ".partial"
    with open(partial, "w", newline="", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(partial, path)


class _Lock:
    """The data set's lock, held for a multi-pass read or a write."""

    def __init__(self, schema, mode):
        self.schema, self.mode, self.handle = schema, mode, ctypes.c_void_p()

    def __enter__(self):
        error = L.ints([0, 0])
        L.xml_lock(self.schema.encode(), self.mode, -1, ctypes.byref(self.handle), L.ptr(error, L.P_INT))
        if error[0] == 1:  # no schema yet: nothing to lock
            self.handle = ctypes.c_void_p()
        else:
            check("xml_lock", error, Context(schema_file=self.schema))
        return self

    def __exit__(self, *exc):
        L.xml_unlock(self.handle)


# ---------------------------------------------------------------------------
# Reading

class _Names:
    def __init__(self, count, size):
        self.count = count
        self.list = L.P_CHARP()
        for j in range(count):
            if not L.alloc_names(ctypes.byref(self.list), count, j, size):
                self.free()
                raise MemoryError("kest: no memory for the variable names")

    def get(self, j):
        return self.list[j].decode("utf-8", "replace")

    def free(self):
        L.free_list(self.list, self.count)
        self.list = L.P_CHARP()


def _read_pass(data_file, schema, rows, nv, names, limit, context, max_cats):
    while True:
        values = np.full(rows * nv, np.nan)
        ncat = np.zeros(nv, dtype=np.intc)
        codes = np.zeros(nv * max_cats, dtype=np.intc)
        n_missing = L.ints([0])
        error = L.ints([0, 0])
        L.xml_read(data_file.encode(), schema.encode(), LOWEST, rows, nv, L.ptr(values, L.P_DOUBLE),
                   names.list if names else None, L.ptr(ncat, L.P_INT), L.ptr(codes, L.P_INT), max_cats, limit,
                   L.ptr(n_missing, L.P_INT), L.ptr(error, L.P_INT))
        if error[0] == 10 and max_cats < _MOST_CODES:
            max_cats = _MOST_CODES
            continue
        check("xml_read", error, context)
        return values.reshape(rows, nv), ncat, codes.reshape(nv, max_cats), max_cats


def read_dataset(path, values="all"):
    """Reads a data set.  values="all" reads every cell that holds a number;
    "observed" only the cells marked Valid or Validn (the others are NaN)."""
    if values not in ("all", "observed"):
        raise ValueError(f"kest: values must be 'all' or 'observed', not {values!r}")
    data_file = os.fspath(path)
    schema = locate_schema(data_file)
    context = Context(data_file=data_file, schema_file=schema)
    with _Lock(schema, _LOCK_SHARED):
        num_obs, nv, name_size, error = L.ints([0]), L.ints([0]), L.ints([0]), L.ints([0, 0])
        L.xml_data_size(schema.encode(), L.ptr(num_obs, L.P_INT), L.ptr(nv, L.P_INT), L.ptr(name_size, L.P_INT),
                        L.ptr(error, L.P_INT))
        check("xml_data_size", error, context)
        num_obs, nv, name_size = int(num_obs[0]), int(nv[0]), int(name_size[0])
        if nv < 1:
            raise KestError("xml_data_size", 5, nv, f"'{schema}' declares no variables")
        if num_obs < 1:
            raise KestError("xml_data_size", 4, num_obs, f"'{schema}' states no records")
        if not 1 <= name_size <= 10000:
            raise KestError("xml_data_size", 2, name_size, f"'{schema}' declares names of impossible length")
        # The stated count is a claim; the data file's size bounds the records
        # it can hold, and so the memory worth allocating.
        try:
            most = os.path.getsize(data_file) // (_MIN_CELL_LENGTH * nv) + 1
        except OSError:
            most = 1
        rows = max(1, min(num_obs, most))
        names = _Names(nv, name_size)
        try:
            matrix = np.full((rows, nv), np.nan)
            status = np.full((rows, nv), len(STATUS_NAMES) - 1, dtype=np.int8)
            max_cats = _FIRST_GUESS_CODES
            for limit, added in _STATUS_PASSES:
                v, ncat, codes, max_cats = _read_pass(data_file, schema, rows, nv, names, limit, context, max_cats)
                new = (v != LOWEST) & ~np.isnan(v) & (status == len(STATUS_NAMES) - 1)
                status[new] = STATUS_NAMES.index(added)
                matrix[new] = v[new]
                rows_read = rows if not np.isnan(v[:, 0]).any() else int(np.argmax(np.isnan(v[:, 0])))
            variable_names = [names.get(j) for j in range(nv)]
        finally:
            names.free()
    matrix, status = matrix[:rows_read], status[:rows_read]
    if values == "observed":
        matrix[(status != 0) & (status != 1)] = np.nan
    labels = read_codebook(data_file)
    columns = {}
    for j, name in enumerate(variable_names):
        column = matrix[:, j]
        if ncat[j] > 0:
            columns[name] = _categorical(column, codes[j, : ncat[j]], labels.get(name, {}))
        else:
            columns[name] = column
    frame = pd.DataFrame(columns)
    status_frame = pd.DataFrame({name: pd.Categorical.from_codes(status[:, j], dtype=STATUS_DTYPE)
                                 for j, name in enumerate(variable_names)})
    stem = os.path.basename(data_file)
    return Dataset(frame, status_frame, stem[:-4] if stem.endswith(".xml") else stem)


def _categorical(column, codes, labels):
    """Values that are codes of the list become its categories in list
    order; labelled codes take their labels."""
    codes = [int(c) for c in codes]
    position = np.full(column.shape, -1, dtype=np.int64)
    for k, code in enumerate(codes):
        position[column == code] = k
    if labels:
        categories = [labels.get(code, str(code)) for code in codes]
    else:
        categories = codes
    if len(set(categories)) != len(categories):
        categories = codes
    return pd.Categorical.from_codes(position, categories=categories)


# ---------------------------------------------------------------------------
# Writing

def _text_within(value):
    """The text of at most 14 characters that reads back closest to value:
    the shortest exact text when it fits."""
    text = repr(float(value))
    if text.endswith(".0"):
        text = text[:-2]
    if len(text) <= _MAX_FIELD:
        return text
    best = None
    for precision in range(17, 0, -1):
        for form in ("g", "e"):
            t = f"{value:.{precision}{form}}"
            if len(t) <= _MAX_FIELD and (best is None or abs(float(t) - value) < abs(float(best) - value)):
                best = t
        if best is not None:
            break
    return best


def _column_texts(values):
    texts = np.empty(values.shape, dtype=object)
    missing = np.isnan(values)
    texts[missing] = ""
    present = values[~missing]
    whole = (present == np.round(present)) & (np.abs(present) < 1e13)
    out = np.empty(present.shape, dtype=object)
    out[whole] = present[whole].astype(np.int64).astype(str)
    out[~whole] = [_text_within(v) for v in present[~whole]]
    texts[~missing] = out
    return texts


_write_lock = threading.Lock()


def write_dataset(df, path, status=None):
    """Writes the frame as a data set: the data file path (NAME.xml), its
    schema NAME.xdr and stylesheet NAME.xsl beside it, and a codebook when a
    categorical column has labels.  status: a frame of status names of the
    same shape (default: Valid for values, Missing for NaN).  Numbers
    longer than 14 characters are kept as the nearest number of 14
    characters; blanks in names become underscores.  The files refer to
    each other by names relative to their folder, so the three move
    together: the converter runs in that folder, and so the process's
    working directory changes for the length of the call (other threads
    should not rely on it meanwhile)."""
    data_file = os.path.abspath(os.fspath(path))
    folder, base = os.path.split(data_file)
    if not base.endswith(".xml") or len(base) <= 4:
        raise ValueError("kest: the data file's name must end in .xml")
    name = base[:-4]
    columns = [str(c) for c in df.columns]
    nv, n = len(columns), len(df)
    matrix = np.empty((n, nv))
    flags = np.zeros(nv, dtype=np.intc)
    counts = np.zeros(nv, dtype=np.intc)
    tables = []
    labels = {}
    for j, c in enumerate(df.columns):
        s = df[c]
        if is_categorical(s):
            categories = list(s.cat.categories)
            codes = s.cat.codes.to_numpy()
            if pd.api.types.is_integer_dtype(s.cat.categories.dtype):
                table = [int(x) for x in categories]
                values = np.where(codes >= 0, np.asarray(table + [0], dtype=np.float64)[codes], np.nan)
            else:
                table = list(range(1, len(categories) + 1))
                values = np.where(codes >= 0, codes + 1.0, np.nan)
                labels[j] = {k + 1: str(cat) for k, cat in enumerate(categories)}
            flags[j], counts[j] = 2, len(table)
            tables.append(table)
            matrix[:, j] = values
        else:
            matrix[:, j] = numeric_values(s, c)
            tables.append([])
    row_length = max([1] + [len(t) for t in tables])
    code_table = np.zeros((nv, row_length), dtype=np.intc)
    for j, t in enumerate(tables):
        code_table[j, : len(t)] = t

    status_codes = None
    floor = LOWEST
    if status is not None:
        if status.shape != df.shape:
            raise ValueError("kest: the status frame must have the frame's shape")
        status_codes = np.empty((n, nv), dtype=np.int8)
        for j, c in enumerate(status.columns):
            s = pd.Categorical(status[c], categories=STATUS_NAMES)
            if (s.codes < 0).any():
                raise ValueError(f"kest: the status of column {c!r} holds a name that is not a status")
            status_codes[:, j] = s.codes
        floor = _validn_floor(matrix, status_codes)

    texts = np.column_stack([_column_texts(matrix[:, j]) for j in range(nv)]) if nv else np.empty((n, 0))
    os.makedirs(folder or ".", exist_ok=True)
    text_file = os.path.join(folder, f".{name}.kest-input.csv")
    with open(text_file, "w", newline="") as f:
        f.write("".join(",".join(row) + "\n" for row in texts))
    name_buffers = [ctypes.create_string_buffer(c.encode(), max(len(c.encode()) + 1, 2)) for c in columns]
    name_array = (ctypes.c_char_p * max(1, nv))(*[ctypes.addressof(b) for b in name_buffers])
    dataset_name = ctypes.create_string_buffer(name.encode())
    error = L.ints([0, 0])
    context = Context(data_file=base, schema_file=name + ".xdr", text_file=text_file,
                      stylesheet_file=name + ".xsl", variables=columns)
    # The converter writes the paths it is given into the files as references;
    # it runs in the data file's folder with names relative to it, so that
    # the references hold wherever the files move together.
    with _write_lock:
        here = os.getcwd()
        os.chdir(folder)
        try:
            L.data_conv(dataset_name, text_file.encode(), base.encode(), (name + ".xsl").encode(),
                        (name + ".xdr").encode(), n, nv, 2, floor, 0, ctypes.cast(name_array, L.P_CHARP),
                        L.ptr(flags, L.P_INT), L.ptr(counts, L.P_INT), L.ptr(code_table, L.P_INT), row_length,
                        L.ptr(error, L.P_INT))
            check("data_conv", error, context)
            if status_codes is not None:
                _apply_statuses(base, name, matrix, status_codes, context)
        finally:
            os.chdir(here)
            if os.path.exists(text_file):
                os.remove(text_file)
    # The converter has turned blanks in names into underscores: the
    # codebook names the variables as the data set does.
    stored = [b.value.decode() for b in name_buffers]
    write_codebook(data_file, {stored[j]: codes for j, codes in labels.items()})


def _validn_floor(matrix, status_codes):
    """The converter marks Validn the numbers below its floor: a floor just
    above the Validn values, when it leaves every other value at or above."""
    validn = status_codes == STATUS_NAMES.index("Validn")
    if not validn.any():
        return LOWEST
    if np.isnan(matrix[validn]).any():
        raise ValueError("kest: a cell of status Validn has no value")
    floor = np.nextafter(matrix[validn].max(), np.inf)
    others = matrix[~validn & ~np.isnan(matrix)]
    if others.size and others.min() < floor:
        raise ValueError("kest: Validn cells can only be written when their values lie below all other values")
    return float(floor)


def _apply_statuses(data_file, name, matrix, status_codes, context):
    n, nv = matrix.shape
    for status_name, mode in _UPDATE_MODE.items():
        where = status_codes == STATUS_NAMES.index(status_name)
        if status_name == "Missing":
            where &= ~np.isnan(matrix)  # NaN cells are written Missing already
        if not where.any():
            continue
        recs, vars_ = np.nonzero(where)  # row-major order
        if mode == 1 and np.isnan(matrix[recs, vars_]).any():
            raise ValueError("kest: a cell of status Imputed has no value")
        change_recs = L.ints(np.append(recs, -1))
        change_vars = L.ints(np.append(vars_, -1))
        change_vals = L.doubles(np.append(np.nan_to_num(matrix[recs, vars_]), 0.0))
        error = L.ints([0, 0])
        L.xml_update(data_file.encode(), (name + ".xdr").encode(), (name + ".xsl").encode(), LOWEST, n, nv, mode,
                     len(recs), L.ptr(change_recs, L.P_INT), L.ptr(change_vars, L.P_INT),
                     L.ptr(change_vals, L.P_DOUBLE), L.ptr(error, L.P_INT))
        check("xml_update", error, context)
