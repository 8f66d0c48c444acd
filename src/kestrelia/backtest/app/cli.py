"""kestrelia-backtest: the command-line tool (also ``python -m kestrelia.backtest``)."""

from __future__ import annotations

import argparse
import io
import math
import os
import sys
import time
from contextlib import contextmanager
from pathlib import Path

from kestrelia import _names
from kestrelia.backtest import Store, _validate, backtest
from kestrelia.backtest._display import execution_rows
from kestrelia.backtest._output import (
    check_name_fits,
    execution_file_names,
    recover,
    report_file_names,
)
from kestrelia.backtest.app import demo_market, import_bars, strategy, sweep_command, tables
from kestrelia.backtest.app.cost_options import add_cost_options, cost_arguments
from kestrelia.backtest.app.inputs import UserError, date_arg, read_weights
from kestrelia.backtest.app.paths import fresh_dir, output_file
from kestrelia.dataservice import write_factor_folder
from kestrelia.errors import KestreliaError

PROG = "kestrelia-backtest"
DEMO_BENCHMARK = "000852"
DEMO_UPDATE_DAYS = 20
MAX_DEMO_YEARS = 30
MAX_SEED = 2**32 - 1

EXAMPLES = f"""examples:
  {PROG} demo                          run the whole job on a generated market
  {PROG} demo --stocks 2000 --years 5 --out ~/kestrelia-demo --force
  {PROG} import bars --table bars/ --out market/ --columns date=trade_date,code=ts_code
  {PROG} store build --source market/ --store store/ --start 20220104 --end 20241231
  {PROG} store update --source market/ --store store/ --from 20241202 --to 20241231
  {PROG} store info store/
  {PROG} store verify store/
  {PROG} run --store store/ --weights my_weights.parquet --rolling-window 5 --out report/
"""


class Progress:
    """Numbered step lines with timings, on stderr."""

    def __init__(self, total: int, stream=None):
        self.total = total
        self.done = 0
        self.stream = stream or sys.stderr

    @contextmanager
    def step(self, label: str):
        self.done += 1
        self.stream.write(f"[{self.done}/{self.total}] {label} ...")
        self.stream.flush()
        start = time.perf_counter()
        try:
            yield
        except BaseException:
            self.stream.write(" failed\n")  # the error follows on a line of its own
            self.stream.flush()
            raise
        self.stream.write(f" {time.perf_counter() - start:.1f} s\n")
        self.stream.flush()


# ---- commands --------------------------------------------------------------------------


DEMO_MARKER = ".kestrelia-demo"
DEMO_ENTRIES = {"market", "bars", "store", "report", DEMO_MARKER}


def previous_demo(out: Path) -> bool:
    """A folder that holds nothing but an earlier demo's output (so a rerun may replace it)."""
    out = out.expanduser()
    return (out / DEMO_MARKER).is_file() and {p.name for p in out.iterdir()} <= DEMO_ENTRIES


def demo_foreign_entry(out: Path) -> str | None:
    """The first entry of the folder ``out`` that no demo writes, or None: replacing a
    folder (with --force) deletes only what an earlier demo wrote there."""
    out = out.expanduser()
    if not out.is_dir():
        return None
    return next((p.name for p in sorted(out.iterdir()) if p.name not in DEMO_ENTRIES), None)


