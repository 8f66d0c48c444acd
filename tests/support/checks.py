"""Comparisons shared by several test modules."""

from __future__ import annotations

import math

import pytest


def assert_same_stats(got, expected):
    assert list(got) == list(expected)
    for key in expected:
        e, g = expected[key], got[key]
        if isinstance(e, float) and math.isnan(e):
            assert math.isnan(g), key
        else:
            assert g == pytest.approx(e, rel=1e-12, abs=0), key
