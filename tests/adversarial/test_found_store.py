"""Faults found by attacking the prepared-data store and its commands: each test shows one
(the comment says what went wrong), and guards its fix."""

import datetime as dt
import pickle
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

from kestrelia import singleton
from kestrelia.backtest import Store, _prepare
from kestrelia.backtest._storage import metadata_pickle, npy
from kestrelia.backtest.app import cli
from kestrelia.errors import InputError, StoreError
from tests.support.cli import child_env


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """A small demo: its data-service folder and a store of its 100 trading days
    (20240807 to 20241231)."""
    previous = singleton.set_instance(None)
    out = tmp_path_factory.mktemp("adv-store-demo")
    if cli.main(["demo", "--out", str(out), "--stocks", "60", "--years", "0.4", "--force"]):
        raise RuntimeError("the demo failed")
    yield out
    singleton.set_instance(previous)


@pytest.fixture
def store(demo, tmp_path):
    return Path(shutil.copytree(demo / "store", tmp_path / "store"))


def rewrite_metadata(store, change):
    metadata = metadata_pickle.load(store / "metadata.pkl")
    change(metadata)
    (store / "metadata.pkl").write_bytes(pickle.dumps(metadata))


def test_an_update_of_an_inner_window_keeps_the_later_dates(demo, store):
    # An update of an inner window once rewrote the store's tail from the window on and
    # dropped every later date without a word (exit 0).
    before = Store(store).info()
    assert before["last_date"] == "20241231"
    Store(store).update(demo / "market", "20240903", "20240905")
    after = Store(store).info()
    assert (after["last_date"], after["trading_days"]) == (
        before["last_date"], before["trading_days"]), (
        f"the store ended on {before['last_date']} ({before['trading_days']} days); after "
        f"updating 20240903..20240905 it ends on {after['last_date']} "
        f"({after['trading_days']} days)")
    assert Store(store).verify() == []


def _scale_factor(market, factor, day, times):
    """Multiplies a source factor on one day for the codes starting with 6 (a correction
    that changes the stocks' ranks, not only their level)."""
    path = market / "factors" / f"{factor}.parquet"
    table = pq.read_table(path)
    when = pa.scalar(dt.datetime.strptime(day, "%Y%m%d").date(), pa.date32())
    rows = pc.and_(pc.equal(table["date"], when), pc.starts_with(table["ukey"], "6"))
    values = pc.if_else(rows, pc.multiply(table["value"], times), table["value"])
    pq.write_table(table.set_column(table.schema.get_field_index("value"), "value", values),
                   path)


def _datasets(path):
    return _prepare.BinaryPreparedDataStore(str(path)).load(mmap=False)["data"]


def test_an_update_of_a_corrected_window_matches_a_fresh_build(demo, store, tmp_path):
    market = Path(shutil.copytree(demo / "market", tmp_path / "market"))
    _scale_factor(market, "Close", "20240905", 1.05)
    _scale_factor(market, "Open", "20240905", 1.02)
    before = _datasets(store)
    Store(store).update(market, "20240903", "20240905")
    got = _datasets(store)
    fresh = Store(tmp_path / "fresh")
    fresh.build(market, "20240807", "20241231")
    want = _datasets(fresh.path)
    # The correction reached the window, the next day's previous close and the forward
    # returns that read the corrected opens.
    assert (got["close_price"].loc["20240905"] != before["close_price"].loc["20240905"]).any()
    assert (got["prev_close"].loc["20240906"] != before["prev_close"].loc["20240906"]).any()
    for key in ("close_price", "open_price", "prev_close", "buy_price", "sell_price",
                "rq_get_split", "rq_get_dividend", "can_buy_stock", "forward_return_rank_cache"):
        # The demo's store was built in two steps, so its forward returns of the two days
        # before the second differ from a single build's.
        pd.testing.assert_frame_equal(got[key].loc[:"20241129"], want[key].loc[:"20241129"],
                                      obj=key)
    # The stored days after the first one past the window are kept exactly.
    for key, value in before.items():
        if key == "benchmark_dict":
            for name, series in value.items():
                pd.testing.assert_series_equal(got[key][name].loc["20240909":],
                                               series.loc["20240909":], obj=name)
        else:
            pd.testing.assert_frame_equal(got[key].loc["20240909":], value.loc["20240909":],
                                          obj=key)
    assert Store(store).verify() == []


