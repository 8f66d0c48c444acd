"""Faults found by attacking the command-line tool, each kept as a test now that it is fixed."""

import os

import pandas as pd
import pytest

from tests.support.cli import run

LATIN1_NAME = os.fsdecode(b"caf\xe9")  # a file name written in Latin-1: a lone surrogate here


@pytest.fixture
def latin1_weights(tmp_path):
    folder = tmp_path / "weights"
    folder.mkdir()
    path = folder / f"{LATIN1_NAME}.csv"
    pd.DataFrame({"000001": [0.5]}, index=pd.Index(["20240102"], name="date")).to_csv(path)
    return path


# Such a name reached matplotlib and the page writer, and the run ended in a multi-line
# "TypeError: set_text(): incompatible function arguments" (a sweep: a UnicodeEncodeError)
# after the backtest, saying nothing of the name.
@pytest.mark.parametrize("how", ["weights file name", "--name"])
def test_run_refuses_a_name_that_is_not_utf8_before_reading_anything(capsys, tmp_path,
                                                                    latin1_weights, how):
    out = tmp_path / "report"
    extra = ["--name", LATIN1_NAME] if how == "--name" else []
    code, _, err = run(capsys, "run", "--store", tmp_path / "no-store", "--weights",
                       latin1_weights, "--out", out, *extra)
    assert code == 1
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "not valid UTF-8" in lines[0] and "--name" in lines[0], err
    assert not out.exists()


def test_sweep_refuses_a_weight_file_whose_name_is_not_utf8(capsys, tmp_path, latin1_weights):
    out = tmp_path / "sweep"
    code, _, err = run(capsys, "sweep", "--store", tmp_path / "no-store", "--weights-dir",
                       latin1_weights.parent, "--out", out)
    assert code == 1
    assert "not valid UTF-8" in err and "rename it" in err and "Error:" not in err, err
    assert not out.exists()


# --stocks was checked by the generator only, after --force had cleared the output folder:
# "demo --out mine --force --stocks 20" deleted everything in it, then failed with
# "ValueError: the demo market needs at least 50 stocks"; too many stocks failed in the
# same way with "Cannot take a larger sample than population".
@pytest.mark.parametrize("stocks", ["20", "49", "7001", "3000000"])
def test_demo_refuses_a_stock_count_before_clearing_the_folder(capsys, tmp_path, stocks):
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(SystemExit) as stopped:
        run(capsys, "demo", "--out", tmp_path, "--force", "--stocks", stocks)
    assert stopped.value.code == 2
    assert "--stocks: must be between 50 and 7000" in capsys.readouterr().err
    assert (tmp_path / "notes.txt").read_text() == "mine"


def _binary(path):
    path.write_bytes(bytes(range(256)) * 12 + b"\n1,2\n" + bytes(range(255, -1, -1)) * 12)


def _gbk(path):
    bars = pd.DataFrame({"date": ["20240102"] * 2, "code": ["000001", "600000"],
                         "open": [10.0, 8.0], "close": [10.1, 8.2], "行业": ["银行", "银行"]})
    bars.to_csv(path, index=False, encoding="gbk")


# A binary file printed pyarrow's own "Exception ignored ... UnicodeDecodeError" traceback
# and then the undecoded row it choked on; a table saved in GBK ended in "UnicodeDecodeError:
# 'utf-8' codec can't decode byte 0xd0" without naming the file.
@pytest.mark.parametrize("write", [_binary, _gbk], ids=["binary", "gbk"])
def test_import_refuses_a_table_that_is_not_utf8_text_in_one_line(capfd, tmp_path, write):
    table = tmp_path / "bars.csv"
    write(table)
    code, _, err = run(capfd, "import", "bars", "--table", table, "--out", tmp_path / "m")
    assert code == 1
    assert "Traceback" not in err and "Exception ignored" not in err, err
    last = err.strip().splitlines()[-1]
    assert str(table) in last and "not UTF-8 text" in last, err
    assert all(ch.isprintable() for ch in err.replace("\n", "")), err


