"""The ``sweep`` command: many weight files against one store, on threads or a Dask
cluster, written as the tables and chart of ``SweepResult.save``."""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

from kestrelia.backtest import _validate
from kestrelia.backtest.app.cost_options import cost_arguments
from kestrelia.backtest.app.import_bars import drop_empty_benchmarks
from kestrelia.backtest.app.inputs import UserError, date_arg
from kestrelia.backtest.app.paths import output_file

WEIGHT_SUFFIXES = (".parquet", ".csv")
# What a command line interrupted by Ctrl-C exits with (128 + SIGINT), as shells do.
INTERRUPTED = 130
# The metrics the sweep's table prints, one column each.
SWEEP_COLUMNS = ("total_return", "annual_return", "sharpe", "max_drawdown", "turnover")


def seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a number of seconds greater than 0, got {text}")
    return value


def add_parser(sub, backtest_options) -> None:
    """The ``sweep`` command; ``backtest_options(parser)`` adds the options it shares with
    ``run``."""
    sweep = sub.add_parser(
        "sweep", help="backtest many weight files against one store at once",
        description="Backtests every weight file against the same stored market, on a pool "
                    "of threads or on a Dask cluster, and writes one table of statistics, "
                    "the daily returns of all strategies and a chart of their net values. "
                    "One file that fails is reported and never stops the others.")
    sweep.add_argument("--store", required=True, help="prepared-data store folder")
    given = sweep.add_mutually_exclusive_group(required=True)
    given.add_argument("--weights", nargs="+", metavar="FILE",
                       help="weight files (.parquet or .csv); each file's name names its strategy")
    given.add_argument("--weights-dir", metavar="DIR",
                       help="a folder whose .parquet and .csv files are the strategies")
    sweep.add_argument("--workers", type=int, help="threads of the local pool (default: the "
                       "number of cores)")
    sweep.add_argument("--scheduler", metavar="ADDRESS",
                       help="a Dask scheduler (tcp://host:port) to run on instead; the store "
                            "must be on a filesystem every worker sees")
    sweep.add_argument("--timeout", type=seconds, metavar="SECONDS",
                       help="seconds each strategy may run; one that takes longer is "
                            "reported as failed (default: no limit)")
    sweep.add_argument("--out", required=True, help="output folder")
    sweep.add_argument("--force", action="store_true", help="overwrite existing output files")
    backtest_options(sweep)
    sweep.set_defaults(handler=cmd_sweep)


def strategy_files(args) -> dict[str, Path]:
    if args.weights_dir is not None:
        folder = Path(args.weights_dir).expanduser()
        if not folder.is_dir():
            raise UserError(f"--weights-dir {folder} is not a folder")
        files = sorted(p for p in folder.iterdir() if p.suffix.lower() in WEIGHT_SUFFIXES)
        if not files:
            raise UserError(f"--weights-dir {folder} holds no .parquet or .csv file")
    else:
        files = [Path(f).expanduser() for f in args.weights]
    named: dict[str, Path] = {}
    for path in files:
        try:
            path.stem.encode("utf-8")
        except UnicodeEncodeError:
            raise UserError(f"the weight file {str(path)!r} has a name that is not valid UTF-8 "
                            "text; strategies are named by their file names: rename it"
                            ) from None
        if not _validate.plain_stem(path.stem):
            raise UserError(f"the weight file {str(path)!r} has a name with control "
                            "characters or a blank one; strategies are named by their file "
                            "names: rename it")
        if path.stem in named:
            raise UserError(f"two weight files are named {path.stem!r} ({named[path.stem]} and "
                            f"{path}); strategies are named by their file names")
        named[path.stem] = path
    return named


def cmd_sweep(args) -> int:
    from kestrelia.backtest import Store, sweep
    from kestrelia.backtest.sweeps import PARTIAL_NOTE, SWEEP_FILES
    from kestrelia.backtest.weights import WeightsFile

    if args.workers is not None and args.workers < 1:
        raise UserError(f"--workers must be at least 1, got {args.workers}")
    start = date_arg(args.start, "--start") if args.start else None
    end = date_arg(args.end, "--end") if args.end else None
    if start and end and start > end:
        raise UserError(f"--start {start} is after --end {end}")
    files = strategy_files(args)
    out = Path(args.out).expanduser()
    if out.is_dir():
        from kestrelia.backtest._output import recover

        recover(out)  # tables a killed sweep left half-replaced are finished first
    # Refused before the sweep rather than after it.
    for name in (*SWEEP_FILES, PARTIAL_NOTE):
        output_file(out / name, args.force)
    market = Store(args.store).market(start, end)
    benchmarks, note = drop_empty_benchmarks(dict(market.benchmarks), args.benchmark)
    if note:
        if args.scheduler:  # the workers load the store's market themselves
            raise UserError(f"--benchmark {args.benchmark}: the store has no data for it in "
                            "the sweep's window; a sweep on a cluster needs a benchmark with "
                            "data (store info lists them)")
        print(note, file=sys.stderr)
        market = market.with_benchmarks(benchmarks)
    client = None
    if args.scheduler:
        try:
            from distributed import Client
        except ImportError:
            raise UserError("--scheduler needs Dask's distributed scheduler: "
                            "pip install 'kestrelia[distributed]'") from None
        try:
            client = Client(args.scheduler, timeout="10s")
        except OSError as exc:
            raise UserError(f"cannot reach the scheduler {args.scheduler}: {exc}") from None
    try:
        print(f"Sweeping {len(files)} strategies over {market!r}"
              + (f" on {args.scheduler}" if client else ""), file=sys.stderr)
        result = sweep(
            {name: WeightsFile(path, args.date_format) for name, path in files.items()},
            market, workers=args.workers, client=client, timeout=args.timeout,
            benchmark=args.benchmark, rolling_window=args.rolling_window,
            capital=args.capital, lot_size=args.lot_size, between=args.between,
            **cost_arguments(args))
    except KeyboardInterrupt as interrupt:
        # What finished is kept: written as a partial sweep, and the exit says interrupted.
        result = getattr(interrupt, "partial", None)
        if result is None:
            raise
    finally:
        if client is not None:
            client.close()
    written = result.save(out, force=args.force)
    print_sweep(result, written)
    if result.unfinished:
        print(f"\nPARTIAL: {result.partial_note().removeprefix('partial: ')}")
        print("kestrelia-backtest: interrupted", file=sys.stderr)
        return INTERRUPTED
    # The tables are written either way; a failed strategy still makes the exit code 1.
    return 1 if result.failed else 0


def print_sweep(result, written) -> None:
    from kestrelia.backtest._display import metric_kind, metric_label, show
    from kestrelia.backtest.app import tables

    stats = result.stats
    if len(stats):
        # The headline metrics, labelled and shown as `run` shows them.
        keys = [k for k in SWEEP_COLUMNS if k in stats.columns]
        ordered = stats.sort_values("annual_return", ascending=False, kind="stable")
        rows = [(str(name), *(show(row[k], metric_kind(k)) for k in keys))
                for name, row in ordered.iterrows()]
        print(tables.render(rows, ("Strategy", *(metric_label(k) for k in keys)),
                            "l" + "r" * len(keys)))
    for name, error in result.failed.items():
        print(f"failed: {name}: {error}", file=sys.stderr)
    print()
    print(tables.render([("file", str(f)) for f in written], align="ll"))