def cmd_demo(args) -> int:
    out_arg = Path(args.out)
    foreign = demo_foreign_entry(out_arg)
    if foreign is not None and args.force:
        raise UserError(f"refusing to replace the output folder {out_arg.expanduser()}: it "
                        f"holds {foreign!r}, which the demo never writes; choose another folder")
    replace = args.force or (out_arg.expanduser().is_dir() and previous_demo(out_arg))
    progress = Progress(9)
    # The market is generated before the folder is replaced: bad options (too few stocks)
    # stop the command with the folder as it was.
    with progress.step(f"Generating a market of {args.stocks} stocks over {args.years:g} years"):
        try:
            generated = demo_market.generate_market(n_stocks=args.stocks, years=args.years,
                                                    seed=args.seed)
        except ValueError as exc:
            raise UserError(str(exc)) from None
    out = fresh_dir(out_arg, replace, "output folder")
    (out / DEMO_MARKER).write_text("written by kestrelia-backtest demo; a rerun replaces this folder\n")
    source, store, report = out / "market", Store(out / "store"), out / "report"
    with progress.step(f"Writing it as data-service files to {source}"):
        write_factor_folder(source, generated.factors, generated.index_daily)
    bars = out / "bars"
    with progress.step(f"Writing it also as daily-bar tables to {bars} (for 'import bars')"):
        demo_market.write_daily_bar_tables(generated, bars)
    dates = generated.dates.strftime("%Y%m%d")
    cutoff = len(dates) - DEMO_UPDATE_DAYS - 1
    with progress.step(f"Building prepared data {dates[0]} to {dates[cutoff]} into {store.path}"):
        store.build(source, dates[0], dates[cutoff])
    with progress.step(f"Daily update: rebuilding {dates[cutoff + 1]} to {dates[-1]} onto the store"):
        store.update(source, dates[cutoff + 1], dates[-1])
    with progress.step("Loading the store"):
        market = store.market()
        members = store.components().get(
            _names.component_factor_name(_names.BENCHMARK_INDEX_CODES[DEMO_BENCHMARK]))
    with progress.step(f"Sample strategy: {strategy.LOOKBACK_DAYS}-day reversal, top "
                       f"{strategy.HOLDINGS} of the {DEMO_BENCHMARK} members"):
        weights = strategy.reversal_weights(market.matrices(), members)
    with progress.step("Backtesting"):
        result = backtest(weights, market, benchmark=DEMO_BENCHMARK,
                          rolling_window=strategy.SMOOTHING_DAYS, name="demo", execution=True)
    with progress.step("Writing the report and drawing the charts"):
        files = result.save(report)
    print_result(result, "Demo 20-day reversal")
    print_execution(result.execution)
    print("\nWhere everything went:")
    rows = [("data-service folder", str(source)), ("daily-bar tables", str(bars)),
            ("prepared-data store", str(store.path))]
    rows += [("report file", str(f)) for f in files]
    print(tables.render(rows, align="ll"))
    print(f"\nOpen the whole report in a browser: {report / 'report.html'}")
    return 0


def cmd_store_build(args) -> int:
    # Messages echo the dates as typed; the store reads the same text the same way.
    start, end = date_arg(args.start, "--start"), date_arg(args.end, "--end")
    if start > end:
        raise UserError(f"--start {args.start} is after --end {args.end}")
    store = Store(args.store)
    if store.path.exists() and (store.path / "metadata.pkl").exists() and not args.force:
        raise UserError(f"{store.path} already holds a store; use --force to replace it")
    progress = Progress(1)
    with progress.step(f"Building {start} to {end} from {args.source} into {args.store}"):
        store.build(Path(args.source), args.start, args.end, force=args.force,
                    factors=args.factors)
    print_store_info(store.info())
    return 0


def cmd_store_update(args) -> int:
    typed_start = getattr(args, "from")
    start = date_arg(typed_start, "--from")
    end = date_arg(args.to, "--to")
    if start > end:
        raise UserError(f"--from {typed_start} is after --to {args.to}")
    store = Store(args.store)
    progress = Progress(1)
    with progress.step(f"Rebuilding {start} to {end} from {args.source} onto {args.store}"):
        store.update(Path(args.source), typed_start, args.to)
    print_store_info(store.info())
    return 0


def cmd_store_info(args) -> int:
    print_store_info(Store(args.store).info())
    return 0


