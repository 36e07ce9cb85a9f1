"""The C library bundled with the package, and the signatures of its exports.

ctypes.CDLL releases the GIL for the length of every foreign call, so
threads that call kest run the library at the same time.  Arrays are passed
as pointers into numpy buffers: no record passes through Python.
"""
import ctypes
import os

import numpy as np

_HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY_PATH = os.path.join(_HERE, "libkest.so")

if not os.path.isfile(LIBRARY_PATH):
    raise ImportError(f"kest: the bundled library {LIBRARY_PATH} is missing; install the package with pip")

# An absolute path: the loader takes this file, never a libkest.so on the
# library search path.
lib = ctypes.CDLL(LIBRARY_PATH)

c_int = ctypes.c_int
c_double = ctypes.c_double
c_char_p = ctypes.c_char_p
c_void_p = ctypes.c_void_p
P_INT = ctypes.POINTER(c_int)
P_DOUBLE = ctypes.POINTER(c_double)
P_CHARP = ctypes.POINTER(ctypes.c_char_p)


class RandState(ctypes.Structure):
    _fields_ = [("limb", ctypes.c_int32 * 4), ("marker", ctypes.c_int32)]


class TreeNode(ctypes.Structure):
    pass


TreeNode._fields_ = [
    ("kind", ctypes.c_int32), ("keep", ctypes.c_int32), ("count", ctypes.c_int32),
    ("split_var", ctypes.c_int32), ("split_size", ctypes.c_int32),
    ("split_values", P_DOUBLE), ("value", c_double), ("spread", c_double),
    ("statistic", c_double), ("int_count", ctypes.c_int32), ("int_array", ctypes.POINTER(ctypes.c_int32)),
    ("parent", ctypes.POINTER(TreeNode)), ("left", ctypes.POINTER(TreeNode)),
    ("right", ctypes.POINTER(TreeNode)),
]
P_NODE = ctypes.POINTER(TreeNode)

KestFetch = ctypes.CFUNCTYPE(None, c_int, c_int, P_DOUBLE, P_INT)


def _declare(name, *argtypes, restype=None):
    f = getattr(lib, name)
    f.argtypes = list(argtypes)
    f.restype = restype
    return f


xml_lock = _declare("xml_lock", c_char_p, c_int, c_int, ctypes.POINTER(c_void_p), P_INT)
xml_unlock = _declare("xml_unlock", c_void_p)
xml_data_size = _declare("xml_data_size", c_char_p, P_INT, P_INT, P_INT, P_INT)
xml_read = _declare("xml_read", c_char_p, c_char_p, c_double, c_int, c_int, P_DOUBLE, P_CHARP, P_INT, P_INT,
                    c_int, c_int, P_INT, P_INT)
xml_update = _declare("xml_update", c_char_p, c_char_p, c_char_p, c_double, c_int, c_int, c_int, c_int, P_INT,
                      P_INT, P_DOUBLE, P_INT)
data_conv = _declare("data_conv", c_char_p, c_char_p, c_char_p, c_char_p, c_char_p, c_int, c_int, c_int,
                     c_double, c_int, P_CHARP, P_INT, P_INT, P_INT, c_int, P_INT)
alloc_names = _declare("alloc_names", ctypes.POINTER(P_CHARP), c_int, c_int, c_int, restype=c_void_p)
free_list = _declare("free_list", P_CHARP, c_int)
set_rand_seed = _declare("set_rand_seed", c_int, ctypes.POINTER(RandState))
waid_tree = _declare("waid_tree", c_int, c_int, c_int, c_int, P_DOUBLE, c_void_p, c_int, P_INT, c_int, c_int,
                     P_DOUBLE, P_INT, c_double, c_int, c_double, c_int, c_int, c_int, ctypes.POINTER(P_NODE), P_INT)
gini_tree = _declare("gini_tree", c_int, c_int, c_int, c_int, P_DOUBLE, c_void_p, c_int, P_INT, c_int, P_INT,
                     P_DOUBLE, c_int, c_int, c_double, c_int, ctypes.POINTER(P_NODE), P_INT)
anova_tree = _declare("anova_tree", c_int, c_int, c_int, c_int, P_DOUBLE, c_void_p, c_int, P_INT, c_int, c_int,
                      P_INT, c_int, c_int, c_double, c_int, ctypes.POINTER(P_NODE), P_INT)
tree_score = _declare("tree_score", c_int, c_int, c_int, c_int, P_DOUBLE, c_void_p, P_NODE, c_int, c_int,
                      ctypes.POINTER(RandState), P_DOUBLE, P_DOUBLE, P_INT)
tree_save = _declare("tree_save", P_NODE, c_char_p, P_INT)
tree_load = _declare("tree_load", ctypes.POINTER(P_NODE), c_char_p, P_INT)
tree_free = _declare("tree_free", P_NODE)
gen_imp = _declare("gen_imp", P_INT, c_int, c_int, c_int, c_int, c_double, P_DOUBLE, P_DOUBLE, P_INT, P_DOUBLE,
                   c_int, c_int, P_DOUBLE, P_INT, P_INT, c_int, c_double, P_INT, P_INT, P_INT, P_DOUBLE, P_INT)
simp_imp = _declare("simp_imp", c_int, c_int, P_DOUBLE, P_INT, P_INT, c_int, c_double, P_INT, P_INT, P_INT,
                    P_DOUBLE, P_INT)
em = _declare("em", c_int, c_int, P_INT, P_DOUBLE, c_double, c_double, c_int, P_DOUBLE, P_INT, P_INT, P_INT,
              P_DOUBLE, P_INT)
bacon = _declare("bacon", c_int, c_int, P_INT, P_DOUBLE, c_double, c_int, c_double, c_int, P_DOUBLE, P_DOUBLE,
                 P_INT)
summ_stats = _declare("summ_stats", c_int, c_int, c_double, P_DOUBLE, P_INT, P_INT, c_int, P_DOUBLE, P_DOUBLE,
                      P_DOUBLE, P_DOUBLE, P_INT, P_DOUBLE, P_INT, P_INT)


def ptr(array, kind):
    """A pointer to a C-contiguous numpy array's buffer (None for None)."""
    if array is None:
        return None
    if not array.flags["C_CONTIGUOUS"]:
        raise ValueError("kest: internal array is not contiguous")
    return array.ctypes.data_as(kind)


def ints(values):
    return np.ascontiguousarray(values, dtype=np.intc)


def doubles(values):
    return np.ascontiguousarray(values, dtype=np.float64)