@pytest.mark.slow
def test_concurrent_updates_of_inner_windows_keep_every_date(demo, store, monkeypatch):
    # The first update is slow to build and holds the lock; the second waits for it. Each
    # once cut the store at its own window, so the store ended with the last commit's.
    real = _prepare.build_incremental_write_window
    first_built = threading.Event()

    def slow(*args):
        payload = real(*args)
        if not first_built.is_set():
            first_built.set()
            time.sleep(0.5)
        return payload

    monkeypatch.setattr(_prepare, "build_incremental_write_window", slow)
    before = Store(store).info()
    errors = []

    def update(start, end):
        try:
            Store(store, lock_timeout=60).update(demo / "market", start, end)
        except Exception as exc:  # reported below
            errors.append(exc)

    first = threading.Thread(target=update, args=("20240903", "20240905"))
    second = threading.Thread(target=update, args=("20241015", "20241017"))
    first.start()
    assert first_built.wait(60)
    second.start()
    for thread in (first, second):
        thread.join(120)
    assert errors == []
    after = Store(store).info()
    assert (after["first_date"], after["last_date"], after["trading_days"]) == (
        before["first_date"], before["last_date"], before["trading_days"])
    assert Store(store).verify() == []


def test_verify_during_a_concurrent_rewrite_reports_no_damage(demo, store, monkeypatch):
    # Verify read the metadata once and then the files, without the writer lock: a writer
    # that committed in between (and deleted the files it replaced) made it report missing
    # files of a sound store.
    real = npy.dataset_path
    rewritten = []

    def rewrite_first(store_dir, file, what):
        if not rewritten:  # another writer commits right after verify read the metadata
            rewritten.append(True)
            Store(store).update(demo / "market", "20241225", "20241231")
        return real(store_dir, file, what)

    monkeypatch.setattr(npy, "dataset_path", rewrite_first)
    problems = Store(store).verify()
    assert rewritten
    assert problems == []
    monkeypatch.undo()
    assert Store(store).verify() == []


@pytest.mark.slow
def test_verify_while_another_thread_keeps_updating_reports_no_damage(demo, store):
    done = threading.Event()
    errors = []

    def keep_updating():
        try:
            for _ in range(6):
                Store(store, lock_timeout=60).update(demo / "market", "20241225", "20241231")
        except Exception as exc:  # reported below
            errors.append(exc)
        finally:
            done.set()

    writer = threading.Thread(target=keep_updating)
    writer.start()
    reports = []
    while not done.is_set():
        reports.append(Store(store, lock_timeout=60).verify())
    writer.join(120)
    assert errors == [] and len(reports) > 1
    assert [problems for problems in reports if problems] == []


@pytest.mark.parametrize("start, end", [("20240810", "20240811"), ("20300101", "20300201")])
def test_a_build_of_a_window_without_trading_days_raises_input_error(demo, tmp_path, start, end):
    # It raised a bare KeyError about the benchmark ("基准日频数据为空: 000852 ...").
    with pytest.raises(InputError, match=f"no trading days between {start} and {end}"):
        Store(tmp_path / "new").build(demo / "market", start, end)
    assert not (tmp_path / "new").exists()


READERS = {
    "market": lambda store, demo: Store(store).market(),
    "info": lambda store, demo: Store(store).info(),
    "components": lambda store, demo: Store(store).components(),
    "update": lambda store, demo: Store(store).update(demo / "market", "20241225", "20241231"),
}


