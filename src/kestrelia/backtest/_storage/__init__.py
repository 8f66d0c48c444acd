"""The file-level pieces of the prepared-data store, one concern a module: durable writes,
the writer lock, the restricted metadata unpickler, safe access to the ``.npy`` files and
the integrity check. ``kestrelia.backtest._store`` puts them together."""
