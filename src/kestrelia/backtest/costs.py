"""What trading costs: the commission (with a least amount per order), stamp duty on either
side and the transfer fee, each a constant rate or one that changes on given dates; and the
schedule A-share investors actually paid."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from kestrelia.errors import InputError

__all__ = ["Costs", "Rate"]

#: A rate: a constant fraction of the amount, or dated steps, each in force from its date
#: to the next one's (a Series indexed by date, or a list of (date, rate) pairs).
Rate = float | pd.Series | Sequence[tuple[Any, float]]

# The engine's own defaults: commission on both sides and stamp duty on sells.
DEFAULT_COMMISSION = 0.0001
DEFAULT_STAMP_DUTY = 0.0005

# The rates by name, in the order they are shown, with what each is.
RATES = {
    "commission": "commission on both sides",
    "stamp_duty": "stamp duty on sells",
    "stamp_duty_buy": "stamp duty on buys",
    "transfer_fee": "transfer fee on both sides",
}

# A-share stamp duty, by the date each rate took effect:
# - 2008-04-24: 0.1 % on both sides, down from 0.3 % (Ministry of Finance and State
#   Administration of Taxation announcement of 2008-04-23);
# - 2008-09-19: 0.1 % on sells only; buys no longer pay (their announcement of 2008-09-18);
# - 2023-08-28: 0.05 % on sells ("announcement on halving the securities transaction stamp
#   duty", Ministry of Finance and State Taxation Administration, 2023 No. 39, 2023-08-27).
_CHINA_STAMP_DUTY_SELL = [("2008-04-24", 0.001), ("2023-08-28", 0.0005)]
_CHINA_STAMP_DUTY_BUY = [("2008-04-24", 0.001), ("2008-09-19", 0.0)]
# A-share transfer fee, charged by the central depository on both sides:
# - 2015-08-01: 0.02 per mille of the amount on both exchanges (joint announcement of the
#   Shanghai and Shenzhen exchanges and the depository, 2015-07-03);
# - 2022-04-29: 0.01 per mille (the depository's notice of 2022-04-28).
# Before 2015-08-01 Shanghai charged 0.3 per mille of the shares' face value (from
# 2012-09-01; more before) and Shenzhen 0.0255 per mille of the amount. Neither is a rate of
# the amount alike for every stock, so those years take 0.03 per mille of the amount: the
# rate the 2015 announcement's "a drop of about 33 %, by the market data of the past two
# years" makes of the new 0.02 per mille.
_CHINA_TRANSFER_FEE = [("2008-04-24", 0.00003), ("2015-08-01", 0.00002),
                       ("2022-04-29", 0.00001)]


class _Steps:
    """One rate: a constant (``dates`` empty) or steps, each from its date on."""

    __slots__ = ("dates", "rates")

    def __init__(self, dates: pd.DatetimeIndex, rates: np.ndarray):
        self.dates = dates
        self.rates = rates

    @property
    def constant(self) -> float | None:
        return float(self.rates[0]) if len(self.dates) == 0 else None

    def on(self, days: pd.DatetimeIndex) -> np.ndarray:
        """The rate in force on each day (every day on or after the first step)."""
        if len(self.dates) == 0:
            return np.full(len(days), self.rates[0])
        at = self.dates.searchsorted(days, side="right") - 1
        return np.asarray(self.rates[at], dtype=float)

    def text(self) -> str:
        if len(self.dates) == 0:
            return _percent(float(self.rates[0]))
        return ", ".join(f"{_percent(float(r))} from {d.date()}"
                         for d, r in zip(self.dates, self.rates))

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, _Steps) and self.dates.equals(other.dates)
                and np.array_equal(self.rates, other.rates))

    def __hash__(self) -> int:
        return hash((tuple(self.dates.asi8), self.rates.tobytes()))


def _percent(rate: float) -> str:
    return f"{rate * 100:.6g} %"


def _rate(value: Any, what: str) -> float:
    number = _real(value)
    if number is None:
        raise InputError(f"{what} must be a number, got {value!r}")
    if not (math.isfinite(number) and 0 <= number < 1):
        raise InputError(f"{what} must be a finite rate in [0, 1), got {value!r}")
    return number


def _real(value: Any) -> float | None:
    """A real number as a float (an integer beyond any float as infinity), or None for
    anything else: text, truth values, complex numbers."""
    if (isinstance(value, (bool, np.bool_, np.complexfloating))
            or not isinstance(value, (int, float, np.number))):
        return None
    try:
        return float(value)
    except OverflowError:
        return math.inf


def _steps(value: Any, what: str) -> _Steps:
    if isinstance(value, pd.Series):
        pairs = list(zip(value.index, value.to_numpy()))
        if not pairs:
            raise InputError(f"{what}: the schedule has no steps")
    elif isinstance(value, (list, tuple)):
        pairs = []
        for k, pair in enumerate(value):
            if not isinstance(pair, (list, tuple)) or len(pair) != 2:
                raise InputError(f"{what}: step {k + 1} is {pair!r}, not a (date, rate) pair")
            pairs.append((pair[0], pair[1]))
        if not pairs:
            raise InputError(f"{what}: the schedule has no steps")
    else:
        return _Steps(pd.DatetimeIndex([]), np.array([_rate(value, what)]))
    from kestrelia import _labels

    dates = _labels.trading_dates(pd.Index([d for d, _ in pairs], dtype=object),
                                  f"{what} schedule")
    rates = np.array([_rate(r, f"{what} from {d.date()}") for d, (_, r) in zip(dates, pairs)])
    order = np.argsort(dates.asi8, kind="stable")
    return _Steps(pd.DatetimeIndex(dates[order], name=None), rates[order])


class Costs:
    """What each trade costs, as fractions of its amount (shares x price).

    Parameters
    ----------
    commission : rate, default 0.0001
        Commission on buys and sells.
    min_commission : float, default 0
        The least commission an order pays, in the capital's currency: an order (one stock,
        one side, one day) is charged ``max(commission x amount, min_commission)``.
    stamp_duty : rate, default 0.0005
        Stamp duty on sells.
    stamp_duty_buy : rate, default 0
        Stamp duty on buys.
    transfer_fee : rate, default 0
        Transfer fee on buys and sells.

    A rate is a constant in [0, 1), or dated steps: a Series indexed by date, or a list of
    (date, rate) pairs, each rate in force from its date to the next step's. A backtest
    must not start before the first step of any schedule (there is no rate for the days
    before). The defaults are the ``fee`` and ``rule_fee`` of :func:`backtest`.

    Examples
    --------
    >>> costs = Costs(commission=0.0003, min_commission=5.0,
    ...               stamp_duty=[("2008-09-19", 0.001), ("2023-08-28", 0.0005)])
    >>> costs.rates_on(pd.to_datetime(["2023-08-25", "2023-08-28"]))["stamp_duty"]
    array([0.001 , 0.0005])
    >>> Costs.china_a_share().first_day.date()
    datetime.date(2008, 4, 24)
    """

    __slots__ = ("_steps", "min_commission", "name")

    def __init__(self, *, commission: Rate = DEFAULT_COMMISSION, min_commission: float = 0.0,
                 stamp_duty: Rate = DEFAULT_STAMP_DUTY, stamp_duty_buy: Rate = 0.0,
                 transfer_fee: Rate = 0.0) -> None:
        given = {"commission": commission, "stamp_duty": stamp_duty,
                 "stamp_duty_buy": stamp_duty_buy, "transfer_fee": transfer_fee}
        self._steps = {key: _steps(value, key) for key, value in given.items()}
        least = _real(min_commission)
        if least is None or not (math.isfinite(least) and least >= 0):
            raise InputError("min_commission must be a finite amount of money of at least 0, "
                             f"got {min_commission!r}")
        self.min_commission = least
        self.name = "custom"

    @classmethod
    def china_a_share(cls, commission: float = 0.0003, min_commission: float = 5.0) -> Costs:
        """The costs A-share investors paid on each date from 2008-04-24 on: the broker's
        ``commission`` with its ``min_commission`` per order, stamp duty (0.1 % on both
        sides, on sells only from 2008-09-19, 0.05 % from 2023-08-28) and the transfer fee
        (0.02 per mille of the amount from 2015-08-01, 0.01 per mille from 2022-04-29;
        before 2015-08-01, when Shanghai charged by face value, 0.03 per mille as an
        approximation). A backtest starting before 2008-04-24 is refused.

        Examples
        --------
        >>> rates = Costs.china_a_share().rates_on(pd.to_datetime(["2023-08-25", "2023-08-28"]))
        >>> rates["stamp_duty"].tolist(), rates["transfer_fee"].tolist()
        ([0.001, 0.0005], [1e-05, 1e-05])
        """
        costs = cls(commission=commission, min_commission=min_commission,
                    stamp_duty=_CHINA_STAMP_DUTY_SELL, stamp_duty_buy=_CHINA_STAMP_DUTY_BUY,
                    transfer_fee=_CHINA_TRANSFER_FEE)
        costs.name = "china_a_share"
        return costs

    # ---- what the engine reads ------------------------------------------------------

    @property
    def first_day(self) -> pd.Timestamp | None:
        """The first day every rate is known on (None when all are constants)."""
        firsts = [s.dates[0] for s in self._steps.values() if len(s.dates)]
        return max(firsts) if firsts else None

    def constant(self, key: str) -> float | None:
        """The rate ``key`` when it is a constant, else None."""
        return self._steps[key].constant

    @property
    def by_day(self) -> bool:
        """Whether the engine needs the rates day by day: its two constants cover a
        constant commission and stamp duty on sells alone."""
        return not (all(s.constant is not None for s in self._steps.values())
                    and self.constant("stamp_duty_buy") == 0
                    and self.constant("transfer_fee") == 0)

    def rates_on(self, days: pd.DatetimeIndex) -> dict[str, np.ndarray]:
        """Each rate on each of ``days`` (which must not start before ``first_day``)."""
        self.check_days(days)
        return {key: steps.on(days) for key, steps in self._steps.items()}

    def check_days(self, days: pd.DatetimeIndex) -> None:
        first = self.first_day
        if first is None or len(days) == 0 or days[0] >= first:
            return
        late = [key for key, s in self._steps.items() if len(s.dates) and s.dates[0] > days[0]]
        raise InputError(
            f"the {self.name} costs have no {' or '.join(late)} rate before {first.date()}, "
            f"and the backtest starts on {days[0].date()}: start it on or after "
            f"{first.date()} (start=...), or give rates for the earlier days")

    # ---- how it is shown -------------------------------------------------------------

    def parameters(self) -> dict[str, float | str]:
        """The model as a backtest's parameters (plain values): its name, each constant
        rate as a number and each schedule in words, and the minimum commission."""
        out: dict[str, float | str] = {"costs": self.name}
        for key in RATES:
            value = self.constant(key)
            out[key] = self._steps[key].text() if value is None else value
            if key == "commission":
                out["min_commission"] = self.min_commission
        return out

    def __repr__(self) -> str:
        if self.name == "china_a_share":
            return (f"Costs.china_a_share(commission={self.constant('commission')!r}, "
                    f"min_commission={self.min_commission!r})")
        parts = []
        for key, steps in self._steps.items():
            value = steps.constant
            parts.append(f"{key}={value!r}" if value is not None else
                         f"{key}=[{', '.join(repr((str(d.date()), float(r))) for d, r in zip(steps.dates, steps.rates))}]")
        return f"Costs({', '.join(parts)}, min_commission={self.min_commission!r})"

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Costs) and self._steps == other._steps
                and self.min_commission == other.min_commission)

    def __hash__(self) -> int:
        return hash((tuple(self._steps.items()), self.min_commission))

    def __getstate__(self) -> dict[str, Any]:
        return {"steps": self._steps, "min_commission": self.min_commission, "name": self.name}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._steps = state["steps"]
        self.min_commission = state["min_commission"]
        self.name = state["name"]
