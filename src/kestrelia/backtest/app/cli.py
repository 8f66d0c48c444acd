"""kestrelia-backtest: the command-line tool (also ``python -m kestrelia.backtest``)."""

from __future__ import annotations

import argparse
import os
import sys
import time
from contextlib import contextmanager
from pathlib import Path

from kestrelia.backtest import _pelorin, _prepare
from kestrelia.backtest.app import demo_market, import_bars, strategy, tables, workflows
from kestrelia.backtest.app.workflows import UserError
from kestrelia.dataservice import write_factor_folder
from kestrelia.errors import KestreliaError

PROG = "kestrelia-backtest"
DEMO_BENCHMARK = "000852"
DEMO_UPDATE_DAYS = 20

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
DEMO_ENTRIES = {"market", "store", "report", DEMO_MARKER}


def previous_demo(out: Path) -> bool:
    """A folder that holds nothing but an earlier demo's output (so a rerun may replace it)."""
    out = out.expanduser()
    return (out / DEMO_MARKER).is_file() and {p.name for p in out.iterdir()} <= DEMO_ENTRIES


def cmd_demo(args) -> int:
    out_arg = Path(args.out)
    replace = args.force or (out_arg.expanduser().is_dir() and previous_demo(out_arg))
    out = workflows.fresh_dir(out_arg, replace, "output folder")
    (out / DEMO_MARKER).write_text("written by kestrelia-backtest demo; a rerun replaces this folder\n")
    source, store, report = out / "market", out / "store", out / "report"
    progress = Progress(8)
    with progress.step(f"Generating a market of {args.stocks} stocks over {args.years:g} years"):
        market = demo_market.generate_market(n_stocks=args.stocks, years=args.years, seed=args.seed)
    with progress.step(f"Writing it as data-service files to {source}"):
        write_factor_folder(source, market.factors, market.index_daily)
    dates = market.dates.strftime("%Y%m%d")
    cutoff = len(dates) - DEMO_UPDATE_DAYS - 1
    with progress.step(f"Building prepared data {dates[0]} to {dates[cutoff]} into {store}"):
        workflows.build_store(source, store, dates[0], dates[cutoff], force=False)
    with progress.step(f"Daily update: rebuilding {dates[cutoff + 1]} to {dates[-1]} onto the store"):
        workflows.update_store(source, store, dates[cutoff + 1], dates[-1])
    with progress.step("Loading the store"):
        loaded = workflows.load_market(store)
    members = loaded.components.get(f"rq_index_components_new_{DEMO_BENCHMARK}.XSHG")
    with progress.step(f"Sample strategy: {strategy.LOOKBACK_DAYS}-day reversal, top "
                       f"{strategy.HOLDINGS} of the {DEMO_BENCHMARK} members"):
        weights = strategy.reversal_weights(loaded.matrices, members)
    report.mkdir(parents=True, exist_ok=True)
    chart = report / "demo_backtest.png"
    with progress.step("Backtesting and drawing the charts"):
        result = _pelorin.run_strategy_backtest_core(
            weights, **loaded.matrices, benchmark_dict=loaded.benchmarks,
            benchmark_names=DEMO_BENCHMARK, rolling_window=strategy.SMOOTHING_DAYS,
            plot_image_kind="large", plot_save_path=str(chart),
            strategy_name="Demo 20-day reversal")
    with progress.step("Writing the report files"):
        total = workflows.total_frame(result.daily_return, loaded.benchmarks, DEMO_BENCHMARK)
        files = workflows.write_report(result, total, report, "demo")
    print_result(result)
    print("\nWhere everything went:")
    rows = [("data-service folder", str(source)), ("prepared-data store", str(store))]
    rows += [(f"chart ({kind})", path) for kind, path in result.plot_paths.items()]
    rows += [("report file", str(f)) for f in files]
    print(tables.render(rows, align="ll"))
    return 0


def cmd_store_build(args) -> int:
    start, end = workflows.date_arg(args.start, "--start"), workflows.date_arg(args.end, "--end")
    if start > end:
        raise UserError(f"--start {start} is after --end {end}")
    progress = Progress(1)
    with progress.step(f"Building {start} to {end} from {args.source} into {args.store}"):
        workflows.build_store(Path(args.source), Path(args.store), start, end, args.force)
    print_store_info(workflows.store_summary(Path(args.store)))
    return 0


def cmd_store_update(args) -> int:
    start = workflows.date_arg(getattr(args, "from"), "--from")
    end = workflows.date_arg(args.to, "--to")
    if start > end:
        raise UserError(f"--from {start} is after --to {end}")
    progress = Progress(1)
    with progress.step(f"Rebuilding {start} to {end} from {args.source} onto {args.store}"):
        workflows.update_store(Path(args.source), Path(args.store), start, end)
    print_store_info(workflows.store_summary(Path(args.store)))
    return 0


def cmd_store_info(args) -> int:
    print_store_info(workflows.store_summary(Path(args.store)))
    return 0


def cmd_store_verify(args) -> int:
    report = workflows.open_store(Path(args.store)).verify_report()
    for problem in report["problems"]:
        print(problem)
    unchecked = report["without_checksum"]
    if unchecked:
        print(f"note: {len(unchecked)} of {report['files']} files were written before checksums "
              f"were recorded ({', '.join(unchecked[:5])}{', ...' if len(unchecked) > 5 else ''}); "
              "their headers and sizes were checked, their contents cannot be")
    if report["problems"]:
        print(f"{PROG}: {len(report['problems'])} problem(s) found in {args.store}", file=sys.stderr)
        return 1
    print(f"{args.store}: {report['files']} files checked, {report['checksummed']} against "
          "their checksums; no problem found")
    return 0


