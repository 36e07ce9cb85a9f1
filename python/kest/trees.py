"""Tree models in the manner of scikit-learn estimators (no dependency on it).

The settings go into the constructor; fit(X, y) grows the tree in the
library; predict(X) scores records with it.  Records without y or with a
missing predictor are left out of the fit; a record missing a value the
tree splits on is predicted as NaN.  Categorical predictors and targets are
pandas Categoricals, passed to the library as codes 1..k of the categories
seen in fit.
"""
import ctypes
import json
import os
import tempfile

import numpy as np
import pandas as pd

from . import _lib as L
from ._errors import Context, KestError, check, describe, warn
from ._frame import is_categorical, numeric_values

_SCHEMES = {"none": 1, "sine": 2, "biweight": 3, "huber": 4}
_METHODS = {"value": 1, "mode": 2, "donor": 3}


def _walk(node, depth=0):
    if not node:
        return
    yield node.contents, depth
    yield from _walk(node.contents.left, depth + 1)
    yield from _walk(node.contents.right, depth + 1)


class _Tree:
    _params = ()
    _kind = 1

    def __init__(self):
        self._root = L.P_NODE()
        self.feature_names_in_ = None
        self._feature_dtypes = None
        self._target_dtype = None

    # -- scikit-learn's parameter protocol
    def get_params(self, deep=True):
        return {name: getattr(self, name) for name in self._params}

    def set_params(self, **params):
        for name, value in params.items():
            if name not in self._params:
                raise ValueError(f"kest: {type(self).__name__} has no parameter {name!r}")
            setattr(self, name, value)
        return self

    def __repr__(self):
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in self.get_params().items())})"

    # -- the tree in the library
    def _set_root(self, root):
        if self._root:
            L.tree_free(self._root)
        self._root = root

    def __del__(self):
        root = getattr(self, "_root", None)
        if root:
            L.tree_free(root)
            self._root = L.P_NODE()

    def _check_fitted(self):
        if not self._root:
            raise ValueError(f"kest: this {type(self).__name__} is not fitted yet")

    @property
    def n_leaves_(self):
        self._check_fitted()
        return sum(1 for node, _ in _walk(self._root) if node.split_var == -1)

    @property
    def depth_(self):
        self._check_fitted()
        return max(depth for _, depth in _walk(self._root))

    # -- fitting
    def _design(self, X, y, extra=None):
        if not isinstance(X, pd.DataFrame):
            X = pd.DataFrame(np.asarray(X), columns=[f"x{j}" for j in range(np.asarray(X).shape[1])])
        y = pd.Series(y, index=X.index) if not isinstance(y, pd.Series) else y
        self.feature_names_in_ = [str(c) for c in X.columns]
        self._feature_dtypes = {str(c): X[c].dtype for c in X.columns}
        self._target_dtype = y.dtype
        columns = [numeric_values(X[c], c) for c in X.columns] + [numeric_values(y, "y")]
        if extra is not None:
            columns.append(np.asarray(extra, dtype=np.float64))
        matrix = np.column_stack(columns)
        complete = ~np.isnan(matrix).any(axis=1)
        left_out = int((~complete).sum())
        if left_out:
            warn("tree", 0, left_out, f"{left_out} record(s) that lack the target or a predictor were left out")
        matrix = np.ascontiguousarray(matrix[complete])
        ncat = np.zeros(matrix.shape[1], dtype=np.intc)
        for j, c in enumerate(X.columns):
            if is_categorical(X[c]):
                ncat[j] = len(X[c].cat.categories)
        if is_categorical(y):
            ncat[X.shape[1]] = len(y.cat.categories)
        if matrix.shape[0] < 2:
            raise KestError("tree", 3, matrix.shape[0], "fewer than two records have the target and every "
                            "predictor; no tree can be grown")
        return matrix, ncat, X.shape[1]

    def fit(self, X, y, sample_weight=None):
        raise NotImplementedError

    def _grown(self, root, error, routine):
        check(routine, error, Context(variables=self.feature_names_in_))
        self._set_root(root)
        return self

    # -- prediction
    def _split_columns(self):
        return sorted({node.split_var for node, _ in _walk(self._root) if node.split_var >= 0})

    def predict(self, X, method="value", seed=None):
        """Predictions for the records of X (a Series indexed like X): the
        leaf's value, its modal category ("mode") or a random donor among
        the training values of the leaf ("donor", for trees fitted with
        keep=True).  seed seeds the draws of donors and of records whose
        category a split never saw (default 1)."""
        self._check_fitted()
        if method not in _METHODS:
            raise ValueError(f"kest: method must be value, mode or donor, not {method!r}")
        if not isinstance(X, pd.DataFrame):
            X = pd.DataFrame(np.asarray(X), columns=self.feature_names_in_)
        missing = [c for c in self.feature_names_in_ if c not in X.columns]
        if missing:
            raise KeyError(f"kest: X lacks the columns {missing}")
        n, p = len(X), len(self.feature_names_in_)
        matrix = np.zeros((n, p + 1))
        scored = np.ones(n, dtype=bool)
        for j in self._split_columns():
            name = self.feature_names_in_[j]
            s = X[name]
            fitted = self._feature_dtypes[name]
            if isinstance(fitted, pd.CategoricalDtype):
                s = pd.Series(pd.Categorical(s, dtype=fitted), index=X.index)
            values = numeric_values(s, name)
            scored &= ~np.isnan(values)
            matrix[:, j] = np.nan_to_num(values)
        rows = np.flatnonzero(scored)
        out = np.full(n, np.nan)
        if rows.size:
            # The scorer takes at least two records: a single one is scored twice.
            used = np.ascontiguousarray(matrix[np.repeat(rows, 2) if rows.size == 1 else rows])
            m = used.shape[0]
            values, spreads = np.zeros(m), np.zeros(m)
            state = L.RandState()
            L.set_rand_seed(1 if seed is None else int(seed), ctypes.byref(state))
            error = L.ints([0, 0])
            L.tree_score(0, p + 1, m, m, L.ptr(used, L.P_DOUBLE), None, self._root, 1, _METHODS[method],
                         ctypes.byref(state), L.ptr(values, L.P_DOUBLE), L.ptr(spreads, L.P_DOUBLE),
                         L.ptr(error, L.P_INT))
            check("tree", error, Context(variables=self.feature_names_in_))
            out[rows] = values[: rows.size]
        if isinstance(self._target_dtype, pd.CategoricalDtype) and (self._kind == 2 or method != "value"):
            codes = np.where(np.isnan(out), -1, np.rint(np.nan_to_num(out)) - 1).astype(np.int64)
            return pd.Series(pd.Categorical.from_codes(codes, dtype=self._target_dtype), index=X.index)
        return pd.Series(out, index=X.index)

    # -- text and files
    def export_text(self, decimals=6):
        """The tree as indented text, one line per split side and leaf."""
        self._check_fitted()
        names = self.feature_names_in_ or []
        lines = []

        def name_of(j):
            return names[j] if 0 <= j < len(names) else f"x{j}"

        def leaf(node):
            if self._kind == 2:
                dtype = self._target_dtype
                k = int(round(node.value))
                label = dtype.categories[k - 1] if isinstance(dtype, pd.CategoricalDtype) and 1 <= k <= len(
                    dtype.categories) else k
                return f"class: {label} (n={node.count})"
            return f"value: {node.value:.{decimals}g} (n={node.count})"

        def visit(node, depth):
            node = node.contents
            pad = "|   " * depth
            if node.split_var == -1:
                lines.append(f"{pad}|--- {leaf(node)}")
                return
            name = name_of(node.split_var)
            if node.split_size == 0:
                cut = f"{node.split_values[0]:.{decimals}g}"
                sides = (f"{name} <= {cut}", f"{name} >  {cut}")
            else:
                dtype = self._feature_dtypes.get(name) if self._feature_dtypes else None
                cats = list(dtype.categories) if isinstance(dtype, pd.CategoricalDtype) else list(
                    range(1, node.split_size + 1))
                left = [str(cats[k]) for k in range(node.split_size) if node.split_values[k] < 0]
                right = [str(cats[k]) for k in range(node.split_size) if node.split_values[k] > 0]
                sides = (f"{name} in {{{', '.join(left)}}}", f"{name} in {{{', '.join(right)}}}")
            lines.append(f"{pad}|--- {sides[0]}")
            visit(node.left, depth + 1)
            lines.append(f"{pad}|--- {sides[1]}")
            visit(node.right, depth + 1)

        visit(self._root, 0)
        return "\n".join(lines) + "\n"

    def _meta(self):
        def dtype_text(d):
            if isinstance(d, pd.CategoricalDtype):
                return {"categories": [c.item() if hasattr(c, "item") else c for c in d.categories]}
            return {"dtype": str(d)}

        return {"class": type(self).__name__, "params": self.get_params(), "features": self.feature_names_in_,
                "feature_dtypes": {k: dtype_text(v) for k, v in self._feature_dtypes.items()},
                "target_dtype": dtype_text(self._target_dtype)}

    def save(self, path):
        """Writes the tree to path and its settings and variables to
        path.model.json beside it."""
        self._check_fitted()
        path = os.fspath(path)
        error = L.ints([0, 0])
        L.tree_save(self._root, path.encode(), L.ptr(error, L.P_INT))
        check("tree", error, Context(data_file=path))
        with open(path + ".model.json", "w", encoding="utf-8") as f:
            json.dump(self._meta(), f)

    def __getstate__(self):
        state = {"meta": self._meta() if self._root else None, "params": self.get_params(), "tree": None}
        if self._root:
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "tree")
                self.save(path)
                with open(path, "rb") as f:
                    state["tree"] = f.read()
        return state

    def __setstate__(self, state):
        _Tree.__init__(self)
        for k, v in state["params"].items():
            setattr(self, k, v)
        if state["tree"] is not None:
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "tree")
                with open(path, "wb") as f:
                    f.write(state["tree"])
                self._set_root(_load_root(path))
            self._restore_meta(state["meta"])

    def _restore_meta(self, meta):
        def dtype_of(d):
            if "categories" in d:
                return pd.CategoricalDtype(d["categories"])
            return np.dtype(d["dtype"]) if d["dtype"] != "category" else None

        self.feature_names_in_ = meta["features"]
        self._feature_dtypes = {k: dtype_of(v) for k, v in meta["feature_dtypes"].items()}
        self._target_dtype = dtype_of(meta["target_dtype"])


