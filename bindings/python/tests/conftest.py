import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parents[0]), str(HERE.parents[1] / "tests")]

import rig  # noqa: E402

# One bench folder per process: the bench loads it at the library's first
# vendor call, so it must exist (with the collector's log) before that.
# The second names no real time: the log must still come through whole.
COLLECTOR_RECORDS = [(3, "2026-03-01 10:15", "0A0B0C0D"), (4, "2026-02-31 25:10", "01020304"),
                     (7, "2026-03-02 23:59", "DEADBEEF")]


@pytest.fixture(scope="session")
def bench(tmp_path_factory):
    folder = rig.make_bench(tmp_path_factory.mktemp("bench") / "b", COLLECTOR_RECORDS)
    os.environ["KESTRANE_BENCH"] = str(folder)
    return folder


@pytest.fixture
def encoder(bench):
    import kestrane
    with kestrane.Encoder(bench / "config.ini") as enc:
        yield enc
