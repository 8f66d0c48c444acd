"""Backtest engine: the native simulation (_pelorin) and the prepared-data builder (_prepare)."""
