"""Running the command-line tool inside a test."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import kestrelia
from kestrelia.backtest.app import cli


def run(capsys: Any, *argv: object) -> tuple[int, str, str]:
    """The exit code and what the tool printed (stdout, stderr) for one command line."""
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def child_env() -> dict[str, str]:
    """The environment of a child Python that imports the same kestrelia as this process,
    installed (with its built modules) or from the source tree of a development build."""
    return {**os.environ, "PYTHONPATH": str(Path(kestrelia.__file__).parents[1])}
