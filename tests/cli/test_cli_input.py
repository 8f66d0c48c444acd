"""The command-line tool's refusals of ambiguous or hostile input: each is one line naming
the offending value, and nothing is written where it should not be."""

import json
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from kestrelia.backtest import Store
from kestrelia.backtest.app import cli
from kestrelia.backtest.app.demo_market import generate_market
from kestrelia.dataservice import write_factor_folder
from tests.support.cli import run


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli-input") / "market"
    generated = generate_market(n_stocks=50, years=0.3, seed=5)
    write_factor_folder(folder, generated.factors, generated.index_daily)
    dates = list(generated.dates.strftime("%Y%m%d"))
    target = Store(folder.parent / "store")
    target.build(folder, dates[0], dates[-1])
    codes = list(target.market().codes[:8])
    return target.path, dates, codes




def one_line(code, err, *fragments, exit_code=1):
    lines = [line for line in err.splitlines() if line.startswith("kestrelia-backtest:")]
    assert code == exit_code and len(lines) == 1, err
    assert "Traceback" not in err
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


def write_csv(path, dates, codes, value=0.1, date_text=None):
    rows = ["date," + ",".join(codes)]
    for d in dates:
        text = date_text(d) if date_text else d
        rows.append(text + "," + ",".join(str(value) for _ in codes))
    path.write_text("\n".join(rows) + "\n")
    return path


def day_first(d):
    return f"{d[6:]}/{d[4:6]}/{d[:4]}"


class TestDates:
    def test_day_first_dates_are_refused_with_value_and_row(self, store, tmp_path, capsys):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:30], codes, date_text=day_first)
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--out", tmp_path / "r")
        one_line(code, err, f"'{day_first(dates[0])}' in row 1", "is not a date")
        assert not (tmp_path / "r").exists()

    @pytest.mark.slow
    def test_an_explicit_format_reads_them_exactly(self, store, tmp_path, capsys):
        path, dates, codes = store
        plain = write_csv(tmp_path / "plain.csv", dates[:30], codes)
        dayfirst = write_csv(tmp_path / "dayfirst.csv", dates[:30], codes, date_text=day_first)
        code, _, err = run(capsys, "run", "--store", path, "--weights", plain, "--out", tmp_path / "a")
        assert code == 0, err
        code, _, err = run(capsys, "run", "--store", path, "--weights", dayfirst, "--out",
                           tmp_path / "b", "--date-format", "%d/%m/%Y", "--name", "plain")
        assert code == 0, err
        a = pd.read_parquet(tmp_path / "a" / "plain_daily.parquet")
        b = pd.read_parquet(tmp_path / "b" / "plain_daily.parquet")
        pd.testing.assert_frame_equal(a, b)
        code, _, err = run(capsys, "run", "--store", path, "--weights", plain, "--out",
                           tmp_path / "c", "--date-format", "%d/%m/%Y")
        one_line(code, err, f"'{dates[0]}' in row 1 does not match the date format '%d/%m/%Y'")

    @pytest.mark.parametrize("form", [lambda d: f"{d[:4]}-{d[4:6]}-{d[6:]}",
                                      lambda d: f"{d[:4]}-{d[4:6]}-{d[6:]} 00:00:00",
                                      lambda d: d])
    @pytest.mark.slow
    def test_unambiguous_forms_are_read(self, store, tmp_path, capsys, form):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:20], codes, date_text=form)
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--out", tmp_path / "r")
        assert code == 0, err

    def test_start_after_end(self, store, tmp_path, capsys):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:20], codes)
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--out",
                           tmp_path / "r", "--start", dates[10], "--end", dates[2])
        one_line(code, err, f"--start {dates[10]} is after --end {dates[2]}")


