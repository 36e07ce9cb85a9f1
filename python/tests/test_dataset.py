"""Data sets: round trips through the files, statuses, codebook bytes."""
import os

import numpy as np
import pandas as pd
import pytest

import kest


def test_import_loads_the_bundled_library():
    import kest._lib as lib

    assert os.path.dirname(lib.LIBRARY_PATH) == os.path.dirname(kest.__file__)
    assert lib.lib._name == lib.LIBRARY_PATH


def test_round_trip_keeps_values_categories_and_labels(survey, tmp_path):
    before = survey.copy()
    kest.write_dataset(survey, tmp_path / "survey.xml")
    assert survey.equals(before)
    ds = kest.read_dataset(tmp_path / "survey.xml")
    assert ds.name == "survey"
    pd.testing.assert_frame_equal(ds.data, survey, check_dtype=False)
    assert list(ds.data["region"].cat.categories) == list(survey["region"].cat.categories)
    assert list(ds.data["hhtype"].cat.categories) == [1, 2, 3, 4]
    # Every NaN is Missing, every value Valid.
    assert ((ds.status == "Missing").to_numpy() == survey.isna().to_numpy()).all()
    codebook = (tmp_path / "survey.codebook.csv").read_bytes()
    assert codebook == (b"entry,variable,code,text\n" + b"".join(
        b'label,region,%d,"%s"\n' % (k + 1, r.encode()) for k, r in enumerate(["capital", "south", "west", "east",
                                                                               "north"])))


@pytest.mark.parametrize("value, stored", [
    (0.1, 0.1), (-123456.25, -123456.25), (1e-300, 1e-300), (2.0 ** 40, 2.0 ** 40),
    # Longer than the 14 characters of a field: the nearest 14-character number.
    (1 / 3, 0.333333333333), (-np.pi * 1e10, -31415926535.9),
])
def test_numbers_are_stored_as_the_nearest_number_of_fourteen_characters(tmp_path, value, stored):
    df = pd.DataFrame({"a": [value, 1.0, np.nan], "b": [1.0, 2.0, 3.0]})
    kest.write_dataset(df, tmp_path / "n.xml")
    assert kest.read_dataset(tmp_path / "n.xml").data["a"][0] == stored


def test_statuses_round_trip_and_observed_values(tmp_path):
    df = pd.DataFrame({"a": [-5.0, 1.0, 2.0, 3.0, 4.0, np.nan], "b": [1.5, 2.5, 3.5, 4.5, 5.5, 6.5]})
    status = pd.DataFrame({"a": ["Validn", "Valid", "Imputed", "Suspect", "Error", "Missing"],
                           "b": ["Valid", "Imputed", "Valid", "Missing", "Valid", "Valid"]})
    kest.write_dataset(df, tmp_path / "s.xml", status=status)
    ds = kest.read_dataset(tmp_path / "s.xml")
    assert (ds.status.astype(str) == status).all().all()
    assert list(ds.status["a"].cat.categories) == ["Valid", "Validn", "Imputed", "Suspect", "Error", "Missing"]
    # A cell marked Missing reads as missing whatever it holds.
    expected = df.copy()
    expected.loc[3, "b"] = np.nan
    pd.testing.assert_frame_equal(ds.data, expected)
    observed = kest.read_dataset(tmp_path / "s.xml", values="observed").data
    expected.loc[[2, 3, 4], "a"] = np.nan
    expected.loc[1, "b"] = np.nan
    pd.testing.assert_frame_equal(observed, expected)


def test_reading_faults_raise_kest_error_with_the_tools_message(tmp_path):
    kest.write_dataset(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tmp_path / "f.xml")
    (tmp_path / "f.xdr").write_text("<?xml version='1.0'?>\n")
    with pytest.raises(kest.KestError) as caught:
        kest.read_dataset(tmp_path / "f.xml")
    e = caught.value
    assert (e.routine, e.code, e.detail) == ("xml_data_size", 2, 1)
    assert "is not a schema of a data set" in e.message
