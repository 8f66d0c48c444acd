"""python -m kestrelia.backtest: the kestrelia-backtest command-line tool."""

import sys

from kestrelia.backtest.app import main

sys.exit(main())