class TestWeights:
    @pytest.mark.parametrize("mutate, fragments", [
        (lambda t: t.replace(",0.1", ",inf", 1), ["weight inf at", "is not finite"]),
        (lambda t: t.replace(",0.1", ",-inf", 1), ["weight -inf at", "is not finite"]),
        (lambda t: t.replace("date,", "date,00007\uff13,", 1).replace("\n2", "\n2", 1),
         ["'00007\uff13'", "is not a stock code"]),
        (lambda t: "\n".join(line.replace(",0.1", ",True", 1) if i else line
                             for i, line in enumerate(t.splitlines())),
         ["weights must be numbers, not booleans"]),
        (lambda t: t.replace(",0.1", ",1e308"), ["the weight 1e+308 at", "is not a fraction of the capital"]),
    ])
    def test_bad_cells_get_one_line(self, store, tmp_path, capsys, mutate, fragments):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:20], codes)
        text = mutate(weights.read_text())
        if "00007\uff13" in text:  # one more value per row for the extra column
            lines = text.splitlines()
            text = "\n".join([lines[0]] + [line + ",0.1" for line in lines[1:]]) + "\n"
        weights.write_text(text)
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--out", tmp_path / "r")
        one_line(code, err, *fragments)
        assert not (tmp_path / "r" / "stats.json").exists()

    def test_parquet_with_a_duplicate_column(self, store, tmp_path, capsys):
        path, dates, codes = store
        table = pa.Table.from_arrays(
            [pa.array(dates[:10]), pa.array(np.full(10, 0.1)), pa.array(np.full(10, 0.2))],
            names=["date", codes[0], codes[0]])
        pq.write_table(table, tmp_path / "w.parquet")
        code, _, err = run(capsys, "run", "--store", path, "--weights", tmp_path / "w.parquet",
                           "--out", tmp_path / "r")
        one_line(code, err, f"the column '{codes[0]}' appears twice")

    def test_a_directory_is_not_a_weights_file(self, store, tmp_path, capsys):
        path, _, _ = store
        (tmp_path / "w.csv").mkdir()
        code, _, err = run(capsys, "run", "--store", path, "--weights", tmp_path / "w.csv",
                           "--out", tmp_path / "r")
        one_line(code, err, "is a directory")

    @pytest.mark.parametrize("name", ["../../escaped", "a/b", "..", "sub\\name"])
    def test_name_is_a_plain_file_stem(self, store, tmp_path, capsys, name):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:20], codes)
        out = tmp_path / "deep" / "er" / "out"
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--out", out,
                           "--name", name)
        one_line(code, err, "--name", "must be a plain file name")
        assert sorted(p.name for p in tmp_path.rglob("*")) == ["w.csv"]

    @pytest.mark.slow
    def test_stats_json_is_strict_json(self, store, tmp_path, capsys):
        path, dates, codes = store
        weights = write_csv(tmp_path / "w.csv", dates[:2], codes[:1])
        code, _, err = run(capsys, "run", "--store", path, "--weights", weights, "--end", dates[1],
                           "--out", tmp_path / "r")  # one day: no Sharpe
        assert code == 0, err

        def refuse(token):
            raise AssertionError(f"non-strict JSON constant {token}")

        stats = json.loads((tmp_path / "r" / "stats.json").read_text(), parse_constant=refuse)
        assert any(v is None for v in stats["stats"].values())


@pytest.mark.parametrize("argv, fragment", [
    (["run", "--store", "s", "--weights", "w.csv", "--capital", "inf"], "--capital: must be a finite positive number"),
    (["run", "--store", "s", "--weights", "w.csv", "--capital", "nan"], "--capital: must be a finite positive number"),
    (["run", "--store", "s", "--weights", "w.csv", "--fee", "inf"], "--fee: must be a rate between 0 and 1"),
    (["run", "--store", "s", "--weights", "w.csv", "--rule-fee", "1"], "--rule-fee: must be a rate between 0 and 1"),
    (["demo", "--years", "inf"], "--years: must be more than 0 and at most 30"),
    (["demo", "--years", "1e9"], "--years: must be more than 0 and at most 30"),
    (["demo", "--seed", "-1"], "--seed: must be between 0 and 4294967295"),
    (["demo", "--seed", str(2**32)], "--seed: must be between 0 and 4294967295"),
])
def test_numbers_out_of_range_are_refused_by_the_parser(capsys, argv, fragment):
    with pytest.raises(SystemExit, match=r"^2$"):  # the parser's usage error
        cli.main(argv)
    assert fragment in capsys.readouterr().err


def test_interrupt_while_parsing_is_one_line(monkeypatch, capsys):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "build_parser", interrupted)
    code, _, err = run(capsys, "store", "info", "x")
    one_line(code, err, "interrupted", exit_code=130)


@pytest.mark.slow
def test_ctrl_c_during_a_run_exits_130_without_traceback(tmp_path):
    with subprocess.Popen(
            [sys.executable, "-m", "kestrelia.backtest", "demo", "--out", str(tmp_path / "d"),
             "--stocks", "400", "--years", "3"],
            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True) as process:
        assert process.stderr is not None
        first = process.stderr.readline()  # the first step line: main is running
        assert first.startswith("[1/9]"), first
        time.sleep(0.3)
        process.send_signal(signal.SIGINT)
        rest = process.stderr.read()
        assert process.wait(timeout=120) == 130, first + rest
    assert "Traceback" not in rest and rest.strip().endswith("kestrelia-backtest: interrupted")


def test_ctrl_c_while_loading_the_tool_is_one_line():
    # Ctrl-C arriving while pandas is being imported, before any command runs.
    code = (
        "import builtins, sys\n"
        "real = builtins.__import__\n"
        "def interrupt(name, *args, **kwargs):\n"
        "    if name == 'pandas':\n"
        "        raise KeyboardInterrupt\n"
        "    return real(name, *args, **kwargs)\n"
        "from kestrelia.backtest.app import main\n"
        "builtins.__import__ = interrupt\n"
        "sys.exit(main(['store', 'info', 'somewhere']))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 130, done.stderr
    assert done.stderr.strip() == "kestrelia-backtest: interrupted"
