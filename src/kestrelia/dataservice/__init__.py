"""A local data service: factor and index tables served from a folder of Parquet files,
and the two ways to make such a folder (from wide matrices, or by importing daily-bar
tables)."""

from kestrelia.dataservice.bars import import_daily_bars
from kestrelia.dataservice.folder import write_factor_folder
from kestrelia.dataservice.service import LocalFactorService, exchange_ukey

__all__ = ["LocalFactorService", "exchange_ukey", "import_daily_bars", "write_factor_folder"]
