"""kest: statistical editing and imputation of survey data on pandas.

Every routine runs in the bundled C library (libkest.so, inside this
package) and releases the GIL while it runs.  Functions take data frames
and return new ones; they never change their input.
"""
from ._errors import KestError, KestWarning
from .dataset import Dataset, read_dataset, write_dataset
from .impute import impute_donors, impute_em, impute_mean
from .outliers import bacon
from .summary import summary
from .trees import AnovaTree, GiniTree, WaidTree, load_tree

__all__ = [
    "KestError", "KestWarning", "Dataset", "read_dataset", "write_dataset", "impute_donors", "impute_em",
    "impute_mean", "bacon", "summary", "WaidTree", "GiniTree", "AnovaTree", "load_tree",
]
__version__ = "0.1.0"