@pytest.mark.parametrize("damage, read", [
    (lambda m: m.__setitem__("datasets", list(m["datasets"])), "market"),
    (lambda m: m["datasets"]["benchmark_dict"].__setitem__("series", [1, 2]), "market"),
    (lambda m: m["datasets"]["benchmark_dict"].__setitem__("series", [1, 2]), "update"),
    (lambda m: m["datasets"]["benchmark_dict"]["series"]["000852"].__setitem__("dates", 5),
     "market"),
    (lambda m: m.__setitem__("meta", [1]), "info"),
    (lambda m: m["meta"].__setitem__("component_dataset_keys", [1]), "components"),
    (lambda m: m["meta"].__setitem__("component_names", 3), "info"),
    (lambda m: m["meta"].__setitem__("component_names", [1, 2]), "info"),
    (lambda m: m["meta"].__setitem__("factors", ["open"]), "info"),
    (lambda m: m["meta"].__setitem__("factors", ["open"]), "market"),
    (lambda m: m["meta"].__setitem__("factors_absent", ["open"]), "info"),
], ids=["datasets a list", "benchmark series a list", "benchmark series a list, update",
        "benchmark dates a number", "meta a list", "component keys a list",
        "component names a number", "component names numbers", "factors a list",
        "factors a list, market", "factors absent a list"])
def test_damaged_metadata_structure_raises_store_error(demo, store, damage, read):
    # Each raised TypeError or AttributeError; a damaged store is documented to raise
    # StoreError.
    rewrite_metadata(store, damage)
    before = (store / "metadata.pkl").read_bytes()
    with pytest.raises(StoreError, match="damaged metadata"):
        READERS[read](store, demo)
    assert (store / "metadata.pkl").read_bytes() == before


@pytest.mark.parametrize("dtype", ["garbage", 5, None])
def test_a_metadata_dtype_that_is_no_data_type_is_reported_by_verify_and_info(store, dtype):
    # verify and info stopped with "error: TypeError: data type 'garbage' not understood",
    # naming neither the dataset nor the store, instead of reporting the damaged entry.
    rewrite_metadata(store, lambda m: m["datasets"]["prev_close"].__setitem__("dtype", dtype))
    problems = Store(store).verify()
    assert [p for p in problems if p.startswith("dataset prev_close:") and "dtype" in p], problems
    assert "dataset prev_close" in Store(store).info()["files"]


def test_verify_reports_a_store_that_lacks_a_backtest_dataset(store):
    # Verify found nothing wrong (and the command exited 0) while market() refused it.
    rewrite_metadata(store, lambda m: [m["datasets"].pop(k) for k in ("close_price", "prev_close")])
    with pytest.raises(StoreError, match="lacks the datasets close_price, prev_close"):
        Store(store).market()
    problems = Store(store).verify()
    assert [p for p in problems
            if "lacks the datasets close_price, prev_close, which a backtest reads" in p]


def _shared_lists(depth):
    """A list of two references to a list of two references ...: a few bytes a level in a
    pickle, 2**depth leaves when walked."""
    value: list = []
    for _ in range(depth):
        value = [value, value]
    return value


def _limited():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


class TestSharedListsInMetadata:
    """A 20 kB metadata.pkl whose values share lists (a memo trick) is read fine but makes a
    later step walk 2**40 elements: `store info` prints it until memory runs out, and a
    failed load compares it with itself for ever."""

    def run(self, code, timeout=10):
        try:
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  timeout=timeout, preexec_fn=_limited,
                                  env=child_env())
        except subprocess.TimeoutExpired:
            return None
        return done

    def test_store_info_of_shared_list_metadata_ends_promptly(self, store):
        rewrite_metadata(store, lambda m: m.__setitem__("updated_at", _shared_lists(40)))
        assert (store / "metadata.pkl").stat().st_size < 100_000
        done = self.run("import sys; from kestrelia.backtest.app import cli; "
                        f"sys.exit(cli.main(['store', 'info', {str(store)!r}]))")
        # It printed updated_at as it was: minutes and all the memory.
        assert done is not None, "store info did not finish within 10 s"
        assert "MemoryError" not in done.stderr
        assert done.returncode == 1 and "refusing to load" in done.stderr

    def test_market_of_shared_list_metadata_with_a_missing_file_ends_promptly(self, store):
        def damage(m):
            m["meta"]["notes"] = _shared_lists(40)
            m["datasets"]["close_price"]["file"] = "close_price.000000000000.npy"

        rewrite_metadata(store, damage)
        done = self.run("from kestrelia.backtest import Store\n"
                        "try:\n"
                        f"    Store({str(store)!r}).market()\n"
                        "except Exception as exc:\n"
                        "    print(type(exc).__name__)\n")
        # The failed load read the metadata again and compared it with the first copy.
        assert done is not None, "Store.market() did not finish within 10 s"
        assert done.stdout.strip() == "StoreError"


