"""Imputation, outliers and summary against independent values."""
import warnings

import numpy as np
import pandas as pd
import pytest

import kest
from conftest import PLANTED


def test_mean_imputation_fills_pandas_means_and_modes(small):
    before = small.copy()
    filled = kest.impute_mean(small)
    assert small.equals(before)
    for c in ["x", "y", "z"]:
        gaps = small[c].isna()
        assert np.allclose(filled.loc[gaps, c], small[c].mean(), rtol=1e-14)
        assert filled.loc[~gaps, c].equals(small.loc[~gaps, c])
    assert (filled.loc[small.g.isna(), "g"] == small.g.value_counts().idxmax()).all()
    assert filled.isna().sum().sum() == 0


def test_the_missing_code_is_never_a_value_of_the_frame(small):
    lowest = -np.finfo(np.float64).max
    df = small[["x", "y"]].copy()
    df.loc[0, "x"] = lowest
    df.loc[1, "x"] = np.nextafter(lowest, 0)
    filled = kest.impute_mean(df)
    assert filled.loc[0, "x"] == lowest and filled.loc[1, "x"] == np.nextafter(lowest, 0)
    assert np.isclose(filled.loc[3, "x"], df["x"].mean())


def nearest_by_search(df, columns, scales, stratum=None):
    """A plain search: each gap gets the value of the record nearest in the
    recipient's observed columns among the records that have them all."""
    x = df[columns].to_numpy(dtype=float)
    out = df.copy()
    for r in np.flatnonzero(np.isnan(x).any(axis=1)):
        have = ~np.isnan(x[r])
        donors = np.flatnonzero(~np.isnan(x).any(axis=1))
        if stratum is not None:
            donors = donors[df[stratum].to_numpy()[donors] == df[stratum].iloc[r]]
        d = (((x[donors][:, have] - x[r, have]) * scales[have]) ** 2).sum(axis=1)
        best = donors[np.argmin(d)]
        for j in np.flatnonzero(~have):
            out.iloc[r, out.columns.get_loc(columns[j])] = x[best, j]
    return out


@pytest.mark.parametrize("by", [None, "g"])
def test_donors_are_the_nearest_records(small, by):
    df = small.dropna(subset=["g"]).reset_index(drop=True)
    columns = ["x", "y", "z"]
    x = df[columns]
    scales = 1 / (x.max() - x.min()).to_numpy()
    expected = nearest_by_search(df, columns, scales, stratum=by)
    got = kest.impute_donors(df, by=by, columns=columns)
    pd.testing.assert_frame_equal(got, expected)


def test_em_with_one_gap_pattern_fills_the_complete_case_regression():
    rng = np.random.default_rng(3)
    x = rng.normal(0, 1, 200)
    y = 2 + 0.5 * x + rng.normal(0, 0.3, 200)
    y[::5] = np.nan
    df = pd.DataFrame({"x": x, "y": y})
    complete = df.dropna()
    slope, intercept = np.polyfit(complete.x, complete.y, 1)
    filled = kest.impute_em(df, tol=1e-12, max_passes=10000)
    gaps = df.y.isna()
    assert np.allclose(filled.y[gaps], intercept + slope * df.x[gaps], atol=1e-8)


def test_bacon_flags_the_planted_errors(survey):
    numeric = ["age", "income", "expend", "hours"]
    found = kest.bacon(survey, columns=numeric)
    assert found.index.equals(survey.index) and list(found.columns) == ["outlier", "membership"]
    # As the command-line tool finds them: ten of the eleven planted errors
    # (1173's income of -241 with a low expenditure is not far out) and two
    # records that spend more than they earn.
    flagged = list(np.flatnonzero(found.outlier) + 1)
    assert flagged == sorted(set(PLANTED) - {1173} | {212, 699})
    assert (found.membership[~survey[numeric].notna().all(axis=1)] == -1).all()


def test_summary_matches_pandas(survey):
    s = kest.summary(survey)
    for c in ["age", "income", "expend", "hours"]:
        v = survey[c]
        assert s.loc[c, "n"] == v.count() and s.loc[c, "missing"] == v.isna().sum()
        assert np.allclose(s.loc[c, ["mean", "sd", "min", "max"]].astype(float),
                           [v.mean(), v.std(), v.min(), v.max()], rtol=1e-12)
    assert s.loc["region", "frequencies"] == survey.region.value_counts(sort=False).to_dict()


@pytest.mark.parametrize("call, routine, code, text", [
    (lambda df: kest.impute_em(df, tol=0), "em", 5, "the tolerance must be a number of 1e-16 or more"),
    (lambda df: kest.impute_em(df, max_passes=0), "em", 6, "the maximum number of passes must be 1 or more, not 0"),
    (lambda df: kest.bacon(df, alpha=1.5), "bacon", 5, "alpha must lie strictly between 0 and 1"),
    (lambda df: kest.bacon(df, size_factor=0), "bacon", 4, "the size factor must be 1 or more"),
    (lambda df: kest.impute_donors(df, ties=0), "gen_imp", 3, "the number of tied donors must be 1 or more"),
    (lambda df: kest.impute_donors(df, weights={"x": 0, "y": 0, "z": 0, "g": 0}), "gen_imp", 7,
     "the weights add up to 0"),
])
def test_failures_raise_kest_error_with_code_and_text(small, call, routine, code, text):
    with pytest.raises(kest.KestError) as caught:
        call(small[["x", "y", "z"]] if routine != "gen_imp" else small)
    assert (caught.value.routine, caught.value.code) == (routine, code)
    assert caught.value.message.startswith(text)


def test_warnings_carry_their_code(small):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        filled = kest.impute_em(small[["x", "y", "z"]], tol=1e-16, max_passes=1)
    codes = [w.message.code for w in caught if issubclass(w.category, kest.KestWarning)]
    assert codes == [40] and caught[0].filename == __file__
    assert filled.isna().sum().sum() == 0
