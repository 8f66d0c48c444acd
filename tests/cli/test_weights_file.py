"""Weight files as `run` and `sweep` read them: every layout gives the matrix pandas reads,
special files are named for what they are, and wide files are read column-wise."""

import os
import time

import numpy as np
import pandas as pd
import pytest

from kestrelia._labels import stock_code
from kestrelia.backtest.weights import _stock_codes, read_weights
from kestrelia.errors import InputError


def matrix(rng, rows, cols, holes=0.2):
    values = rng.normal(0, 1, (rows, cols)).round(6)
    values[rng.random((rows, cols)) < holes] = np.nan
    dates = pd.bdate_range("2024-01-02", periods=rows).strftime("%Y%m%d")
    # Shenzhen codes (0xxxxx to 3xxxxx), so that any of them may carry an "sz" prefix.
    codes = [f"{c:06d}" for c in rng.choice(399_999, cols, replace=False)]
    return pd.DataFrame(values, index=pd.Index(dates, name="date"), columns=codes)


def reference(path):
    """What pandas reads from the file, as read_weights shapes it."""
    frame = pd.read_csv(path, index_col=0, dtype={0: str}) if path.suffix == ".csv" \
        else pd.read_parquet(path)
    if isinstance(frame.index, pd.RangeIndex):
        frame = frame.set_index(frame.columns[0])
    frame.index = pd.Index(frame.index.astype(str).str.strip(), dtype="str", name="date")
    frame.columns = pd.Index([stock_code(c) for c in frame.columns], dtype="str")
    return frame.astype(float).sort_index()


LAYOUTS = {
    "csv": lambda f, p: f.to_csv(p),
    # A quoted name sends the file through pyarrow's own CSV reader instead of the split.
    "csv, quoted header": lambda f, p: f.rename(columns={f.columns[0]: f"sz{f.columns[0]}"})
    .to_csv(p, quoting=1),
    "csv, spaces and missing markers": lambda f, p: p.write_text(
        f.to_csv(na_rep="NaN").replace(",", " , ").replace("date , ", "date,")),
    "csv, shuffled rows and integers": lambda f, p: f.iloc[::-1].fillna(0).round(0).astype(int).to_csv(p),
    "parquet, dates in the index": lambda f, p: f.to_parquet(p),
    "parquet, dates in the first column": lambda f, p: f.reset_index().to_parquet(p, index=False),
    "parquet, numbers as text": lambda f, p: f.astype(str).to_parquet(p),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(7, 5), (1, 1), (0, 4),
                                   pytest.param((3, 12_000), marks=pytest.mark.slow)])
def test_every_layout_reads_as_pandas_reads_it(tmp_path, layout, shape):
    frame = matrix(np.random.default_rng(sum(shape)), *shape)
    path = tmp_path / ("w.parquet" if layout.startswith("parquet") else "w.csv")
    LAYOUTS[layout](frame, path)
    got = read_weights(path)
    pd.testing.assert_frame_equal(got, reference(path), check_exact=True)
    assert got.shape == frame.shape


def test_a_wide_csv_is_read_in_seconds(tmp_path):
    """Once over an hour for a million columns (a Python call per cell): a hundred
    thousand columns now take well under a second, and the limit leaves room for a busy
    machine."""
    rng = np.random.default_rng(1)
    frame = matrix(rng, 3, 100_000, holes=0.0)
    header = "date," + ",".join(frame.columns)
    body = ["\n" + d + "," + ",".join(np.char.mod("%.6f", row)) for d, row in
            zip(frame.index, frame.to_numpy())]
    (tmp_path / "w.csv").write_text(header + "".join(body) + "\n")
    started = time.perf_counter()
    got = read_weights(tmp_path / "w.csv")
    assert time.perf_counter() - started < 5.0
    np.testing.assert_array_equal(got.to_numpy(), frame.sort_index().to_numpy())


def test_the_vectorised_code_reader_agrees_with_the_shared_one():
    names = ["1", " 000001 ", "600000.SH", "600000.", "0000001", "12a", "", "\uff16\uff10\uff10\uff10\uff10", "60000.SH",
             "000001\n.SZ", "600000.SH.extra", "  7  ", "1234567.SZ", "abcdef.SZ", "000001x"]
    assert _stock_codes(names) == [stock_code(n) for n in names]
    assert _stock_codes(["1", "600000.SH", "sh600001", "000300.SH"]) == ["000001", "600000",
                                                                          "600001", None]


@pytest.mark.parametrize("content, fragment", [
    ("date,000001\n20240102,abc\n", "the cell ('20240102', '000001') is 'abc'; weights must be numbers"),
    ("date,000001,000002\n20240102,0.1,0.2\n20240103,0.1,True\n",
     "the cell ('20240103', '000002') is 'True'; weights must be numbers, not booleans"),
    ('date,"000001"\n20240102,1_000\n', "is '1_000'; weights must be numbers"),
    ("date,000001\n20240102,\uff11\n", "is '\uff11'; weights must be numbers"),
    ("date,000001\n20240102,0.1,0.2\n", "row 1 has 3 fields"),
    ("", "Empty CSV file"),
    ("date,000001\n02/01/2024,0.1\n", "'02/01/2024' in row 1 is not a date"),
    ("date,00000\uff11\n20240102,0.1\n", "column '00000\uff11' is not a stock code"),
])
def test_bad_csv_cells_are_named(tmp_path, content, fragment):
    (tmp_path / "w.csv").write_text(content)
    with pytest.raises(InputError, match="weights file") as caught:
        read_weights(tmp_path / "w.csv")
    assert fragment in str(caught.value)
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("column, fragment", [
    (pd.Series([None, True], dtype=object), "the cell ('20240103', '000002') is True"),
    (pd.Series(["0.1", "x"]), "the cell ('20240103', '000002') is 'x'"),
    (pd.Series(pd.to_datetime(["2024-01-01", "2024-01-02"])), "holds timestamp"),
])
def test_bad_parquet_columns_are_named(tmp_path, column, fragment):
    frame = pd.DataFrame({"date": ["20240102", "20240103"], "000001": [0.1, 0.2],
                          "000002": column})
    frame.to_parquet(tmp_path / "w.parquet", index=False)
    with pytest.raises(InputError, match="weights file") as caught:
        read_weights(tmp_path / "w.parquet")
    assert fragment in str(caught.value)


@pytest.mark.parametrize("make, fragment", [
    (lambda p: p.symlink_to("/dev/zero"), "is not a regular file but a character device"),
    (lambda p: os.mkfifo(p), "is not a regular file but a named pipe"),
    (lambda p: (p.symlink_to(p.with_name("b.csv")), p.with_name("b.csv").symlink_to(p)),
     "is a loop of symbolic links"),
    (lambda p: p.symlink_to(p.with_name("gone.csv")), "is a symbolic link to"),
    (lambda p: p.mkdir(), "is a directory, not a file"),
    (lambda p: None, "does not exist"),
])
@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".xlsx"])
def test_special_files_are_named_without_being_read(tmp_path, make, fragment, suffix):
    path = tmp_path / f"a{suffix}"
    make(path)
    with pytest.raises(InputError, match=fragment):
        read_weights(path)


def test_a_named_pipe_with_a_writer_is_refused_too(tmp_path):
    path = tmp_path / "w.csv"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # a writer that never closes: a read would not end
    try:
        with pytest.raises(InputError, match="a named pipe"):
            read_weights(path)
    finally:
        os.close(writer)
