"""``kestrelia-backtest import bars``: a researcher's daily-bar tables -> a factor folder."""

from __future__ import annotations

import sys
from pathlib import Path

from kestrelia.backtest.app import tables
from kestrelia.backtest.app.inputs import UserError
from kestrelia.dataservice import import_daily_bars
from kestrelia.dataservice.bars.importer import UNREADABLE_DATE
from kestrelia.dataservice.bars.reading import DATE_HINT, INDEX_DATE_HINT
from kestrelia.errors import InputError

DESCRIPTION = """Imports daily-bar tables (CSV or Parquet files, or folders of them; one row
per stock and day) into a data-service folder that `store build --source` reads. Standard
columns: date, code, open, close (required); high, low, pre_close, volume, amount,
limit_up, limit_down, suspended, is_st, adj_factor, dividend, split_ratio, industry,
market_value, float_market_value (optional); any other numeric column is kept as a factor
of its own name. What the table
lacks is derived: price limits from the board and date, suspensions from missing rows or
zero volume, splits and dividends from adj_factor or pre_close. Rows that cannot be used
are counted by reason (--strict stops at the first)."""


def add_parser(sub) -> None:
    """The ``import`` command and its ``bars`` action."""
    command = sub.add_parser("import", help="import your own market data into a data-service folder")
    actions = command.add_subparsers(dest="import_command", required=True, metavar="ACTION")
    bars = actions.add_parser("bars", help="import daily-bar tables", description=DESCRIPTION)
    bars.add_argument("--table", nargs="+", required=True, metavar="PATH",
                      help="daily-bar files or folders (.csv, .parquet)")
    bars.add_argument("--out", required=True, help="data-service folder to write")
    bars.add_argument("--columns", metavar="STD=NAME,...",
                      help="names of your columns, e.g. date=trade_date,code=ts_code,volume=vol")
    bars.add_argument("--buy-price", metavar="open|vwap|close|COLUMN",
                      help="price buys trade at (default: vwap = amount / volume when the table "
                           "has both, else open)")
    bars.add_argument("--sell-price", metavar="open|vwap|close|COLUMN",
                      help="price sells trade at (default: as --buy-price)")
    bars.add_argument("--index-bars", nargs="+", metavar="PATH",
                      help="index daily closes: date, index_code, close (optional daily_return)")
    bars.add_argument("--index-members", nargs="+", metavar="PATH",
                      help="index members: date, index_code, code (optional weight)")
    bars.add_argument("--index-columns", metavar="STD=NAME,...",
                      help="names of the index tables' columns, e.g. "
                           "date=trade_date,index_code=ts_code (--columns names the daily "
                           "bars' only)")
    bars.add_argument("--date-format", metavar="FORMAT",
                      help="strptime format of the daily bars' text dates, e.g. %%d/%%m/%%Y "
                           "(without it only YYYYMMDD and YYYY-MM-DD are read: a day-first or "
                           "month-first date is rejected, never guessed)")
    bars.add_argument("--index-date-format", metavar="FORMAT",
                      help="strptime format of the index tables' text dates (without it, as "
                           "the daily bars without --date-format)")
    bars.add_argument("--strict", action="store_true", help="stop at the first row that cannot be used")
    bars.add_argument("--force", action="store_true", help="replace an existing output folder")
    bars.set_defaults(handler=cmd_import_bars)


def cmd_import_bars(args) -> int:
    out = Path(args.out).expanduser()
    if out.exists() and not args.force:
        raise UserError(f"{out} already exists; use --force to replace it")
    if out.exists() and not out.is_dir():
        raise UserError(f"{out} exists and is not a directory")
    sys.stderr.write(f"Importing {len(args.table)} path(s) into {out} ...\n")
    try:
        summary = import_daily_bars(
            args.table, out, columns=args.columns, buy_price=args.buy_price,
            sell_price=args.sell_price, index_bars=args.index_bars,
            index_members=args.index_members, date_format=args.date_format,
            index_columns=args.index_columns, index_date_format=args.index_date_format,
            strict=args.strict, overwrite=args.force)
    except InputError as exc:
        raise UserError(str(exc)) from None
    except OSError as exc:  # a full disk, a file-size limit, a folder not writable
        raise UserError(f"cannot write the import into {out} ({exc}); it was left as it "
                        "was") from None
    print_summary(summary)
    return 0


def print_summary(summary: dict) -> None:
    rows = [
        ("folder", summary["folder"]),
        ("dates", f"{summary['first_date']} to {summary['last_date']} ({summary['dates']} days)"),
        ("stocks", str(summary["codes"])),
        ("rows read", f"{summary['rows_read']:,}"),
        ("rows used", f"{summary['rows_used']:,}"),
        ("rows rejected", f"{summary['rows_rejected']:,}"),
        ("identical duplicates merged", f"{summary['identical_duplicates_merged']:,}"),
        ("buy / sell price", f"{summary['derived']['buy price']} / {summary['derived']['sell price']}"),
        ("limits", summary["derived"]["limits"]),
        ("splits and dividends", summary["derived"]["splits and dividends"]),
        ("industry", summary["derived"]["industry"]),
    ]
    index, written = summary["index"], summary["written"]
    rows.append((f"factors written ({len(written['factors'])})", ", ".join(written["factors"])))
    rows.append(("benchmarks", ", ".join(written["benchmarks"])))
    rows.append(("index components", ", ".join(written["components"]) or "--"))
    if index["benchmarks without bars"]:
        rows.append(("benchmarks without data", ", ".join(index["benchmarks without bars"])))
    if index["components without members"]:
        rows.append(("components without members", ", ".join(
            n.rsplit("_", 1)[-1] for n in index["components without members"])))
    if summary["extra_factors"]:
        rows.append(("extra factors", ", ".join(summary["extra_factors"])))
    if summary["unused_columns"]:
        rows.append(("columns not used", ", ".join(summary["unused_columns"])))
    print(tables.render(rows, align="ll"))
    if summary["rejected"]:
        print("\nRejected rows:")
        print(tables.render([(reason, f"{item['rows']:,}", "; ".join(item["examples"]))
                             for reason, item in summary["rejected"].items()],
                            ("Reason", "Rows", "First examples"), "lrl"))
        if UNREADABLE_DATE in summary["rejected"] and not summary.get("date_format"):
            print(f"\nNote: {DATE_HINT}.")
        if any(reason.startswith("index") and reason.endswith(UNREADABLE_DATE)
               for reason in summary["rejected"]) and not summary.get("index_date_format"):
            print(f"\nNote: {INDEX_DATE_HINT}.")
    print(f"\nNext: kestrelia-backtest store build --source {summary['folder']} --store STORE "
          f"--start {summary['first_date'].replace('-', '')} "
          f"--end {summary['last_date'].replace('-', '')}")


def drop_empty_benchmarks(benchmarks: dict, primary: str) -> tuple[dict, str | None]:
    """The benchmark series that hold data, and a note when the primary one has none (a
    store imported without index bars): the run is then measured against a flat benchmark,
    as when no benchmark is given, instead of against an empty series."""
    # A series of NaN only on the run's days is as empty as none: the
    # engine would take its returns as 0 and draw a flat benchmark under its name.
    kept = {name: series for name, series in benchmarks.items() if series.notna().any()}
    if primary in kept:
        return kept, None
    # A backtest measures against a flat benchmark only in a market without any.
    return {}, (f"note: the store has no data for the benchmark {primary}; the run is measured "
                  "against a flat benchmark (import index bars with --index-bars and build the "
                  "store again to compare with it)")


__all__ = ["add_parser", "cmd_import_bars", "drop_empty_benchmarks"]
