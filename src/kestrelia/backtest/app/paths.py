"""Where the command-line tool writes: fresh output folders and files it may replace."""

from __future__ import annotations

import shutil
from pathlib import Path

from kestrelia.backtest.app.inputs import UserError


def fresh_dir(path: Path, force: bool, what: str) -> Path:
    """An empty directory to write into; an existing non-empty one only with force."""
    path = Path(path).expanduser()
    if path.exists() and not path.is_dir():
        raise UserError(f"{what} {path} exists and is not a directory")
    if path.exists() and any(path.iterdir()):
        if not force:
            raise UserError(f"{what} {path} already exists and is not empty; use --force to replace it")
        shutil.rmtree(path)
    path.mkdir(parents=True, exist_ok=True)
    return path


def output_file(path: Path, force: bool) -> Path:
    if path.exists() and not force:
        raise UserError(f"{path} already exists; use --force to overwrite it")
    return path
