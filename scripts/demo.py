"""A vn.py user's whole flow with the Norvix datafeed, from download to backtest.

scripts/main.sh runs it against the local data service, in a temporary HOME whose
.vntrader/vt_setting.json holds the service's address and demo credentials and keeps
vn.py's SQLite database (its own, embedded). It

1. downloads two products' dominant contracts into vn.py's database with the command
   line (daily and one-minute bars, a few days of ticks), and shows what it holds;
2. builds their backward-adjusted continuous series (rb888, au888) with the command line;
3. runs vn.py's CTA backtesting engine with its bundled AtrRsiStrategy on the continuous
   series' session bars (the minute bars through SessionBarGenerator: rb on 15-minute,
   au on 30-minute bars) and prints the statistics, whose days are trading days (a night
   session counts with the day it opens, not with the calendar date it runs into);
4. draws per product a chart (PNG): the daily continuous candles with the roll dates
   marked, and the backtest's equity curve.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from datetime import date, datetime
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))  # norvix_devserver, for the dates its database covers

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.dates as mdates  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402
from loguru import logger  # noqa: E402

from norvix_devserver import DEFAULT_PLAN  # noqa: E402

PRODUCTS = ("rb", "au")


def section(title: str) -> None:
    print(f"\n== {title}", flush=True)


def command(*args: str) -> None:
    """Runs the command line as a user would type it; stops the session when it fails."""
    print(f"$ python -m vnpy_norvix {' '.join(args)}", flush=True)
    began = time.monotonic()
    status = subprocess.run([sys.executable, "-m", "vnpy_norvix", *args]).returncode
    print(f"   (exit status {status}, {time.monotonic() - began:.1f} s)", flush=True)
    if status != 0:
        sys.exit(f"demo: python -m vnpy_norvix {args[0]} failed with exit status {status}")


# Minutes per session bar the backtest of each product trades on.
WINDOWS = {"rb": 15, "au": 30}


def session_classes():
    """vn.py's bundled AtrRsiStrategy on session bars, and vn.py's backtesting engine with
    its daily results kept per trading day (vn.py's keeps them per calendar date, which
    makes au's nights past midnight Saturdays of their own)."""
    from dataclasses import replace

    from vnpy.trader.constant import Interval
    from vnpy_ctastrategy.backtesting import BacktestingEngine, DailyResult
    from vnpy_ctastrategy.strategies.atr_rsi_strategy import AtrRsiStrategy

    from vnpy_norvix import SessionBarGenerator
    from vnpy_norvix.calendar import WEEKDAYS

    def trading_day(moment: datetime) -> date:
        return WEEKDAYS.trading_day(moment, Interval.MINUTE)

    class SessionAtrRsiStrategy(AtrRsiStrategy):
        window = 15
        parameters = [*AtrRsiStrategy.parameters, "window"]

        def __init__(self, *args, **kwargs) -> None:
            super().__init__(*args, **kwargs)
            self.session_bg = SessionBarGenerator(self.on_bar, self.window, self.on_window_bar)

        def on_bar(self, bar) -> None:
            self.session_bg.update_bar(bar)  # minute bars in, the strategy's rules on each window bar

        def on_window_bar(self, bar) -> None:
            AtrRsiStrategy.on_bar(self, bar)

    class TradingDayEngine(BacktestingEngine):
        def update_daily_close(self, price: float) -> None:
            day = trading_day(self.datetime)
            if day in self.daily_results:
                self.daily_results[day].close_price = price
            else:
                self.daily_results[day] = DailyResult(day, price)

        def calculate_result(self):
            # vn.py files each trade under its calendar date: here under its trading day.
            trades = self.trades
            self.trades = {key: replace(trade, datetime=datetime.combine(trading_day(trade.datetime),
                                                                         datetime.min.time(), trade.datetime.tzinfo))
                           for key, trade in trades.items()}
            try:
                return super().calculate_result()
            finally:
                self.trades = trades

    return SessionAtrRsiStrategy, TradingDayEngine


def backtest(vt_symbol: str, start: date, end: date, size: float, pricetick: float, window: int):
    """vn.py's CTA backtesting engine with a bundled demo strategy on a continuous series'
    session bars of `window` minutes, its days trading days."""
    from vnpy.trader.constant import Interval

    strategy, engine_class = session_classes()
    engine = engine_class()
    engine.set_parameters(vt_symbol=vt_symbol, interval=Interval.MINUTE, start=datetime.combine(start, datetime.min.time()),
                          end=datetime.combine(end, datetime.max.time()), rate=0.5 / 10000, slippage=pricetick,
                          size=size, pricetick=pricetick, capital=1_000_000)
    engine.add_strategy(strategy, {"window": window})
    engine.load_data()
    engine.run_backtesting()
    daily = engine.calculate_result()
    statistics = engine.calculate_statistics()
    return daily, statistics


def chart(series, daily, statistics: dict, path: Path) -> Path:
    """Daily continuous candles with the rolls marked, and the equity curve below."""
    path.parent.mkdir(parents=True, exist_ok=True)
    figure, (prices, equity) = plt.subplots(2, 1, figsize=(13, 7.5), sharex=True,
                                            gridspec_kw={"height_ratios": [3, 1.4]})
    days = [mdates.date2num(bar.datetime.replace(tzinfo=None)) for bar in series.bars]
    for x, bar in zip(days, series.bars):
        rising = bar.close_price >= bar.open_price
        color = "#d62728" if rising else "#2ca02c"  # red up, green down, as quoted in China
        prices.vlines(x, bar.low_price, bar.high_price, color=color, linewidth=0.8)
        low, high = sorted((bar.open_price, bar.close_price))
        prices.bar(x, max(high - low, 1e-9), bottom=low, width=0.7, color="white" if rising else color,
                   edgecolor=color, linewidth=0.8)
    for roll in series.rolls:
        x = mdates.date2num(datetime.combine(roll.effective_day, datetime.min.time()))
        prices.axvline(x, color="#7f7f7f", linestyle="--", linewidth=1)
        prices.annotate(f"roll {roll.from_contract} → {roll.to_contract}\nratio {roll.ratio:.4f}", (x, 1), xycoords=("data", "axes fraction"),
                        xytext=(4, -4), textcoords="offset points", va="top", fontsize=8, color="#404040")
    prices.set_title(f"{series.vt_symbol}: daily continuous dominant series, {series.adjust} adjusted "
                     f"({len(series.rolls)} rolls)")
    prices.set_ylabel("price")
    prices.grid(alpha=0.3)
    balance = daily["balance"]
    equity.plot([mdates.date2num(datetime.combine(d, datetime.min.time())) for d in balance.index], balance.values,
                color="#1f77b4", linewidth=1.4)
    equity.set_title(f"AtrRsiStrategy on {series.vt_symbol} session bars: total return "
                     f"{statistics['total_return']:.2f} %, Sharpe {statistics['sharpe_ratio']:.2f}, "
                     f"{statistics['total_trade_count']} trades", fontsize=10)
    equity.set_ylabel("balance")
    equity.grid(alpha=0.3)
    equity.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
    equity.xaxis.set_major_locator(mdates.MonthLocator())
    equity.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m"))
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chart-dir", type=Path, default=REPO / ".devdata" / "demo",
                        help="where the charts go (default .devdata/demo in the repository)")
    args = parser.parse_args()
    import vnpy_ctastrategy.backtesting  # noqa: F401  (vn.py's logger adds its console sink on import)

    logger.remove()  # the datafeed's own log lines: the command line reports for itself

    plan = DEFAULT_PLAN
    days = (plan.day_start.isoformat(), plan.day_end.isoformat())
    minutes = (plan.minute_start.isoformat(), plan.minute_end.isoformat())
    ticks = (plan.tick_days[0].isoformat(), plan.tick_days[-1].isoformat())

    section("Download the dominant contracts of rb and au into vn.py's database")
    command("download", "--product", *PRODUCTS, "--start", days[0], "--end", days[1], "--interval", "d")
    command("download", "--product", *PRODUCTS, "--start", minutes[0], "--end", minutes[1], "--interval", "1m")
    command("download", "--product", *PRODUCTS, "--start", ticks[0], "--end", ticks[1], "--interval", "tick")

    section("Run the same download again: the trading days held are not fetched")
    command("download", "--product", *PRODUCTS, "--start", minutes[0], "--end", minutes[1], "--interval", "1m")
    command("status")

    section("Continuous dominant series, backward adjusted, into the database")
    command("continuous", *PRODUCTS, "--start", days[0], "--end", days[1], "--interval", "d", "1m",
            "--adjust", "backward")

    from vnpy_norvix.cli import make_datafeed
    from vnpy_norvix.continuous import continuous_bars

    feed = make_datafeed(None)  # as the command line makes it: address and credentials from the settings
    terms = {record["symbol"]: record for record in feed.query_contract_multiplier()}
    paths = []
    for product in PRODUCTS:
        section(f"Backtest: vn.py's CTA engine, AtrRsiStrategy on {product}888 {WINDOWS[product]}-minute "
                f"session bars")
        size, pricetick = float(terms[product]["multiplier"]), float(terms[product]["price_tick"])
        print(f"   contract terms from the service: multiplier {size:g}, price tick {pricetick:g}", flush=True)
        daily, statistics = backtest(f"{product}888.{terms[product]['exchange']}", plan.minute_start,
                                     plan.minute_end, size, pricetick, WINDOWS[product])
        if daily is None or not statistics.get("total_trade_count"):
            sys.exit(f"demo: the backtest on {product}888 produced no trades")
        # The same series straight from the service, without the database: for the chart.
        series = continuous_bars(feed, product, plan.day_start, plan.day_end)
        paths.append(chart(series, daily, statistics, args.chart_dir / f"{product}888_backtest.png"))

    section("Charts")
    for path in paths:
        print(f"   {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
