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

    def write(self, name: str, grid: np.ndarray, days: np.ndarray,
              within: tuple[np.ndarray, ...] | None = None) -> None:
        """Appends the finite cells of ``grid``; ``within``: the cells (row-major, as
        ``np.nonzero`` gives them) outside which the grid holds nothing, to search only
        those."""
        if within is None:
            rows, cols = np.nonzero(np.isfinite(grid))
        else:
            # Flat positions: one gather instead of a two-array fancy index.
            flat = within[0] * grid.shape[1] + within[1]
            keep = np.isfinite(grid.ravel().take(flat))
            rows, cols = within[0][keep], within[1][keep]
        self.rows[name] = self.rows.get(name, 0) + len(rows)
        if len(rows) == 0:
            return
        self.pending.append(self.pool.submit(self._append, name, rows, cols, grid[rows, cols],
                                             days))

    def _append(self, name: str, rows: np.ndarray, cols: np.ndarray, values: np.ndarray,
                days: np.ndarray) -> None:
        table = pa.table({
            "ukey": self.ukeys.take(pa.array(cols)),
            "date": pa.array(days[rows].astype(np.int32), pa.int32()).cast(pa.date32()),
            "value": pa.array(values, pa.float64()),
        }, schema=_FACTOR_SCHEMA)
        if name not in self.writers:
            # Statistics only for the dates the service filters on: less work per file.
            self.writers[name] = pq.ParquetWriter(_factor_file(self.folder, name), _FACTOR_SCHEMA,
                                                  write_statistics=["date"])
        self.writers[name].write_table(table, row_group_size=_ROW_GROUP_ROWS)

    def flush(self) -> None:
        pending, self.pending = self.pending, []
        for future in pending:
            future.result()

    def close(self) -> None:
        try:
            self.flush()
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)
            for writer in self.writers.values():
                writer.close()
