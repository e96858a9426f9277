"""korvel.dask.read_sav on a small local Dask cluster, against a whole-file read."""

import shutil

import pandas as pd
import pytest

import korvel
import korvel.dask
from pkg_helpers import SAMPLE, fixture

distributed = pytest.importorskip("distributed", reason="the dask extra (dask[distributed]) is not installed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as dask_client:
        yield dask_client


@pytest.fixture
def waves(tmp_path):
    paths = []
    for name in ("wave1.sav", "wave2.sav"):
        shutil.copy(SAMPLE, tmp_path / name)
        paths.append(tmp_path / name)
    return paths


def _whole(path, columns=None):
    return korvel.read_sav(path, columns=columns, to="pandas")[0]


def assert_same(result, expected):
    # Dask turns text columns into its own string dtype; the values must be the same.
    assert list(result.columns) == list(expected.columns)
    pd.testing.assert_frame_equal(result, expected, check_dtype=False)


def test_one_partition_per_file(client, waves):
    frame = korvel.dask.read_sav(waves)
    assert frame.npartitions == 2
    result = client.compute(frame).result()
    expected = pd.concat([_whole(p) for p in waves])
    assert_same(result, expected)


def test_glob_and_projection(client, waves):
    names = korvel.read_sav_meta(SAMPLE).variable_names
    wanted = [names[-1], names[0]]
    frame = korvel.dask.read_sav(str(waves[0].parent / "*.sav"), columns=wanted)
    assert list(frame.columns) == wanted
    result = client.compute(frame).result()
    assert_same(result, pd.concat([_whole(p, wanted) for p in waves]))


def test_real_zlib_file(client):
    path = fixture("pyreadstat/sample.zsav")
    result = client.compute(korvel.dask.read_sav(path)).result()
    assert_same(result, _whole(path))
