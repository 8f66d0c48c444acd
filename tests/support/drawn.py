"""What a chart actually puts on the image: the text strings the Agg renderer is handed,
and whether it typesets each one as math."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def drawn_texts() -> Iterator[list[tuple[str, bool]]]:
    """Records (text, drawn as math) of every text drawn while the block runs, whatever
    code makes the figure and saves it."""
    from matplotlib.backends.backend_agg import RendererAgg

    drawn: list[tuple[str, bool]] = []
    original = RendererAgg.draw_text

    def spy(self: Any, gc: Any, x: float, y: float, s: str, prop: Any, angle: float,
            ismath: Any = False, mtext: Any = None) -> Any:
        drawn.append((s, bool(ismath)))
        return original(self, gc, x, y, s, prop, angle, ismath=ismath, mtext=mtext)

    RendererAgg.draw_text = spy  # type: ignore[method-assign]
    try:
        yield drawn
    finally:
        RendererAgg.draw_text = original  # type: ignore[method-assign]