def cmd_store_verify(args) -> int:
    report = Store(args.store).verify_report()
    for problem in report["problems"]:
        print(problem)
    unchecked = report["without_checksum"]
    if unchecked:
        print(f"note: {len(unchecked)} of {report['files']} files were written before checksums "
              f"were recorded ({_some(unchecked)}); their headers and sizes were checked, their "
              "contents cannot be")
    unlabelled = report["without_label_checksum"]
    if unlabelled:
        print(f"note: {len(unlabelled)} datasets' labels have no recorded checksum (written "
              f"before label checksums were recorded: {_some(unlabelled)}); their order and the "
              "labels the backtest datasets share were checked")
    for name in report["leftovers"]:
        print(f"leftover: {Path(args.store) / name} is named by no dataset (left by a write that "
              "was stopped, or not the store's); no write removes it, delete it by hand")
    if report["leftovers_note"]:
        print(f"note: {report['leftovers_note']}")
    if report["problems"]:
        print(f"{PROG}: {len(report['problems'])} problem(s) found in {args.store}", file=sys.stderr)
        return 1
    print(f"{args.store}: {report['files']} files checked, {report['checksummed']} against "
          f"their checksums, the labels of {report['labels_checked']} against theirs; no problem "
          "found")
    return 0


def _some(names: list[str]) -> str:
    return ", ".join(names[:5]) + (", ..." if len(names) > 5 else "")


def cmd_run(args) -> int:
    start = date_arg(args.start, "--start") if args.start else None
    end = date_arg(args.end, "--end") if args.end else None
    if start and end and start > end:
        raise UserError(f"--start {start} is after --end {end}")
    out = Path(args.out).expanduser()
    name = args.name if args.name is not None else Path(args.weights).stem
    if not name or "/" in name or "\\" in name or name in (".", "..") or name.startswith(".."):
        raise UserError(f"--name {name!r} must be a plain file name (no path separators "
                        "or '..')")
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        given = "--name" if args.name is not None else f"the weights file's name {args.weights!r}"
        raise UserError(f"{given} is not valid UTF-8 text and cannot name the report's files; "
                        "pass --name with a plain name") from None
    if not _validate.plain_stem(name):
        given = "--name" if args.name is not None else f"the weights file's name {args.weights!r}"
        raise UserError(f"{given} holds control characters or is blank ({name!r}); pass "
                        "--name with a plain name")
    # A run without --execution removes an earlier run's execution files with its own set,
    # so they too must be free to replace.
    names = report_file_names(name) + execution_file_names(name)
    check_name_fits(name, names)
    if out.is_dir():
        recover(out)  # a report a killed run left half-replaced is finished first
    for file_name in names:
        output_file(out / file_name, args.force)
    progress = Progress(4)
    with progress.step(f"Reading weights from {args.weights}"):
        weights = read_weights(Path(args.weights), args.date_format)
    if len(weights) == 0:
        raise UserError("the weights file holds no rows")
    # The first row sets the next trading day's target, and the run goes on to --end or the
    # store's last day, whatever dates the weights carry.
    store = Store(args.store)
    info = store.info()
    first = max(weights.index[0], start) if start else weights.index[0]
    last = end or info["last_date"]
    if first > last or first > info["last_date"] or last < info["first_date"]:
        raise UserError(
            f"the weights ({weights.index[0]} to {weights.index[-1]}) set no target on a day "
            f"of the store ({info['first_date']} to {info['last_date']})"
            + (f" within {start or 'the start'} to {end or 'the end'}" if start or end else ""))
    first = max(first, info["first_date"])
    with progress.step(f"Loading the market {first} to {last} from {args.store}"):
        market = store.market(first, last)
    if args.benchmark not in market.benchmarks:
        raise UserError(f"--benchmark {args.benchmark}: the store has no such index (it has "
                        f"{', '.join(market.benchmarks) or 'none'})")
    # The backtest trades the market's stocks only: weights of other codes are dropped.
    weighted = weights.columns[weights.notna().any().to_numpy()]
    unknown = [str(code) for code in weighted.difference(market.codes)]
    if unknown:
        print(f"note: {len(unknown)} of the {len(weighted)} stock codes with weights are not in "
              f"the store ({_some(unknown)}); their weights are ignored", file=sys.stderr)
    benchmarks, note = import_bars.drop_empty_benchmarks(dict(market.benchmarks),
                                                         args.benchmark)
    if note:
        print(note, file=sys.stderr)
        market = market.with_benchmarks(benchmarks)
    with progress.step("Backtesting"):
        result = backtest(weights, market, benchmark=args.benchmark,
                          rolling_window=args.rolling_window, capital=args.capital,
                          lot_size=args.lot_size, between=args.between, start=start,
                          end=end, name=name, execution=args.execution,
                          **cost_arguments(args))
    with progress.step(f"Writing the report and drawing the charts to {out}"):
        files = result.save(out, force=args.force, kind=args.image_kind)
    print_result(result)
    print_execution(result.execution)
    print()
    print(tables.render([("file", str(f)) for f in files], align="ll"))
    print(f"\nThe whole report on one page: {out / 'report.html'}")
    return 0


