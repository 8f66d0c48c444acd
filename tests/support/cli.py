"""Running the command-line tool inside a test."""

from __future__ import annotations

from typing import Any

from kestrelia.backtest.app import cli


def run(capsys: Any, *argv: object) -> tuple[int, str, str]:
    """The exit code and what the tool printed (stdout, stderr) for one command line."""
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err
