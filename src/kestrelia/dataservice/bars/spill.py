"""The first pass's store: usable rows as numbers, one Arrow file per calendar year, in the
folder being written, so that the second pass holds one year in memory at a time."""

from __future__ import annotations

from pathlib import Path

import pyarrow as pa

SPILL_DIR = ".spill"


class Spill:
    """Usable rows as numbers, one Arrow file per calendar year."""

    def __init__(self, folder: Path):
        self.folder = folder
        folder.mkdir()
        self.paths: dict[int, Path] = {}
        self.writers: dict[int, pa.ipc.RecordBatchFileWriter] = {}
        self.schema: pa.Schema | None = None

    def write(self, year: int, batch: pa.RecordBatch) -> None:
        if year not in self.writers:
            self.paths[year] = self.folder / f"{year}.arrow"
            self.writers[year] = pa.ipc.new_file(str(self.paths[year]), batch.schema)
        self.writers[year].write_batch(batch)

    def close(self) -> None:
        for writer in self.writers.values():
            writer.close()

    def read(self, year: int) -> pa.Table:
        with pa.memory_map(str(self.paths[year])) as source:
            return pa.ipc.open_file(source).read_all()
