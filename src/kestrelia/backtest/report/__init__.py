"""A self-contained HTML page of one backtest: tables and charts, no external resource."""

from kestrelia.backtest.report.html import render_report, write_report

__all__ = ["render_report", "write_report"]
