"""Literal pandas / NumPy formulations of the backtest computations.

The native kernels must agree with these. They are written step by step in the plainest
vectorised form, and are shared by the differential tests and by the benchmarks (which
time them against the native code in the same process).
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from kestrelia.backtest import _core

TRADING_DAYS_PER_YEAR = 252

TOTAL_FRAME_COLUMNS = [
    "daily_return",
    "index_daily_return",
    "long",
    "close_net_value",
    "max_drowdown",
    "extra_return",
    "extra_max_drowdown",
    "extra_daily_return",
]


def smooth_weights(strategy_matrix: pd.DataFrame, rolling_window: int) -> pd.DataFrame:
    if rolling_window <= 1:
        return strategy_matrix
    smoothed = strategy_matrix.fillna(0.0).rolling(rolling_window).mean().dropna(how="all")
    return smoothed.where(smoothed != 0)


def vwap_daily_return(
    signal_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    lot_size=200,
    build_market_arrays=None,
    magnitude=None,
) -> pd.Series:
    """The day loop over whole-row NumPy operations.

    With ``magnitude`` (a list), each day's sum of the absolute values of the five products
    is appended to it: where that sum is not finite, partial sums can overflow, and another
    summation order may give inf, -inf, NaN or even a finite number.
    """
    build_market_arrays = build_market_arrays or _core._build_market_arrays
    signal = signal_matrix.shift(1).dropna(how="all")
    if signal.empty:
        return pd.Series(dtype=float)
    pnl_index = signal.index
    columns = signal.columns
    market = build_market_arrays(
        pnl_index,
        columns,
        can_buy_stock,
        cant_sell_stock,
        split_factor,
        dividend_factor,
        close_price,
        prev_close,
        buy_price,
        sell_price,
    )
    prev_close_arr = market["prev_close_arr"]
    can_buy_arr = market["can_buy_arr"]
    cant_sell_arr = market["cant_sell_arr"]
    close_arr = market["close_arr"]
    buy_price_arr = market["buy_price_arr"]
    sell_price_arr = market["sell_price_arr"]
    split_arr = market["split_arr"]
    dividend_arr = market["dividend_arr"]
    signal_arr = signal.to_numpy(dtype=float, copy=False)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = (total_money * signal_arr) / (prev_close_arr * lot_size)
    valid = np.isfinite(signal_arr) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
    target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)
    n_days = len(pnl_index)
    n_stocks = target.shape[1]
    real_target = np.zeros(n_stocks, dtype=float)
    daily_cash = np.zeros(n_days, dtype=float)
    sell_factor = (1.0 - fee) - rule_fee
    for i in range(n_days):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
        sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
        hold = real_target - sell
        close_row = close_arr[i]
        prev_close_row = prev_close_arr[i]
        split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
        # Kept shares are old shares on a split day, bought ones new: whole shares after it.
        with np.errstate(invalid="ignore", over="ignore"):
            real_target = np.rint(hold * np.where(np.isfinite(split_eff), split_eff, 1.0)
                                  + real_buy)
        dividend_eff = np.nan_to_num(dividend_arr[i], nan=0.0)
        with np.errstate(invalid="ignore", over="ignore"):
            buy_coeff = np.nan_to_num(close_row - buy_price_arr[i] * (1 + fee), nan=0.0)
            hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
            sell_coeff = np.nan_to_num(
                split_eff * sell_price_arr[i] * sell_factor - prev_close_row, nan=0.0
            )
            daily_cash[i] = (
                real_buy @ buy_coeff
                + hold @ hold_coeff
                + hold @ dividend_eff
                + sell @ sell_coeff
                + sell @ dividend_eff
            )
            if magnitude is not None:
                magnitude.append(
                    np.abs(real_buy) @ np.abs(buy_coeff)
                    + np.abs(hold) @ np.abs(hold_coeff)
                    + np.abs(hold) @ np.abs(dividend_eff)
                    + np.abs(sell) @ np.abs(sell_coeff)
                    + np.abs(sell) @ np.abs(dividend_eff)
                )
    with np.errstate(invalid="ignore", divide="ignore"):
        return pd.Series(daily_cash / total_money, index=pnl_index)


def vwap_targets(signal_matrix, prev_close, total_money=1e8, lot_size=200) -> np.ndarray:
    """The whole-lot targets of every simulated day (for lot-count comparisons)."""
    signal = signal_matrix.shift(1).dropna(how="all")
    prev = prev_close.reindex(index=signal.index, columns=signal.columns).to_numpy(dtype=float)
    signal_arr = signal.to_numpy(dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        raw_target = (total_money * signal_arr) / (prev * lot_size)
    valid = np.isfinite(signal_arr) & np.isfinite(prev) & (prev > 0)
    return np.where(valid, np.floor(raw_target) * lot_size, 0.0)


def total_frame(total_backtesting: pd.DataFrame) -> pd.DataFrame:
    total = total_backtesting.copy().dropna()
    if total.empty:
        return total
    total.loc[:, "extra_daily_return"] = total["daily_return"] - total["index_daily_return"]
    strategy_nav = total["daily_return"].cumsum(skipna=True) + 1
    total.loc[:, "long"] = strategy_nav / strategy_nav.iloc[0]
    if "close" in total.columns and len(total["close"]) > 0:
        first_close = total["close"].iloc[0]
        if pd.notna(first_close) and first_close != 0:
            total.loc[:, "close_net_value"] = total["close"] / first_close
        else:
            total.loc[:, "close_net_value"] = total["index_daily_return"].cumsum(skipna=True) + 1
    else:
        close_proxy = total["index_daily_return"].cumsum(skipna=True) + 1
        total.loc[:, "close"] = close_proxy
        total.loc[:, "close_net_value"] = close_proxy / close_proxy.iloc[0]
    total.loc[:, "max_drowdown"] = total["long"] - total["long"].expanding().max()
    extra_return = total["extra_daily_return"].cumsum(skipna=True)
    total.loc[:, "extra_return"] = extra_return - extra_return.iloc[0]
    total.loc[:, "extra_max_drowdown"] = (total["extra_return"] + 1) - (
        total["extra_return"] + 1
    ).expanding().max()
    return total


def holding_and_turnover(signal_df) -> tuple[float, float]:
    if signal_df is None or len(signal_df) == 0:
        return np.nan, np.nan
    values = signal_df.to_numpy(dtype=float, copy=False)
    holding_count = float(np.isfinite(values).sum(axis=1).mean())
    if values.shape[0] > 1:
        values_zero = np.nan_to_num(values, nan=0.0)
        with np.errstate(invalid="ignore", over="ignore"):
            turnover = float(
                np.abs(values_zero[1:] - values_zero[:-1]).sum(axis=1).mean() / 2.0
            )
    else:
        turnover = np.nan
    return holding_count, turnover


def strategy_stats(total_frame: pd.DataFrame, signal_df, safe_sharpe=None) -> dict:
    safe_sharpe = safe_sharpe or _core.safe_sharpe
    total = total_frame.copy().dropna()
    n = len(total)
    if n == 0:
        keys = [
            "annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp",
            "extra_max_dd", "benchmark_annual_return", "benchmark_sharp", "return_corr",
            "win_rate", "excess_win_rate", "holding_count", "turnover",
        ]  # fmt: skip
        return {key: np.nan for key in keys}

    def clean(col):
        return total[col].replace([np.inf, -np.inf], np.nan).dropna()

    daily_return = clean("daily_return")
    benchmark_daily_return = clean("index_daily_return")
    extra_daily_return = clean("extra_daily_return")
    trading_years = n / TRADING_DAYS_PER_YEAR
    benchmark_total_return = total["close_net_value"].iloc[-1] - 1
    holding_count, turnover = holding_and_turnover(signal_df)
    return {
        "annual_return": (total["long"].iloc[-1] - 1) / trading_years * 100,
        "long_sharp": safe_sharpe(daily_return, periods=TRADING_DAYS_PER_YEAR),
        "max_dd": abs(total["max_drowdown"].min()),
        "benchmark_annual_return": benchmark_total_return / trading_years * 100,
        "benchmark_sharp": safe_sharpe(benchmark_daily_return, periods=TRADING_DAYS_PER_YEAR),
        "extra_annual_return": total["extra_return"].iloc[-1] / trading_years * 100,
        "extra_sharp": safe_sharpe(extra_daily_return, periods=TRADING_DAYS_PER_YEAR),
        "extra_max_dd": abs(total["extra_max_drowdown"].min()),
        "return_corr": total["daily_return"].corr(total["index_daily_return"]),
        "win_rate": float((daily_return > 0).mean()) if len(daily_return) > 0 else np.nan,
        "excess_win_rate": (
            float((extra_daily_return > 0).mean()) if len(extra_daily_return) > 0 else np.nan
        ),
        "holding_count": holding_count,
        "turnover": turnover,
    }


def backtest(
    strategy_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    benchmark_dict=None,
    benchmark_names="000852",
    rolling_window=0,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    safe_sharpe=None,
):
    """The pipeline step by step; returns (daily_return, cumulative_return, stats, summary)
    or None where the run ends with the early result. The benchmark level is accumulated
    over the backtest's date range only."""
    safe_sharpe = safe_sharpe or _core.safe_sharpe
    work = strategy_matrix.loc[strategy_matrix.index.intersection(close_price.index)]
    common_columns = work.columns.intersection(close_price.columns)
    work = work.loc[:, common_columns].dropna(axis=1, how="all")
    work = smooth_weights(work, rolling_window)
    valid_signal = work.dropna(how="all")
    if valid_signal.empty:
        return None
    daily_return = vwap_daily_return(
        work, can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
        prev_close, buy_price, sell_price, total_money, fee, rule_fee,
    )  # fmt: skip
    if daily_return.empty:
        return None
    daily_return = daily_return[daily_return.index <= valid_signal.index.max()]
    if daily_return.empty:
        return None
    df = pd.DataFrame({"daily_return": daily_return})
    if benchmark_dict is not None and benchmark_names in benchmark_dict:
        bm_daily = benchmark_dict[benchmark_names].astype(float)
        bm_daily = bm_daily.replace([np.inf, -np.inf], np.nan).fillna(0.0)
        bm_daily = bm_daily.loc[bm_daily.index >= df.index.min()]
        bm_daily = bm_daily.loc[bm_daily.index <= df.index.max()]
        benchmark = pd.DataFrame({"close": bm_daily.cumsum().add(1.0), "index_daily_return": bm_daily})
        total_backtesting = pd.concat([df, benchmark], axis=1, join="inner")
    else:
        total_backtesting = df.copy()
        total_backtesting.loc[:, "index_daily_return"] = 0.0
        total_backtesting.loc[:, "close"] = 1.0
    if total_backtesting.empty:
        return None
    total = total_frame(total_backtesting)
    stats = strategy_stats(total, work, safe_sharpe)
    rows = []
    for bm_name, bm_daily in (benchmark_dict or {}).items():
        bm_aligned = bm_daily.reindex(total.index).dropna()
        common_idx = total.index.intersection(bm_aligned.index)
        if len(common_idx) == 0:
            continue
        strat = total.loc[common_idx, "daily_return"]
        excess_daily = strat - bm_aligned.loc[common_idx]
        excess_cum = excess_daily.cumsum()
        rows.append({
            "benchmark_name": bm_name,
            "benchmark_annual_return": bm_aligned.loc[common_idx].mean() * TRADING_DAYS_PER_YEAR,
            "excess_annual_return": excess_daily.mean() * TRADING_DAYS_PER_YEAR,
            "excess_sharpe": safe_sharpe(excess_daily, periods=TRADING_DAYS_PER_YEAR),
            "excess_max_dd": (excess_cum - excess_cum.cummax()).min(),
        })  # fmt: skip
    return total["daily_return"], total["long"], stats, pd.DataFrame(rows)


