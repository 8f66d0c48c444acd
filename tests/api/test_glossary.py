"""Every figure defined: the glossary names exactly the engine's statistics and the columns
of its tables, docs/metrics.md shows every entry, and no label means two things."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kestrelia.backtest import Market, backtest
from kestrelia.backtest._display import HEADLINE, LABELS, metric_label
from kestrelia.backtest.glossary import (
    BENCHMARK_SUMMARY_COLUMNS,
    DAILY_COLUMNS,
    ENGINE_STATS,
    GLOSSARY,
    YEARLY_COLUMNS,
)
from kestrelia.backtest.metrics import METRIC_DEFINITIONS
from tests.support.markets import make_market

DOC = (Path(__file__).parents[2] / "docs" / "metrics.md").read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def markets():
    m = make_market(n_days=80, n_stocks=12, seed=3)
    benchmark = pd.Series(np.linspace(-0.01, 0.01, 80), index=m.weights.index)
    benchmarks = {"000852": benchmark, "000300": benchmark / 2}
    return m.weights, Market(**m.matrices(), benchmarks=benchmarks), Market(**m.matrices())


@pytest.fixture(scope="module")
def result(markets):
    weights, market, _ = markets
    return backtest(weights, market, lot_size=100)


def test_the_glossary_names_every_figure_the_engine_gives(result, markets, pelorin):
    assert list(ENGINE_STATS) == list(result.stats.index)
    # The daily frame's columns, with a benchmark and against the flat one (which puts
    # close after index_daily_return).
    weights, _, flat = markets
    for daily in (result.daily, backtest(weights, flat, lot_size=100).daily):
        assert sorted(DAILY_COLUMNS) == sorted(daily.columns)
        assert len(daily.columns) == len(DAILY_COLUMNS)
    assert list(BENCHMARK_SUMMARY_COLUMNS) == list(result.benchmark_summary.columns)
    assert [result.yearly.index.name, *result.yearly.columns] == ["year", *YEARLY_COLUMNS]
    # The statistics of a run without a return day have the same keys (in another order).
    empty = pelorin.calc_strategy_stats(result.daily.iloc[:0], None)
    assert set(empty) == set(ENGINE_STATS)


def test_every_entry_is_in_the_docs_with_its_unit():
    for section in GLOSSARY:
        assert f"### {section.title}" in DOC
        for key, term in section.terms.items():
            row = (f"| `{key}` | {term.unit} | {term.meaning.replace('|', chr(92) + '|')} | "
                   f"{term.versus.replace('|', chr(92) + '|')} |")
            assert row in DOC, key
            assert term.unit in {"percent", "fraction", "level", "ratio", "count", "text"}
            assert term.meaning and "\n" not in term.meaning + term.versus


def test_no_label_means_two_things():
    labels = [metric_label(key) for key in METRIC_DEFINITIONS]
    assert set(LABELS) == set(METRIC_DEFINITIONS) and len(set(labels)) == len(labels)
    assert set(HEADLINE) <= set(METRIC_DEFINITIONS)
    engine_keys = {key for section in GLOSSARY for key in section.terms}
    assert not engine_keys & set(labels)
    # Where the engine measures an idea a metric also measures, its entry says how they
    # differ (or that they are the same).
    for key in ("annual_return", "max_dd", "benchmark_annual_return", "holding_count",
                "turnover", "extra_annual_return"):
        assert "metrics" in ENGINE_STATS[key].versus, key