def cmd_run(args) -> int:
    start = workflows.date_arg(args.start, "--start") if args.start else None
    end = workflows.date_arg(args.end, "--end") if args.end else None
    out = Path(args.out).expanduser()
    name = args.name or Path(args.weights).stem
    chart = out / f"{name}.png"
    targets = [chart, out / f"{name}_weekly_net_value.png", out / "stats.json",
               out / f"{name}_daily.csv", out / f"{name}_daily.parquet", out / "benchmark_summary.csv"]
    for path in targets:
        workflows.output_file(path, args.force)
    progress = Progress(4)
    with progress.step(f"Reading weights from {args.weights}"):
        weights = workflows.read_weights(Path(args.weights))
    first, last = workflows.backtest_window(weights, Path(args.store), start, end)
    with progress.step(f"Loading the market {first} to {last} from {args.store}"):
        market = workflows.load_market(Path(args.store), first, last)
    workflows.check_overlap(weights, market)
    market.benchmarks, note = import_bars.drop_empty_benchmarks(market.benchmarks, args.benchmark)
    if note:
        print(note, file=sys.stderr)
    out.mkdir(parents=True, exist_ok=True)
    with progress.step("Backtesting and drawing the charts"):
        result = _pelorin.run_strategy_backtest_core(
            weights, **market.matrices, benchmark_dict=market.benchmarks,
            benchmark_names=args.benchmark, rolling_window=args.rolling_window,
            total_money=args.capital, fee=args.fee, rule_fee=args.rule_fee,
            plot_image_kind=args.image_kind, plot_save_path=str(chart), strategy_name=name)
    if result.daily_return.empty:
        raise UserError("the backtest has no return day: the weights need at least two "
                        "priced dates with a weight on the earlier one")
    with progress.step(f"Writing the report to {out}"):
        total = workflows.total_frame(result.daily_return, market.benchmarks, args.benchmark)
        files = workflows.write_report(result, total, out, name)
    print_result(result)
    print()
    print(tables.render([(k, v) for k, v in result.plot_paths.items()]
                        + [("file", str(f)) for f in files], align="ll"))
    return 0


# ---- output ----------------------------------------------------------------------------


def print_result(result) -> None:
    days = result.daily_return
    if len(days):
        print(f"\n{result.strategy_name}: {len(days)} trading days, {days.index[0]} to {days.index[-1]}")
    print()
    print(tables.stats_table(result.stats))
    print()
    print(tables.benchmark_table(result.benchmark_summary))


def print_store_info(info: dict) -> None:
    print(f"store          {info['store']}")
    print(f"date range     {info['first_date']} to {info['last_date']} ({info['trading_days']} trading days)")
    print(f"last update    {info['updated_at']}")
    print(f"components     {', '.join(info['component_names']) or '--'}")
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
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def rate(text: str) -> float:
    value = float(text)
    if not 0 <= value < 1:
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
    demo.add_argument("--stocks", type=positive_int, default=800, help="number of stocks (default: %(default)s)")
    demo.add_argument("--years", type=positive_float, default=3.0, help="years of history (default: %(default)s)")
    demo.add_argument("--seed", type=int, default=7, help="random seed (default: %(default)s)")
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

    run = sub.add_parser(
        "run", help="backtest a weight matrix against a store",
        description="Backtests a weight matrix (Parquet or CSV: dates in the first column, "
                    "one column per 6-digit stock code) against a stored market and writes "
                    "stats.json, the daily total frame (CSV and Parquet), the benchmark "
                    "summary and both charts.")
    run.add_argument("--store", required=True, help="prepared-data store folder")
    run.add_argument("--weights", required=True, help="weight matrix file (.parquet or .csv)")
    run.add_argument("--benchmark", default="000852", choices=list(_prepare.BENCHMARK_INDEX_CODES),
                     help="primary benchmark (default: %(default)s)")
    run.add_argument("--rolling-window", type=non_negative_int, default=0,
                     help="smooth the weights over this many days (default: %(default)s)")
    run.add_argument("--start", help="first date of the backtest")
    run.add_argument("--end", help="last date of the backtest")
    run.add_argument("--fee", type=rate, default=0.0001, help="commission rate, both sides (default: %(default)s)")
    run.add_argument("--rule-fee", type=rate, default=0.0005, help="stamp duty on sells (default: %(default)s)")
    run.add_argument("--capital", type=positive_float, default=1e8, help="initial capital (default: %(default)g)")
    run.add_argument("--image-kind", choices=["large", "long"], default="large", help="chart layout (default: %(default)s)")
    run.add_argument("--out", default="kestrelia-report", help="output folder (default: %(default)s)")
    run.add_argument("--name", help="strategy name and file prefix (default: the weights file name)")
    run.add_argument("--force", action="store_true", help="overwrite existing report files")
    run.set_defaults(handler=cmd_run)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except (UserError, KestreliaError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # one line for the user; the traceback on request
        if os.environ.get("KESTRELIA_DEBUG"):
            raise
        print(f"{PROG}: error: {type(exc).__name__}: {exc} (set KESTRELIA_DEBUG=1 for details)",
              file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
