"""Tree estimators: the iris split, files, parameters, prediction."""
import pickle

import numpy as np
import pandas as pd
import pytest

import kest

FEATURES = ["petal_length", "petal_width", "sepal_length", "sepal_width"]


def test_gini_tree_splits_iris_at_petal_length_2_45(iris):
    tree = kest.GiniTree(min_node=10, min_child=5).fit(iris[FEATURES], iris.species)
    root = tree._root.contents
    assert (tree.feature_names_in_[root.split_var], root.split_values[0]) == ("petal_length", 2.45)
    assert root.left.contents.count == 50 and root.left.contents.split_var == -1
    assert tree.export_text().startswith("|--- petal_length <= 2.45\n|   |--- class: setosa (n=50)\n")
    predicted = tree.predict(iris[FEATURES])
    assert predicted.dtype == iris.species.dtype
    assert (predicted == iris.species).mean() > 0.95
    assert (predicted[iris.petal_length < 2.45] == "setosa").all()


@pytest.mark.parametrize("make", [
    lambda: kest.WaidTree(min_node=20, min_child=7, keep=True),
    lambda: kest.AnovaTree(min_node=20, min_child=7, keep=True),
    lambda: kest.GiniTree(min_node=20, min_child=7, keep=True),
])
def test_saved_and_pickled_trees_predict_alike(survey, tmp_path, make):
    tree = make()
    target = survey.hhtype if isinstance(tree, kest.GiniTree) else survey.income
    X = survey[["region", "age", "hours"]]
    with pytest.warns(kest.KestWarning):
        tree.fit(X, target)
    expected = tree.predict(X, method="donor", seed=5)
    tree.save(tmp_path / "t.tree")
    for copy in (kest.load_tree(tmp_path / "t.tree"), pickle.loads(pickle.dumps(tree))):
        assert type(copy) is type(tree) and copy.get_params() == tree.get_params()
        assert copy.n_leaves_ == tree.n_leaves_
        pd.testing.assert_series_equal(copy.predict(X, method="donor", seed=5), expected)
    # Records missing a value the tree splits on are not predicted.
    assert expected[X.isna().any(axis=1)].isna().all() or not X.isna().any(axis=1).any()


def test_params_follow_the_estimator_protocol():
    tree = kest.WaidTree()
    assert tree.get_params()["scheme"] == "biweight"
    assert tree.set_params(scheme="huber", min_node=30) is tree
    assert tree.get_params()["scheme"] == "huber" and tree.min_node == 30
    with pytest.raises(ValueError):
        tree.set_params(depth=3)
    with pytest.raises(ValueError):
        tree.predict(pd.DataFrame({"a": [1.0]}))


def test_anova_tree_leaves_hold_weighted_group_means():
    x = np.repeat([1.0, 2.0], 50)
    y = np.where(x == 1.0, 10.0, 20.0) + np.tile([-1.0, 1.0], 50)
    X = pd.DataFrame({"x": x, "noise": np.arange(100.0) % 7})
    tree = kest.AnovaTree(min_node=40, min_child=20, min_improvement=0.5).fit(X, y)
    assert tree.n_leaves_ == 2
    assert list(tree.predict(pd.DataFrame({"x": [1.0, 2.0], "noise": [0.0, 0.0]}))) == [10.0, 20.0]
