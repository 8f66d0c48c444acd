"""The shared names against the native builder's own copy, and the short index codes."""

import pytest

from kestrelia import _names
from kestrelia.backtest import _prepare


def test_the_builders_lists_are_the_shared_ones():
    assert list(_names.REQUIRED_FACTOR_NAMES) == _prepare.REQUIRED_FACTOR_NAMES
    assert list(_names.OPTIONAL_FACTOR_NAMES) == _prepare.OPTIONAL_FACTOR_NAMES
    assert list(_names.BUILD_INPUT_NAMES) == _prepare.BUILD_INPUT_NAMES
    assert list(_names.COMPONENT_FACTOR_NAMES) == _prepare.COMPONENT_FACTOR_NAMES
    assert list(_names.BENCHMARK_INDEX_CODES.items()) == list(
        _prepare.BENCHMARK_INDEX_CODES.items())


def test_every_builder_index_is_known_by_its_digits():
    codes = [_names.component_index(n) for n in _names.COMPONENT_FACTOR_NAMES]
    codes += list(_names.BENCHMARK_INDEX_CODES.values())
    assert {c.split(".")[0]: c for c in codes} == _names.KNOWN_INDEXES
    assert _names.component_index("Close") is None
    assert _names.component_index(_names.component_factor_name("000001.XSHG")) == "000001.XSHG"


@pytest.mark.parametrize("codes, expected", [
    (["000300.XSHG", "932000.INDX"], {"000300.XSHG": "000300", "932000.INDX": "932000"}),
    # Two indexes share six digits: both keep their whole code...
    (["000001.XSHG", "000001.INDX"], {"000001.XSHG": "000001.XSHG",
                                      "000001.INDX": "000001.INDX"}),
    # ... except a benchmark of the builder, whose name never changes.
    (["000300.INDX", "000300.XSHG"], {"000300.INDX": "000300.INDX", "000300.XSHG": "000300"}),
])
def test_short_codes(codes, expected):
    assert _names.short_codes(codes) == expected


def test_store_factors_name_their_source():
    names = [f.name for f in _names.STORE_FACTORS]
    assert len(set(names)) == len(names)
    fields = [f.field for f in _names.STORE_FACTORS if f.field is not None]
    # Every field the store reads is one the builder or the importer writes.
    assert set(fields) <= set(_names.BUILD_INPUT_NAMES) | set(_names.IMPORTED_FIELDS)
    assert {f.dtype for f in _names.STORE_FACTORS} == {"float64", "bool"}