# Control characters passed as a strategy name: a weight file named "\x1b]0;...\x07.csv" in
# a shared folder had a sweep print them to the terminal as they were (retitling it, or
# clearing the screen with "\x1b[2J"), and a run wrote report files under such names.
@pytest.mark.parametrize("stem", ["a\x1b[2Jb", "x\x1b]0;pwned\x07", "line\nbreak", "tab\there"])
def test_a_name_with_control_characters_is_refused_in_one_clean_line(capsys, tmp_path, stem):
    folder = tmp_path / "weights"
    folder.mkdir()
    pd.DataFrame({"000001": [0.5]}, index=pd.Index(["20240102"], name="date")).to_csv(
        folder / f"{stem}.csv")
    for argv in (["sweep", "--weights-dir", folder, "--out", tmp_path / "sweep"],
                 ["run", "--weights", folder / f"{stem}.csv", "--out", tmp_path / "run"]):
        code, out, err = run(capsys, *argv, "--store", tmp_path / "no-store")
        assert code == 1
        assert "\x1b" not in out + err and "\x07" not in out + err, err
        assert len(err.strip().splitlines()) == 1 and "control characters" in err, err
    assert not (tmp_path / "sweep").exists() and not (tmp_path / "run").exists()


# KESTRELIA_DEBUG=0 turned the tracebacks on: any value but the empty one did.
@pytest.mark.parametrize("value, traceback", [("0", False), ("", False), ("1", True)])
def test_kestrelia_debug_0_leaves_the_traceback_off(capsys, monkeypatch, value, traceback):
    from kestrelia.backtest.app import cli

    def fails(args):
        raise RuntimeError("an unexpected failure")

    monkeypatch.setenv("KESTRELIA_DEBUG", value)
    monkeypatch.setattr(cli, "cmd_store_info", fails)
    if traceback:
        with pytest.raises(RuntimeError, match="an unexpected failure"):
            run(capsys, "store", "info", "somewhere")
        return
    code, _, err = run(capsys, "store", "info", "somewhere")
    assert code == 1
    assert err.strip() == ("kestrelia-backtest: error: RuntimeError: an unexpected failure "
                           "(set KESTRELIA_DEBUG=1 for details)")


@pytest.fixture(scope="module")
def demo_store(tmp_path_factory):
    from kestrelia import singleton
    from kestrelia.backtest.app import cli

    previous = singleton.set_instance(None)
    out = tmp_path_factory.mktemp("adv-cli-demo")
    if cli.main(["demo", "--out", str(out), "--stocks", "60", "--years", "0.4", "--force"]):
        raise RuntimeError("the demo failed")
    yield out / "store"
    singleton.set_instance(previous)


# A weights file of codes mostly not in the store ran with what was left (here 1 of 3
# columns) and showed its figures without a word about the weights it dropped.
def test_run_says_when_weights_name_codes_the_store_lacks(capsys, tmp_path, demo_store):
    import kestrelia.backtest as kb

    market = kb.Store(demo_store).market()
    known = str(market.codes[0])
    weights = tmp_path / "w.csv"
    pd.DataFrame({known: [0.3], "999998": [0.3], "999997": [0.3], "999996": [float("nan")]},
                 index=pd.Index([market.dates[0].strftime("%Y%m%d")], name="date"),
                 ).to_csv(weights)
    code, _, err = run(capsys, "run", "--store", demo_store, "--weights", weights, "--out",
                       tmp_path / "r")
    assert code == 0, err
    assert ("note: 2 of the 3 stock codes with weights are not in the store (999997, 999998); "
            "their weights are ignored") in err


# A primary benchmark of NaN only on the run's days passed as one with data: the engine
# took its returns as 0, and its chart showed a flat benchmark under the index's name and
# the whole return as excess, beside a headline of "--" for every benchmark figure.
def test_a_benchmark_without_a_number_is_dropped_with_a_note():
    from kestrelia.backtest.app.import_bars import drop_empty_benchmarks

    days = pd.date_range("2024-01-02", periods=3)
    series = {"000852": pd.Series(float("nan"), index=days),
              "000300": pd.Series([1.0, 1.1, 1.2], index=days)}
    kept, note = drop_empty_benchmarks(series, "000852")
    assert kept == {}  # a flat benchmark: a market without any
    assert note is not None and "no data for the benchmark 000852" in note