# ---- output ----------------------------------------------------------------------------


def print_result(result, title: str | None = None) -> None:
    days = result.returns
    if len(days):
        print(f"\n{title or result.name}: {len(days)} trading days, "
              f"{days.index[0].date()} to {days.index[-1].date()}")
    parameters = result.parameters
    sizing = parameters.get("sizing", "fixed")
    costs = parameters.get("costs")
    if costs is not None or sizing != "fixed":
        print(f"costs: {costs or 'flat'}; sizing: {sizing}"
              + (f"; equity not positive from {result.ruined_on.date()} on"
                 if result.ruined_on is not None else ""))
    print()
    print(tables.headline_table(result.metrics))
    print("\nAgainst each benchmark (the engine's benchmark summary; docs/metrics.md):")
    print(tables.benchmark_table(result.benchmark_summary))
    print("\nThe engine's own statistics, under their own keys and units, are in stats.json and"
          "\nreport.html; docs/metrics.md defines each.")


def print_execution(execution) -> None:
    """The execution summary: what traded and what the masks and lots kept from trading."""
    if execution is None:
        return
    # Executed turnover and average holdings are in the headline above.
    rows = [(label, text) for key, label, text in execution_rows(execution.summary)
            if key not in ("executed_turnover", "average_holdings")
            and not (key == "total_transfer_fee" and not execution.summary.get(key))]
    print("\nWhat actually traded:")
    print(tables.render(rows, align="lr"))


def print_store_info(info: dict) -> None:
    print(f"store          {info['store']}")
    print(f"date range     {info['first_date']} to {info['last_date']} ({info['trading_days']} trading days)")
    print(f"last update    {info['updated_at']}")
    print(f"components     {', '.join(info['component_names']) or '--'}")
    print(f"benchmarks     {', '.join(info['benchmarks']) or '--'}")
    if info["factors"] is None:
        print("factors        none: written before stores kept factors (build it again to "
              "keep them)")
    else:
        print(f"factors        {', '.join(info['factors']) or '--'}")
        if info["factors_absent"]:
            print("not in source  " + ", ".join(f"{name} (needs {field})" for name, field
                                                in info["factors_absent"].items()))
    print(f"files          {info['files']}")
    print()
    print(tables.render(info["datasets"], ("Dataset", "Shape (dates x stocks)", "Dtype"), "lrl"))


# ---- argument parsing ------------------------------------------------------------------


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a finite positive number, got {text}")
    return value


def non_negative_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number of at least 0, got {text}")
    return value


def demo_stocks(text: str) -> int:
    # Checked here, before --force clears the output folder, not by the generator after it.
    value = int(text)
    low, high = demo_market.MIN_STOCKS, demo_market.MAX_STOCKS
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be between {low} and {high}, got {text}")
    return value


def demo_years(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and 0 < value <= MAX_DEMO_YEARS):
        raise argparse.ArgumentTypeError(f"must be more than 0 and at most {MAX_DEMO_YEARS}, got {text}")
    return value


