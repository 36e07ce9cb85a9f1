"""kest.dask on a local cluster of two worker processes: the results equal
the single-machine calls row for row."""
import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import kest  # noqa: E402
import kest.dask  # noqa: E402

NUMERIC = ["age", "income", "expend", "hours"]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                       host="127.0.0.1")
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def frames(survey):
    return survey, dd.from_pandas(survey, npartitions=4)


def per_stratum(df, by, function):
    return pd.concat([function(g) for _, g in df.dropna(subset=[by]).groupby(by)]
                     + [df[df[by].isna()]]).sort_index()


def test_donors_equal_the_whole_frame_call(client, frames):
    df, ddf = frames
    for by in ["region", ["region", "hhtype"]]:
        expected = kest.impute_donors(df, by=by)
        got = kest.dask.impute_donors(ddf, by=by).compute().sort_index()
        pd.testing.assert_frame_equal(got, expected)


def test_means_em_and_bacon_by_stratum(client, frames):
    df, ddf = frames
    mean = kest.dask.impute_mean(ddf).compute().sort_index()
    pd.testing.assert_frame_equal(mean, kest.impute_mean(df), check_exact=False, rtol=1e-12)
    pd.testing.assert_frame_equal(kest.dask.impute_mean(ddf, by="region").compute().sort_index(),
                                  per_stratum(df, "region", kest.impute_mean), check_exact=False, rtol=1e-12)
    pd.testing.assert_frame_equal(kest.dask.impute_em(ddf, by="region").compute().sort_index(),
                                  per_stratum(df, "region", kest.impute_em))
    got = kest.dask.bacon(ddf, by="hhtype", columns=NUMERIC).compute().sort_index()
    expected = pd.concat([kest.bacon(g, columns=NUMERIC) for _, g in df.groupby("hhtype")])
    pd.testing.assert_frame_equal(got.loc[expected.index], expected)
    assert not got.outlier[df.hhtype.isna()].any()


def test_a_fitted_tree_scores_every_partition(client, frames):
    df, ddf = frames
    X = ["region", "age", "hours"]
    with pytest.warns(kest.KestWarning):
        tree = kest.GiniTree().fit(df[X], df.hhtype)
    got = kest.dask.predict(tree, ddf[X]).compute().sort_index()
    pd.testing.assert_series_equal(got, tree.predict(df[X]))