def test_store_info_with_stdout_closed_ends_without_a_traceback(store, monkeypatch):
    # With stdout closed (`store info DIR >&-`, sys.stdout is None) main() ended in a
    # traceback from sys.stdout.flush().
    monkeypatch.setattr(sys, "stdout", None)
    code = cli.main(["store", "info", str(store)])
    assert code == cli.EXIT_BROKEN_PIPE
    assert sys.stdout is None


@pytest.mark.slow
@pytest.mark.parametrize("closed, argv, exit_code", [
    (1, ["store", "info", "STORE"], 141),
    (1, ["store", "info", "MISSING"], 1),
    (2, ["store", "info", "MISSING"], 1),
    (2, ["store", "info", "STORE"], 0),
], ids=["stdout, listing", "stdout, error", "stderr, error", "stderr, listing"])
def test_a_command_with_a_standard_stream_closed_ends_quietly(store, tmp_path, closed, argv,
                                                             exit_code):
    argv = [str(store) if a == "STORE" else str(tmp_path / "none") if a == "MISSING" else a
            for a in argv]
    done = subprocess.run(["sh", "-c", f'exec "$@" {closed}>&-', "sh", sys.executable, "-m",
                           "kestrelia.backtest", *argv], capture_output=True, text=True,
                          timeout=120, env=child_env())
    assert done.returncode == exit_code
    if closed == 1:  # the listing went nowhere; an error still has its one line
        assert done.stderr == ("" if exit_code == 141 else
                               f"kestrelia-backtest: error: {argv[-1]} is not a prepared-data "
                               "store (no metadata.pkl inside)\n")
    else:  # nothing meant for stderr turns up on stdout
        assert done.stdout.startswith("store ") if exit_code == 0 else done.stdout == ""


def test_a_writer_lock_that_is_a_socket_is_named_as_such(demo, store):
    # It was refused with the bare OS error "[Errno 6] No such device or address".
    lock = store / ".writer.lock"
    lock.unlink(missing_ok=True)
    server = socket.socket(socket.AF_UNIX)
    try:
        server.bind(str(lock))
        with pytest.raises(StoreError) as refused:
            Store(store).update(demo / "market", "20241225", "20241231")
    finally:
        server.close()
    message = str(refused.value)
    assert "not a regular file (a socket)" in message and ".writer.lock" in message, message
    assert lock.is_socket()  # refused, not replaced


def test_an_update_that_runs_out_of_space_names_the_file_and_the_cause(demo, store):
    # With the disk full (here: a file-size limit of 8 KiB) the update said only "cannot
    # update the store DIR: 14820 requested and 1008 written", naming neither the file nor
    # the cause. The store must stay as it was.
    import resource

    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, resource.RLIM_INFINITY))

    before = {p.name: p.read_bytes() for p in store.iterdir() if p.name != ".writer.lock"}
    done = subprocess.run([sys.executable, "-m", "kestrelia.backtest", "store", "update",
                           "--source", str(demo / "market"), "--store", str(store),
                           "--from", "20241201", "--to", "20241231"], capture_output=True,
                          text=True, timeout=120, env=child_env(), preexec_fn=limit)
    assert done.returncode == 1
    assert "Traceback" not in done.stderr
    assert "disk is full or a file-size limit was reached" in done.stderr, done.stderr
    assert ".npy stopped short" in done.stderr, done.stderr
    after = {p.name: p.read_bytes() for p in store.iterdir() if p.name != ".writer.lock"}
    assert after == before


@pytest.mark.parametrize("place", ["updated_at", "factors_absent"])
def test_an_integer_too_long_to_print_is_refused_as_metadata(store, place):
    # An integer of 5,000 digits (2 kB of pickle) passed the restricted reader, and info
    # stopped with "ValueError: Exceeds the limit (4300 digits) for integer string
    # conversion" while verify found no problem.
    huge = 10 ** 5000
    rewrite_metadata(store, lambda m: m.__setitem__("updated_at", huge) if place == "updated_at"
                     else m["meta"].__setitem__("factors_absent", {"x": huge}))
    with pytest.raises(StoreError, match="it holds an integer of 16,610 bits"):
        Store(store).info()
    assert [p for p in Store(store).verify() if "integer of 16,610 bits" in p]
    # What a store writes stays well inside the limit.
    assert metadata_pickle.loads(pickle.dumps({"version": 2 ** 63, "n": -(2 ** 63)}),
                                 store / "metadata.pkl")["version"] == 2 ** 63