def seed(text: str) -> int:
    value = int(text)
    if not 0 <= value <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_SEED}, got {text}")
    return value


def rate(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and 0 <= value < 1):
        raise argparse.ArgumentTypeError(f"must be a rate between 0 and 1, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Backtest target-weight strategies on China A-share prepared data.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser(
        "demo", help="generate a market, build and update a store, backtest a sample strategy",
        description="Runs the whole job on a generated market: writes it as data-service "
                    "files, builds prepared data, applies a daily update, loads the store, "
                    "backtests a 20-day reversal strategy and writes the report and charts.")
    demo.add_argument("--out", default="kestrelia-demo", help="output folder (default: %(default)s)")
    demo.add_argument("--stocks", type=demo_stocks, default=800, help="number of stocks (default: %(default)s)")
    demo.add_argument("--years", type=demo_years, default=3.0, help="years of history (default: %(default)s)")
    demo.add_argument("--seed", type=seed, default=7, help="random seed (default: %(default)s)")
    demo.add_argument("--force", action="store_true", help="replace an existing output folder")
    demo.set_defaults(handler=cmd_demo)

    store = sub.add_parser("store", help="build, update or inspect a prepared-data store")
    store_sub = store.add_subparsers(dest="store_command", required=True, metavar="ACTION")
    build = store_sub.add_parser("build", help="build a store from a data-service folder")
    build.add_argument("--source", required=True, help="data-service folder (factor Parquet files)")
    build.add_argument("--store", required=True, help="store folder to write")
    build.add_argument("--start", required=True, help="first date, YYYYMMDD or YYYY-MM-DD")
    build.add_argument("--end", required=True, help="last date, YYYYMMDD or YYYY-MM-DD")
    build.add_argument("--force", action="store_true", help="replace an existing store")
    build.add_argument("--factor", action="append", metavar="NAME", dest="factors",
                       help="also keep this numeric factor of the source (repeat for more; "
                            "'all' for every one); 'store update' refreshes them")
    build.set_defaults(handler=cmd_store_build)
    update = store_sub.add_parser("update", help="rebuild a date window and write it over the store's tail")
    update.add_argument("--source", required=True, help="data-service folder (factor Parquet files)")
    update.add_argument("--store", required=True, help="existing store folder")
    update.add_argument("--from", required=True, help="first date to rewrite")
    update.add_argument("--to", required=True, help="last date to rewrite")
    update.set_defaults(handler=cmd_store_update)
    info = store_sub.add_parser("info", help="show a store's dates, datasets and components")
    info.add_argument("store", help="store folder")
    info.set_defaults(handler=cmd_store_info)
    verify = store_sub.add_parser(
        "verify", help="check every dataset file against the metadata and its checksum")
    verify.add_argument("store", help="store folder")
    verify.set_defaults(handler=cmd_store_verify)

    import_bars.add_parser(sub)
    sweep_command.add_parser(sub, add_backtest_options)

    run = sub.add_parser(
        "run", help="backtest a weight matrix against a store",
        description="Backtests a weight matrix (Parquet or CSV: dates in the first column, "
                    "one column per 6-digit stock code) against a stored market and writes "
                    "stats.json, the daily total frame (CSV and Parquet), the benchmark "
                    "summary and both charts.")
    run.add_argument("--store", required=True, help="prepared-data store folder")
    run.add_argument("--weights", required=True, help="weight matrix file (.parquet or .csv)")
    add_backtest_options(run)
    run.add_argument("--image-kind", choices=["large", "long"], default="large", help="chart layout (default: %(default)s)")
    run.add_argument("--out", default="kestrelia-report", help="output folder (default: %(default)s)")
    run.add_argument("--name", help="strategy name and file prefix, a plain file name (default: the weights file name)")
    run.add_argument("--execution", action="store_true",
                     help="also record what actually traded: trades, positions, blocked orders, "
                          "exposure and profit attribution (and their chart)")
    run.add_argument("--force", action="store_true", help="overwrite existing report files")
    run.set_defaults(handler=cmd_run)
    return parser


