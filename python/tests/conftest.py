import os

import numpy as np
import pandas as pd
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SURVEY_CSV = os.path.join(HERE, "..", "..", "examples", "survey.csv")
REGIONS = ["capital", "south", "west", "east", "north"]

# Records (from 1) of the gross errors planted in the example survey.
PLANTED = [85, 103, 106, 1070, 1162, 1172, 1173, 1369, 1412, 1567, 1740]


@pytest.fixture(scope="session")
def survey():
    """The bundled survey, with region labelled and hhtype by its codes."""
    df = pd.read_csv(SURVEY_CSV)
    region = df["region"].fillna(0).astype(int) - 1
    df["region"] = pd.Categorical.from_codes(region, categories=REGIONS)
    df["hhtype"] = pd.Categorical(df["hhtype"].astype("Int64"), categories=[1, 2, 3, 4])
    return df


@pytest.fixture(scope="session")
def iris():
    return pd.read_csv(os.path.join(HERE, "data", "iris.csv"), dtype={"species": "category"})


@pytest.fixture
def small():
    """A small frame with gaps in every column and no ties in distance."""
    rng = np.random.default_rng(7)
    n = 40
    df = pd.DataFrame({
        "x": rng.normal(10, 3, n).round(3),
        "y": rng.normal(0, 1, n).round(4),
        "z": rng.uniform(0, 100, n).round(2),
        "g": pd.Categorical.from_codes(rng.integers(0, 3, n), categories=["a", "b", "c"]),
    })
    for column, rows in {"x": [3, 17], "y": [5, 22, 30], "z": [8, 33], "g": [11]}.items():
        df.loc[rows, column] = np.nan
    return df