@pytest.mark.parametrize("stocks", ["60", "20"], ids=["valid options", "too few stocks"])
def test_demo_force_never_deletes_a_folder_of_other_files(tmp_path, capsys, stocks):
    # `demo --out DIR --force` removed DIR whole, whatever it held (`--out ~` would take the
    # home folder); with too few stocks it did so and then stopped with "ValueError: the
    # demo market needs at least 50 stocks".
    out = tmp_path / "mine"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    code = _exit_code(["demo", "--out", str(out), "--stocks", stocks, "--years", "0.2",
                       "--force"])
    err = capsys.readouterr().err
    assert code == (1 if stocks == "60" else 2)  # too few stocks: the parser's usage error
    assert "Traceback" not in err and "ValueError" not in err
    assert (out / "notes.txt").read_text() == "mine"


def _exit_code(argv):
    try:
        return cli.main(argv)
    except SystemExit as done:
        return done.code


def test_demo_options_are_checked_before_an_earlier_demo_is_replaced(demo, tmp_path, capsys):
    out = Path(shutil.copytree(demo, tmp_path / "demo"))
    before = sorted(p.relative_to(out) for p in out.rglob("*"))
    assert _exit_code(["demo", "--out", str(out), "--stocks", "20", "--force"]) == 2
    assert "--stocks: must be between 50 and 7000, got 20" in capsys.readouterr().err
    assert sorted(p.relative_to(out) for p in out.rglob("*")) == before


@pytest.mark.parametrize("damage", [
    lambda path: path.write_bytes(b"garbage"),
    lambda path: path.write_bytes(path.read_bytes()[: path.stat().st_size // 2]),
], ids=["not Parquet", "truncated"])
def test_a_damaged_source_file_is_one_error_naming_it(demo, tmp_path, damage):
    # A damaged factor file of the source stopped build and update with pyarrow's
    # "ArrowInvalid: Could not open Parquet input source ...".
    source = Path(shutil.copytree(demo / "market", tmp_path / "market"))
    damage(source / "factors" / "Close.parquet")
    with pytest.raises(InputError, match=r"cannot read .*Close\.parquet of the data-service folder"):
        Store(tmp_path / "store").build(source, "20240807", "20241231")
    assert not (tmp_path / "store" / "metadata.pkl").exists()


def test_a_source_without_index_rows_names_the_missing_benchmark(demo, store, tmp_path):
    # A data-service folder without index_daily.parquet: the build stopped with
    # "KeyError: '基准日频数据为空: 000852 (000852.XSHG)'", not an InputError saying that
    # the benchmark's daily rows are missing.
    source = Path(shutil.copytree(demo / "market", tmp_path / "market"))
    (source / "index_daily.parquet").unlink()
    missing = r"no daily rows of the benchmark index 000852 \(000852.XSHG\) between"
    with pytest.raises(InputError, match=missing):
        Store(tmp_path / "new").build(source, "20240807", "20241231")
    with pytest.raises(InputError, match=missing):
        Store(store).update(source, "20241202", "20241231")


def test_an_update_from_a_source_without_a_kept_factor_is_refused(demo, store, tmp_path):
    # The store keeps volume; an update from a source without it succeeded and wrote the
    # window's volumes as NaN over the stored ones, while info and verify said nothing.
    source = Path(shutil.copytree(demo / "market", tmp_path / "market"))
    (source / "factors" / "volume.parquet").unlink()
    before = Store(store).market().factor("volume").loc["20241202":].copy()
    assert before.notna().any().any()
    with pytest.raises(InputError, match="the source has no 'volume' factor, which the store "
                                         "keeps as 'volume'"):
        Store(store).update(source, "20241202", "20241231")
    after = Store(store).market().factor("volume").loc["20241202":]
    pd.testing.assert_frame_equal(after, before)