def add_backtest_options(parser: argparse.ArgumentParser) -> None:
    """The options ``run`` and ``sweep`` share: the backtest's own and the weights' dates."""
    parser.add_argument("--benchmark", default="000852",
                        help="primary benchmark: any index of the store by its code, as "
                             "'store info' lists them (default: %(default)s)")
    parser.add_argument("--rolling-window", type=non_negative_int, default=0,
                        help="smooth the weights over this many days (default: %(default)s)")
    parser.add_argument("--start", help="first date of the backtest")
    parser.add_argument("--end", help="last date of the backtest (default: the store's last)")
    parser.add_argument("--between", choices=["hold", "retarget"], default="hold",
                        help="on a day without a new weight row: keep the last target's shares "
                             "(hold) or trade the last row again (retarget) "
                             "(default: %(default)s)")
    add_cost_options(parser, rate, non_negative_float)
    parser.add_argument("--capital", type=positive_float, default=1e8,
                        help="initial capital (default: 100,000,000)")
    parser.add_argument("--lot-size", type=positive_int, default=200,
                        help="shares per lot (default: %(default)s)")
    parser.add_argument("--date-format",
                        help="strptime format of the weights' dates, e.g. %%d/%%m/%%Y "
                             "(default: only YYYYMMDD, ISO dates and 8-digit numbers)")


# The exit status when the reader of the output went away (`... | head -1`): 128 + SIGPIPE,
# what a shell reports for a program the closed pipe stopped, so that a pipeline under
# `set -o pipefail` still tells a cut-off listing from a complete one.
EXIT_BROKEN_PIPE = 141


def _silence_output() -> None:
    """Points stdout and stderr at the null device: the reader is gone, and the flush at
    interpreter exit would otherwise fail again and print a traceback."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError, AttributeError):  # replaced by a caller (a test's capture)
            pass
    os.close(devnull)


class _Lost(io.TextIOBase):
    """Stands in for a standard stream the process was started without (`>&-`, which
    leaves ``sys.stdout`` None): what is written there is counted and dropped."""

    def __init__(self) -> None:
        self.written = 0

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        self.written += len(text)
        return len(text)


def main(argv: list[str] | None = None) -> int:
    """Runs one command line; returns the exit status (0, 1 for an error, 130 when
    interrupted, ``EXIT_BROKEN_PIPE`` when the output's reader closed it, or when there was
    no output to write to and the command wrote to it)."""
    lost = {name: _Lost() for name in ("stdout", "stderr") if getattr(sys, name) is None}
    for name, stream in lost.items():
        setattr(sys, name, stream)
    try:
        code = _run(argv)
        # Buffered output meets a closed pipe here at the latest, not at interpreter exit.
        sys.stdout.flush()
        sys.stderr.flush()
    except BrokenPipeError:
        _silence_output()
        return EXIT_BROKEN_PIPE
    finally:
        for name, stream in lost.items():
            if getattr(sys, name) is stream:
                setattr(sys, name, None)
    # A listing that went nowhere is as cut off as one whose reader left.
    if code == 0 and "stdout" in lost and lost["stdout"].written:
        return EXIT_BROKEN_PIPE
    return code


def _run(argv: list[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
        code: int = args.handler(args)
        return code
    except BrokenPipeError:
        raise  # not an error of the command: main ends quietly
    except KestreliaError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # one line for the user; the traceback on request
        # Off unless set to something other than 0, as KESTRELIA_FORK=0 turns forking off.
        if os.environ.get("KESTRELIA_DEBUG", "").strip() not in ("", "0"):
            raise
        print(f"{PROG}: error: {type(exc).__name__}: {exc} (set KESTRELIA_DEBUG=1 for details)",
              file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