def period_return_drawdown_calmar(daily_return) -> tuple[float, float, float]:
    if daily_return is None or len(daily_return) == 0:
        return np.nan, np.nan, np.nan
    period_return = daily_return.sum()
    annualized_return = daily_return.mean() * TRADING_DAYS_PER_YEAR
    cumulative = daily_return.cumsum()
    drawdown = cumulative - cumulative.cummax().clip(lower=0.0)
    max_drawdown = abs(drawdown.min())
    calmar = annualized_return / max_drawdown if pd.notna(max_drawdown) and max_drawdown > 1e-12 else np.nan
    return period_return, max_drawdown, calmar


def yearly_performance_metrics(daily: pd.DataFrame, safe_sharpe=None) -> pd.DataFrame:
    safe_sharpe = safe_sharpe or _core.safe_sharpe
    rows = []
    for year, year_daily in daily.groupby(daily.index.year):
        strategy_daily = year_daily["daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
        excess_daily = year_daily["extra_daily_return"].replace([np.inf, -np.inf], np.nan).dropna()
        if strategy_daily.empty and excess_daily.empty:
            continue
        s_ret, s_dd, s_cal = period_return_drawdown_calmar(strategy_daily)
        e_ret, e_dd, e_cal = period_return_drawdown_calmar(excess_daily)
        rows.append({
            "year": int(year), "strategy_return": s_ret, "strategy_sharpe": safe_sharpe(strategy_daily),
            "strategy_max_dd": s_dd, "strategy_calmar": s_cal, "excess_return": e_ret,
            "excess_sharpe": safe_sharpe(excess_daily), "excess_max_dd": e_dd, "excess_calmar": e_cal,
        })  # fmt: skip
    if not rows:
        return pd.DataFrame()
    return pd.DataFrame(rows).set_index("year").sort_index()


def weekly_net_value_frame(total: pd.DataFrame) -> pd.DataFrame:
    plot_df = _core._with_datetime_index(total)
    if plot_df.empty:
        return pd.DataFrame()
    weekly = (
        plot_df[["long", "close_net_value", "extra_return"]]
        .replace([np.inf, -np.inf], np.nan)
        .resample("W-FRI")
        .last()
        .dropna(how="all")
    )
    if weekly.empty:
        return weekly
    weekly.loc[:, "extra_net_value"] = weekly["extra_return"] + 1
    return weekly.dropna(subset=["long", "close_net_value", "extra_net_value"], how="all")


def scheduled_backtest(weights: pd.DataFrame, matrices: dict, *, between="hold", capital=1e8,
                       fee=0.0001, rule_fee=0.0005, lot_size=200, rates=None,
                       min_commission=0.0, compound=False):
    """The public backtest's meaning, written out over whole rows of the market.

    The calendar is the market's: a weight row dated D (a date label of any kind, codes as
    six digits) sets the target of the first market day after D, the latest such row
    wins, rows without a weight set nothing, and the run goes from the first day a row
    sets to the market's last day. A day that no row sets keeps the last target's share
    counts times the split factor the day before ("hold"), or trades the last row again
    ("retarget"). Returns (daily returns, end-of-day positions, bought, sold), each on the
    simulated days and every market stock, the stocks in the market's order.

    ``rates`` gives rates by simulated day (arrays "commission", "stamp_sell", "stamp_buy",
    "transfer"; absent ones are fee, rule_fee and zero); an order whose commission falls
    short of ``min_commission`` pays the minimum. With ``compound`` each day's targets are
    sized from the equity at the previous close (nothing once it is not positive) and a
    day's return is its profit over that equity.
    """
    close = matrices["close_price"]
    days = pd.DatetimeIndex(pd.to_datetime(close.index, format="%Y%m%d")).values
    w_days = pd.DatetimeIndex(weights.index).values
    w = weights.reindex(columns=close.columns).to_numpy(dtype=float)
    usable = ~np.isnan(weights.to_numpy(dtype=float)).all(axis=1)
    sets = np.searchsorted(days, w_days, side="right")
    order = np.argsort(w_days, kind="stable")
    row_of_day = {}
    for r in order:
        if usable[r] and sets[r] < len(days):
            row_of_day[int(sets[r])] = r  # later dates come later: the latest wins
    first = min(row_of_day)
    arrays = {k: v.to_numpy() for k, v in matrices.items()}
    n_days, n_stocks = len(days) - first, close.shape[1]
    position = np.zeros(n_stocks)
    target = np.zeros(n_stocks)
    row = None
    unsized = np.zeros(n_stocks, dtype=bool)
    out = {k: np.zeros((n_days, n_stocks)) for k in ("held", "bought", "sold")}
    cash = np.zeros(n_days)
    money = np.zeros(n_days)
    rates = rates or {}
    defaults = {"commission": fee, "stamp_sell": rule_fee, "stamp_buy": 0.0, "transfer": 0.0}
    by_day = {k: np.asarray(rates.get(k, np.full(n_days, v)), dtype=float)
              for k, v in defaults.items()}
    equity, ruined = capital, not capital > 0
    for k in range(n_days):
        i = first + k
        c, ss, sb, t = (by_day[key][k] for key in ("commission", "stamp_sell", "stamp_buy",
                                                   "transfer"))
        buy_factor = ((1 + c) + sb) + t
        sell_factor = ((1.0 - c) - ss) - t
        money[k] = (0.0 if ruined else equity) if compound else capital
        pc = arrays["prev_close"][i].astype(float)
        new_row = row_of_day.get(i)
        row = new_row if new_row is not None else row
        wt = w[row]
        with np.errstate(invalid="ignore", divide="ignore"):
            raw = (money[k] * wt) / (pc * lot_size)
        valid = np.isfinite(wt) & np.isfinite(pc) & (pc > 0)
        sized = np.where(valid, np.floor(raw) * lot_size, 0.0)
        if new_row is not None or between == "retarget":
            sizing = np.ones(n_stocks, dtype=bool)
        else:
            # A target no day could size yet (NaN) is sized on the first day that can.
            sizing = np.isnan(target)
        target = np.where(sizing, sized, target)
        unsized = sizing & ~valid & np.isfinite(wt) & (wt != 0)
        diff = target - position
        buy = np.where((diff > 0) & arrays["can_buy_stock"][i], diff, 0.0)
        sell = np.where((diff < 0) & ~arrays["cant_sell_stock"][i], -diff, 0.0)
        hold = position - sell
        split = arrays["split_factor"][i].astype(float)
        split_eff = np.where(np.isnan(split), 1.0, split)
        share = np.where(np.isfinite(split_eff), split_eff, 1.0)
        position = np.rint(hold * share + buy)
        target = np.where(unsized, np.nan, np.rint(target * share))
        dividend = np.nan_to_num(arrays["dividend_factor"][i].astype(float), nan=0.0)
        cl = arrays["close_price"][i].astype(float)
        with np.errstate(invalid="ignore", over="ignore"):
            buy_coeff = np.nan_to_num(cl - arrays["buy_price"][i] * buy_factor, nan=0.0)
            hold_coeff = np.nan_to_num(split_eff * cl - pc, nan=0.0)
            sell_coeff = np.nan_to_num(split_eff * arrays["sell_price"][i] * sell_factor - pc,
                                       nan=0.0)
        cash[k] = (buy @ buy_coeff + hold @ hold_coeff + hold @ dividend + sell @ sell_coeff
                   + sell @ dividend)
        if min_commission > 0:
            with np.errstate(invalid="ignore"):
                on_buy = buy * arrays["buy_price"][i] * c
                on_sell = sell * (split_eff * arrays["sell_price"][i]) * c
            short = (np.where((buy != 0) & (on_buy < min_commission), min_commission - on_buy, 0)
                     + np.where((sell != 0) & (on_sell < min_commission),
                                min_commission - on_sell, 0))
            cash[k] -= short.sum()
        equity = equity + cash[k]
        ruined = ruined or not equity > 0
        out["held"][k], out["bought"][k], out["sold"][k] = position, buy, sell
    index = close.index[first:]
    frames = {k: pd.DataFrame(v, index=index, columns=close.columns) for k, v in out.items()}
    with np.errstate(invalid="ignore", divide="ignore"):
        returns = cash / money if compound else cash / capital
    return pd.Series(returns, index=index), frames["held"], frames["bought"], frames["sold"]
