"""The user-facing tools on top of the engine: the command-line tool, the demo market and
its sample strategy."""
