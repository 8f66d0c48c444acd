"""Fixtures of the native-module tests."""

from __future__ import annotations

import pytest


class Saved(list):
    """(figure, path, keywords) of each savefig call; files are written only if `write`."""

    write = False

    @property
    def fig(self):
        assert len(self) == 1, f"expected one saved figure, got {len(self)}"
        return self[0][0]


@pytest.fixture
def saved(monkeypatch):
    from matplotlib.figure import Figure

    record, original = Saved(), Figure.savefig

    def savefig(fig, path, *args, **kwargs):
        record.append((fig, path, kwargs))
        if record.write:
            original(fig, path, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", savefig)
    return record
