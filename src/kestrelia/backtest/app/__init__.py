"""The user-facing tools on top of the engine: the command-line tool, the demo market and
its sample strategy."""

import os
import sys


def main(argv: list[str] | None = None) -> int:
    """The kestrelia-backtest entry point. The tool's modules (and pandas) load here, inside
    the Ctrl-C handling, so an interrupt at start-up also ends with one line."""
    try:
        from kestrelia.backtest.app.cli import main as run
    except KeyboardInterrupt:
        print("\nkestrelia-backtest: interrupted", file=sys.stderr)
        return 130
    code = run(argv)
    # A sweep that was interrupted or timed a strategy out leaves its thread to finish
    # inside the native engine. Everything is written by now: the process ends at once
    # rather than wait for it (the interpreter's shutdown cannot run under such a thread).
    sweeps = sys.modules.get("kestrelia.backtest.sweeps")
    if sweeps is not None and sweeps.running_threads():
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None when the process was started without it
                stream.flush()
        os._exit(code)
    return code
