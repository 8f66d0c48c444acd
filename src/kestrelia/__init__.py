"""kestrelia: a backtest engine for China A-share target-weight strategies."""

__version__ = "0.1.0"
