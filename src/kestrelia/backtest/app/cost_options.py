"""The cost options of ``run`` and ``sweep`` (``--costs``, ``--fee``, ``--rule-fee``,
``--min-commission``) as the keyword arguments of ``backtest``."""

from __future__ import annotations

import argparse
from typing import Any

from kestrelia.backtest.app.inputs import UserError

__all__ = ["add_cost_options", "cost_arguments"]

# --fee and --rule-fee when neither they nor a cost model are given.
DEFAULT_FEE = 0.0001
DEFAULT_RULE_FEE = 0.0005


def add_cost_options(parser: argparse.ArgumentParser, rate: Any, amount: Any) -> None:
    parser.add_argument("--costs", choices=["flat", "china"], default="flat",
                        help="cost model: flat rates (--fee, --rule-fee), or china, the A-share "
                             "stamp duty and transfer fee of each date from 2008-04-24 on with "
                             "--fee as the commission (default 0.0003 then) and a minimum "
                             "commission of 5 per order (default: %(default)s)")
    parser.add_argument("--fee", type=rate, default=None,
                        help=f"commission rate, both sides (default: {DEFAULT_FEE})")
    parser.add_argument("--rule-fee", type=rate, default=None,
                        help=f"stamp duty on sells, with flat costs (default: {DEFAULT_RULE_FEE})")
    parser.add_argument("--min-commission", type=amount, default=None,
                        help="least commission per order (one stock, one side, one day) "
                             "(default: 0, or 5 with --costs china)")
    parser.add_argument("--sizing", choices=["fixed", "compound"], default="fixed",
                        help="size each day's targets from the fixed capital, or from the equity "
                             "at the previous close (default: %(default)s)")


def cost_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """``fee``/``rule_fee``, or ``costs``, and ``sizing``, for ``backtest`` and ``sweep``."""
    from kestrelia.backtest.costs import Costs

    out: dict[str, Any] = {"sizing": args.sizing}
    if args.costs == "china":
        if args.rule_fee is not None:
            raise UserError("--rule-fee does not go with --costs china: its stamp duty is the "
                            "rate of each date")
        preset: dict[str, float] = {}
        if args.fee is not None:
            preset["commission"] = args.fee
        if args.min_commission is not None:
            preset["min_commission"] = args.min_commission
        out["costs"] = Costs.china_a_share(**preset)
        return out
    fee = DEFAULT_FEE if args.fee is None else args.fee
    rule_fee = DEFAULT_RULE_FEE if args.rule_fee is None else args.rule_fee
    if args.min_commission:
        out["costs"] = Costs(commission=fee, stamp_duty=rule_fee,
                             min_commission=args.min_commission)
    else:
        out.update(fee=fee, rule_fee=rule_fee)
    return out
