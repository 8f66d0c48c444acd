"""Importing long daily-bar tables (one row per stock and day) into a factor folder."""

from kestrelia.dataservice.bars.columns import BAR_COLUMNS
from kestrelia.dataservice.bars.importer import SUMMARY_FILE, import_daily_bars

__all__ = ["BAR_COLUMNS", "SUMMARY_FILE", "import_daily_bars"]