def _load_root(path):
    root = L.P_NODE()
    error = L.ints([0, 0])
    L.tree_load(ctypes.byref(root), os.fspath(path).encode(), L.ptr(error, L.P_INT))
    if error[0] != 0:
        raise KestError("tree_load", int(error[0]), int(error[1]),
                        describe("tree", int(error[0]), int(error[1]), Context(data_file=os.fspath(path))))
    return root


def load_tree(path):
    """A tree saved with save(path)."""
    path = os.fspath(path)
    with open(path + ".model.json", encoding="utf-8") as f:
        meta = json.load(f)
    classes = {"WaidTree": WaidTree, "GiniTree": GiniTree, "AnovaTree": AnovaTree}
    if meta.get("class") not in classes:
        raise ValueError(f"kest: '{path}.model.json' names no tree class")
    tree = classes[meta["class"]](**meta["params"])
    root = _load_root(path)
    if root.contents.kind != tree._kind:
        L.tree_free(root)
        raise ValueError(f"kest: the tree in '{path}' is not a {meta['class']}")
    tree._set_root(root)
    tree._restore_meta(meta)
    return tree


class WaidTree(_Tree):
    """A WAID regression tree with robust weights (scheme none, sine,
    biweight or huber)."""

    _params = ("min_node", "min_child", "scheme", "tuning", "tol", "maxit", "keep")
    _kind = 1

    def __init__(self, min_node=20, min_child=7, scheme="biweight", tuning=4.685, tol=0.0001, maxit=50,
                 keep=False):
        super().__init__()
        self.min_node, self.min_child, self.scheme = min_node, min_child, scheme
        self.tuning, self.tol, self.maxit, self.keep = tuning, tol, maxit, keep

    def fit(self, X, y, sample_weight=None):
        if sample_weight is not None:
            raise ValueError("kest: a WaidTree weighs records itself; sample_weight is for AnovaTree")
        if self.scheme not in _SCHEMES:
            raise ValueError(f"kest: scheme must be none, sine, biweight or huber, not {self.scheme!r}")
        matrix, ncat, p = self._design(X, y)
        n = matrix.shape[0]
        selected = np.arange(p, dtype=np.intc)
        rec_weights = np.zeros(n)
        root = L.P_NODE()
        error = L.ints([0, 0])
        L.waid_tree(0, p + 1, n, n, L.ptr(matrix, L.P_DOUBLE), None, p, L.ptr(selected, L.P_INT), p,
                    _SCHEMES[self.scheme], L.ptr(rec_weights, L.P_DOUBLE), L.ptr(ncat, L.P_INT), float(self.tol),
                    int(self.maxit), float(self.tuning), int(self.min_node), int(min(self.min_child,
                                                                                     self.min_node // 2)),
                    int(bool(self.keep)), ctypes.byref(root), L.ptr(error, L.P_INT))
        self.record_weights_ = rec_weights
        return self._grown(root, error, "tree")


class GiniTree(_Tree):
    """A Gini classification tree for a categorical target."""

    _params = ("min_node", "min_child", "min_improvement", "priors", "keep")
    _kind = 2

    def __init__(self, min_node=20, min_child=7, min_improvement=0.0, priors=None, keep=False):
        super().__init__()
        self.min_node, self.min_child, self.min_improvement = min_node, min_child, min_improvement
        self.priors, self.keep = priors, keep

    def fit(self, X, y, sample_weight=None):
        if sample_weight is not None:
            raise ValueError("kest: a GiniTree takes class priors, not sample weights")
        if not is_categorical(pd.Series(y) if not isinstance(y, pd.Series) else y):
            y = pd.Series(pd.Categorical(y))
        matrix, ncat, p = self._design(X, y)
        n = matrix.shape[0]
        selected = np.arange(p, dtype=np.intc)
        priors = None if self.priors is None else L.doubles(self.priors)
        if priors is not None and priors.size != ncat[p]:
            raise ValueError(f"kest: priors must hold one weight per class ({ncat[p]})")
        root = L.P_NODE()
        error = L.ints([0, 0])
        L.gini_tree(0, p + 1, n, n, L.ptr(matrix, L.P_DOUBLE), None, p, L.ptr(selected, L.P_INT), p,
                    L.ptr(ncat, L.P_INT), L.ptr(priors, L.P_DOUBLE), int(self.min_node),
                    int(min(self.min_child, self.min_node // 2)), float(self.min_improvement),
                    int(bool(self.keep)), ctypes.byref(root), L.ptr(error, L.P_INT))
        if error[0] == 11:
            raise KestError("gini_tree", 11, int(error[1]), "the priors must be 0 or more and add up to exactly 1")
        return self._grown(root, error, "tree")


class AnovaTree(_Tree):
    """An ANOVA regression tree, with case weights through sample_weight."""

    _params = ("min_node", "min_child", "min_improvement", "keep")
    _kind = 1

    def __init__(self, min_node=20, min_child=7, min_improvement=0.0, keep=False):
        super().__init__()
        self.min_node, self.min_child, self.min_improvement, self.keep = min_node, min_child, min_improvement, keep

    def fit(self, X, y, sample_weight=None):
        matrix, ncat, p = self._design(X, y, extra=sample_weight)
        n = matrix.shape[0]
        selected = np.arange(p, dtype=np.intc)
        root = L.P_NODE()
        error = L.ints([0, 0])
        L.anova_tree(0, matrix.shape[1], n, n, L.ptr(matrix, L.P_DOUBLE), None, p, L.ptr(selected, L.P_INT), p,
                     p + 1 if sample_weight is not None else -1, L.ptr(ncat, L.P_INT), int(self.min_node),
                     int(min(self.min_child, self.min_node // 2)), float(self.min_improvement),
                     int(bool(self.keep)), ctypes.byref(root), L.ptr(error, L.P_INT))
        return self._grown(root, error, "tree")
