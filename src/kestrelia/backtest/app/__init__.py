"""The user-facing tools on top of the engine: the command-line tool, the demo market and
its sample strategy."""

import sys


def main(argv: list[str] | None = None) -> int:
    """The kestrelia-backtest entry point. The tool's modules (and pandas) load here, inside
    the Ctrl-C handling, so an interrupt at start-up also ends with one line."""
    try:
        from kestrelia.backtest.app.cli import main as run
    except KeyboardInterrupt:
        print("\nkestrelia-backtest: interrupted", file=sys.stderr)
        return 130
    return run(argv)
