"""Writing the factors of an import: one narrow Parquet file per factor, as the data service
serves them."""

from __future__ import annotations

from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrelia.dataservice.service import _ROW_GROUP_ROWS, _factor_file

_FACTOR_SCHEMA = pa.schema([("ukey", pa.string()), ("date", pa.date32()), ("value", pa.float64())])


class FactorWriter:
    """One Parquet file per factor, appended a year at a time in date then stock order.

    Writing runs on one worker thread (pyarrow encodes and compresses without the GIL), so
    a year's files are written while the next year is derived; ``flush`` waits for what
    was handed over before, which keeps at most one year in flight.
    """

    def __init__(self, folder: Path, ukeys: np.ndarray):
        self.folder = folder
        self.ukeys = pa.array(ukeys, pa.string())
        self.writers: dict[str, pq.ParquetWriter] = {}
        self.rows: dict[str, int] = {}
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="factor-writer")
        self.pending: list[Future[None]] = []
        # Within one year most factors fill the same cells (the days a stock traded, or had
        # a row): their positions and their ukey and date columns are made once. Holding
        # the arrays keeps their ids from being reused until the year is flushed.
        self._flat: dict[int, tuple[tuple[np.ndarray, ...], np.ndarray]] = {}
        self._labels: dict[tuple[int, int], tuple[np.ndarray, np.ndarray, pa.Array,
                                                   pa.Array]] = {}

    def write(self, name: str, grid: np.ndarray, days: np.ndarray,
              within: tuple[np.ndarray, ...] | None = None) -> None:
        """Appends the finite cells of ``grid``; ``within``: the cells (row-major, as
        ``np.nonzero`` gives them) outside which the grid holds nothing, to search only
        those."""
        if within is None:
            rows, cols = np.nonzero(np.isfinite(grid))
            values = grid[rows, cols]
        else:
            cached = self._flat.get(id(within))
            if cached is None or cached[0] is not within:
                # Flat positions: one gather instead of a two-array fancy index.
                cached = (within, within[0] * grid.shape[1] + within[1])
                self._flat[id(within)] = cached
            taken = grid.ravel().take(cached[1])
            keep = np.isfinite(taken)
            if keep.all():
                rows, cols, values = within[0], within[1], taken
            else:
                rows, cols, values = within[0][keep], within[1][keep], taken[keep]
        self.rows[name] = self.rows.get(name, 0) + len(rows)
        if len(rows) == 0:
            return
        self.pending.append(self.pool.submit(self._append, name, rows, cols, values, days))

    def _columns(self, rows: np.ndarray, cols: np.ndarray,
                 days: np.ndarray) -> tuple[pa.Array, pa.Array]:
        # Only the writer thread calls this; flush() clears the cache when it is idle.
        cached = self._labels.get((id(rows), id(cols)))
        if cached is None or cached[0] is not rows or cached[1] is not cols:
            ukey = self.ukeys.take(pa.array(cols))
            date = pa.array(days[rows].astype(np.int32), pa.int32()).cast(pa.date32())
            cached = (rows, cols, ukey, date)
            self._labels[(id(rows), id(cols))] = cached
        return cached[2], cached[3]

    def _append(self, name: str, rows: np.ndarray, cols: np.ndarray, values: np.ndarray,
                days: np.ndarray) -> None:
        ukey, date = self._columns(rows, cols, days)
        table = pa.table({"ukey": ukey, "date": date, "value": pa.array(values, pa.float64())},
                         schema=_FACTOR_SCHEMA)
        if name not in self.writers:
            # Statistics only for the dates the service filters on: less work per file.
            self.writers[name] = pq.ParquetWriter(_factor_file(self.folder, name), _FACTOR_SCHEMA,
                                                  write_statistics=["date"])
        self.writers[name].write_table(table, row_group_size=_ROW_GROUP_ROWS)

    def flush(self) -> None:
        pending, self.pending = self.pending, []
        for future in pending:
            future.result()
        self._flat.clear()
        self._labels.clear()

    def close(self) -> None:
        try:
            self.flush()
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)
            for writer in self.writers.values():
                writer.close()
