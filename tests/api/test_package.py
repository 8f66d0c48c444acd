"""The package's public surface: names, the light import, every docstring example and the
README's Python section, run as written."""

import doctest
import importlib
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import kestrelia
import kestrelia.backtest as bt

PUBLIC = {"Market", "backtest", "BacktestResult", "Store", "KestreliaError", "InputError",
          "StoreError", "__version__", "sweep", "SweepResult", "read_weights", "Execution",
          "Costs"}
README = Path(__file__).resolve().parents[2] / "README.md"


def test_exports():
    assert set(bt.__all__) == PUBLIC
    assert set(kestrelia.__all__) == PUBLIC - {"backtest"}
    for name in PUBLIC - {"backtest"}:
        assert getattr(kestrelia, name) is getattr(bt, name)
    assert kestrelia.backtest is bt  # the subpackage, not the function
    assert importlib.import_module("kestrelia.backtest") is bt
    from kestrelia.errors import InputError, StoreError

    assert bt.InputError is InputError and issubclass(InputError, ValueError)
    assert issubclass(StoreError, OSError) and issubclass(StoreError, bt.KestreliaError)
    assert re.fullmatch(r"\d+\.\d+.*|0\+unknown", kestrelia.__version__)


NOT_OFFERED = """[name for name in dir(package) if name not in package.__all__
                 and not name.startswith("_")
                 and not isinstance(getattr(package, name), types.ModuleType)]"""


@pytest.mark.parametrize("package", [kestrelia, bt])
def test_dir_lists_what_the_package_offers(package):
    # dir() shows the package's own names (loaded or not) and submodules, never what the
    # package imports for itself; here, and before anything loaded in a fresh interpreter.
    assert set(package.__all__) <= set(dir(package))
    assert eval(NOT_OFFERED, {"package": package, "types": types}) == []
    code = (f"import types, {package.__name__} as package; "
            f"print(set(package.__all__) <= set(dir(package)), {NOT_OFFERED})")
    fresh = subprocess.run([sys.executable, "-c", code.replace("\n", " ")],
                           capture_output=True, text=True, check=True).stdout
    assert fresh.split() == ["True", "[]"]


def test_import_is_light():
    code = ("import sys, pandas; before = set(sys.modules); import kestrelia, kestrelia.backtest; "
            "print(sorted(m for m in set(sys.modules) - before "
            "if m.split('.')[0] in ('matplotlib', 'pyarrow', 'dask')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


@pytest.mark.parametrize("module", ["kestrelia.backtest.market", "kestrelia.backtest.run",
                                    pytest.param("kestrelia.backtest.result",
                                                 marks=pytest.mark.slow),
                                    "kestrelia.backtest.store",
                                    "kestrelia.backtest.sweeps.driver",
                                    "kestrelia.backtest.sweeps.result", "kestrelia.backtest.weights",
                                    "kestrelia.backtest.execution"])
def test_docstring_examples_run(module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    mod = importlib.import_module(module)
    outcome = doctest.testmod(mod, optionflags=doctest.ELLIPSIS, verbose=False)
    assert outcome.attempted > 0 and outcome.failed == 0


def test_every_public_name_has_an_example():
    from kestrelia.backtest.result import BacktestResult
    from kestrelia.backtest.store import Store

    objects = [bt.Market, bt.Market.from_store, bt.Market.slice, bt.backtest, BacktestResult,
               BacktestResult.figures, BacktestResult.save, BacktestResult._repr_html_,
               Store, Store.build, Store.update, Store.info, Store.verify, Store.market,
               bt.sweep, bt.SweepResult, bt.read_weights, bt.Costs, bt.Costs.china_a_share]
    for obj in objects:
        doc = obj.__doc__ or ""
        assert ">>> " in doc, obj
        if obj not in (BacktestResult._repr_html_,):
            assert "Examples\n" in doc.replace(" ", ""), obj


def readme_python_block():
    """Every Python block of the section, in order: later ones build on the first."""
    text = README.read_text()
    section = text.split("## From Python", 1)[1].split("\n## ", 1)[0]
    return "\n".join(re.findall(r"```python\n(.*?)```", section, re.S))


@pytest.mark.slow
def test_readme_python_section_runs(tmp_path, monkeypatch):
    code = readme_python_block()
    assert "_pelorin" not in code and "_prepare" not in code and "singleton" not in code
    from kestrelia.backtest.app.demo_market import generate_market
    from kestrelia.dataservice import write_factor_folder

    monkeypatch.chdir(tmp_path)
    generated = generate_market(n_stocks=60, years=1.2, seed=3)
    write_factor_folder(tmp_path / "kestrelia-demo" / "market", generated.factors,
                        generated.index_daily)
    scope = {"__name__": "readme"}
    exec(compile(code, str(README), "exec"), scope)
    assert (tmp_path / "report" / "stats.json").is_file()
    assert len(scope["ex"].trades) > 0 and scope["grid"].failed == {}
    # The monthly strategy: rows on month ends only, traded on the next trading days.
    held = scope["held"]
    assert held.returns.index.name == "date" and len(scope["yearly"]) >= 1
    assert len(held.returns) > 3 * len(scope["monthly"].dropna(how="all"))
    assert (tmp_path / "sweep" / "stats.csv").is_file()
    # The factor strategies do what they say: no ST stock or young listing among the small
    # caps, and a momentum that a split does not turn into a crash.
    market = scope["kb"].Store("my-store").market(start="20230101")
    small = scope["small_caps"](market).notna()
    assert small.sum(axis=1).max() == 50
    assert not (small & (market.is_st | (market.listed_days < 120))).any().any()
    raw = market.close_price.pct_change(20, fill_method=None)
    adjusted = market.adj_close.pct_change(20, fill_method=None)
    assert (raw - adjusted).min().min() < -0.15  # a split within the window
    assert scope["momentum"](market).notna().sum(axis=1).max() == 50


@pytest.mark.slow
def test_typed_usage_script_runs():
    script = Path(__file__).with_name("typed_usage.py")
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out[3:7] == ["['main',", "'weekly_net_value']", "True", "10"]
    assert out[7:9] == ["weights:", "StoreError"]


def mypy_run(*args, env_path=None):
    import os

    env = dict(os.environ)
    package_root = Path(kestrelia.__file__).resolve().parents[1]
    if "site-packages" not in package_root.parts:  # a source tree: show mypy where it is
        env["MYPYPATH"] = str(package_root)
    root = Path(__file__).resolve().parents[2]
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--config-file", str(root / "pyproject.toml"), *args],
                          capture_output=True, text=True, env=env, cwd=root)


def needs_mypy_and_pandas_stubs():
    from importlib import metadata

    pytest.importorskip("mypy")
    try:
        metadata.version("pandas-stubs")
    except metadata.PackageNotFoundError:
        pytest.skip("pandas-stubs is not installed (pip install kestrelia[test])")


@pytest.mark.slow
def test_user_script_passes_mypy_strict():
    needs_mypy_and_pandas_stubs()
    script = Path(__file__).with_name("typed_usage.py")
    result = mypy_run(str(script))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_public_package_passes_mypy_strict():
    needs_mypy_and_pandas_stubs()
    result = mypy_run("-p", "kestrelia.backtest")
    assert result.returncode == 0, result.stdout + result.stderr
