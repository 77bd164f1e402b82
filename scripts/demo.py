"""A short session with norvix_datafeed, as a vn.py user would run it.

scripts/main.sh runs it against the local data service (norvix_devserver) with the
datafeed's default base_url. The credentials come from vn.py's SETTINGS, that is from
.vntrader/vt_setting.json in the working directory or in HOME ("datafeed.username",
"datafeed.password").

It queries the reference data of one product, then the daily and one-minute bars and
one day of ticks of its dominant contract through vn.py HistoryRequests, prints compact
tables of what came back, and draws the daily bars as a candlestick chart (PNG).
"""

from __future__ import annotations

import argparse
import sys
import unicodedata
from datetime import date, datetime
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))  # norvix_devserver, for the dates its database covers

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402
from loguru import logger  # noqa: E402

from norvix_devserver import DEFAULT_PLAN  # noqa: E402

SYMBOL = "rb"


# --- output -----------------------------------------------------------------------------------


def section(title: str) -> None:
    print(f"\n== {title}", flush=True)


def call(text: str) -> None:
    print(f"   >>> {text}", flush=True)


def _cell(value: object) -> str:
    if isinstance(value, bool):
        return "yes" if value else ""
    if isinstance(value, float):
        return f"{value:,.2f}" if abs(value) >= 1e5 else f"{value:g}"
    if isinstance(value, datetime):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


def table(rows: list[dict], columns: list[str], *, head: int | None = None, tail: int = 0) -> None:
    """Rows as an aligned table; with `head`, only the first `head` and last `tail` rows."""
    shown: list[dict | None] = list(rows)
    if head is not None and len(rows) > head + tail:
        shown = [*rows[:head], None, *(rows[-tail:] if tail else [])]
    cells = [[_cell(row[column]) for column in columns] if row is not None else None for row in shown]
    widths = [max([_width(column)] + [_width(line[i]) for line in cells if line is not None]) for i, column in
              enumerate(columns)]
    numeric = [all(line is None or _is_number(line[i]) for line in cells) for i in range(len(columns))]

    def render(values: list[str]) -> str:
        padded = [" " * (w - _width(v)) + v if n else v + " " * (w - _width(v)) for v, w, n in zip(values, widths, numeric)]
        return ("   " + "  ".join(padded)).rstrip()

    print(render(columns))
    print("   " + "  ".join("-" * w for w in widths))
    for line in cells:
        print(render(line) if line is not None else f"   ... {len(rows) - head - tail} more rows ...")


def _width(text: str) -> int:
    """Columns the text takes in a terminal: Chinese characters take two."""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def _is_number(text: str) -> bool:
    try:
        float(text.replace(",", ""))
        return True
    except ValueError:
        return not text


def bar_rows(bars) -> list[dict]:
    return [
        {"datetime": bar.datetime, "open": bar.open_price, "high": bar.high_price, "low": bar.low_price,
         "close": bar.close_price, "volume": int(bar.volume), "turnover": bar.turnover,
         "open_interest": int(bar.open_interest)}
        for bar in bars
    ]


def dominant_runs(records: list[dict]) -> list[dict]:
    """Consecutive days with the same dominant contract, one row each."""
    runs: list[dict] = []
    for record in records:
        if runs and runs[-1]["instrument_id"] == record["instrument_id"]:
            runs[-1]["to"] = record["trading_date"]
            runs[-1]["days"] += 1
        else:
            runs.append({"instrument_id": record["instrument_id"], "exchange": record["exchange"],
                         "from": record["trading_date"], "to": record["trading_date"], "days": 1})
    return runs


# --- chart ------------------------------------------------------------------------------------


def candlestick_chart(bars, path: Path) -> Path:
    """Daily candles (red up, green down, as quoted in China), a 20-day average and volume."""
    path.parent.mkdir(parents=True, exist_ok=True)
    figure, (prices, volumes) = plt.subplots(2, 1, figsize=(12, 6.5), sharex=True,
                                             gridspec_kw={"height_ratios": [3, 1]})
    closes = [bar.close_price for bar in bars]
    for x, bar in enumerate(bars):
        rising = bar.close_price >= bar.open_price
        color = "#d62728" if rising else "#2ca02c"
        prices.vlines(x, bar.low_price, bar.high_price, color=color, linewidth=0.9)
        bottom = min(bar.open_price, bar.close_price)
        height = max(abs(bar.close_price - bar.open_price), 1e-9)
        prices.add_patch(Rectangle((x - 0.35, bottom), 0.7, height, facecolor=color if not rising else "white",
                                   edgecolor=color, linewidth=0.9))
        volumes.bar(x, bar.volume, width=0.7, color=color)
    window = 20
    average = [sum(closes[i - window + 1:i + 1]) / window for i in range(window - 1, len(closes))]
    prices.plot(range(window - 1, len(closes)), average, color="#1f77b4", linewidth=1.2, label="20-day average")
    prices.set_xlim(-1, len(bars))
    prices.set_ylim(min(b.low_price for b in bars) * 0.99, max(b.high_price for b in bars) * 1.01)
    prices.legend(loc="upper right")
    prices.grid(alpha=0.3)
    prices.set_ylabel("price")
    first, last = bars[0], bars[-1]
    prices.set_title(f"{first.symbol}.{first.exchange.value} daily bars, {first.datetime:%Y-%m-%d} to "
                     f"{last.datetime:%Y-%m-%d} ({len(bars)} trading days)")
    volumes.set_ylabel("volume (lots)")
    volumes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
    volumes.grid(alpha=0.3)
    step = max(len(bars) // 10, 1)
    ticks = list(range(0, len(bars), step))
    volumes.set_xticks(ticks, [bars[i].datetime.strftime("%Y-%m-%d") for i in ticks], rotation=30, ha="right")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path


# --- session ----------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chart-dir", type=Path, default=REPO / ".devdata" / "demo",
                        help="where the candlestick chart goes (default .devdata/demo in the repository)")
    args = parser.parse_args()

    # The datafeed's own log lines, indented under the call that wrote them.
    logger.remove()
    logger.add(sys.stdout, format="       log | {message}", colorize=False)

    from vnpy.trader.constant import Exchange, Interval
    from vnpy.trader.object import HistoryRequest
    from vnpy.trader.setting import SETTINGS

    from norvix_datafeed import CHINA_TZ, NorvixDatafeed

    plan = DEFAULT_PLAN
    tick_day = plan.tick_days[-1]
    text = date.isoformat

    section("The datafeed, with credentials from vn.py's SETTINGS")
    print(f"   datafeed.username = {SETTINGS.get('datafeed.username')!r}, datafeed.password is "
          f"{'set' if SETTINGS.get('datafeed.password') else 'NOT set'}")
    call("feed = NorvixDatafeed()")
    feed = NorvixDatafeed()
    print(f"   feed.base_url = {feed.base_url}")

    section("Contract multipliers")
    call("feed.query_contract_multiplier()")
    multipliers = feed.query_contract_multiplier()
    table(multipliers, ["symbol", "exchange", "name", "multiplier", "price_tick", "quote_unit"])
    exchange = Exchange(next(m["exchange"] for m in multipliers if m["symbol"] == SYMBOL))

    section(f"Dominant contract of {SYMBOL}")
    call(f"feed.query_dominant({SYMBOL!r}, {text(plan.day_start)!r}, {text(plan.day_end)!r})")
    dominant = feed.query_dominant(SYMBOL, text(plan.day_start), text(plan.day_end))
    table(dominant_runs(dominant), ["instrument_id", "exchange", "from", "to", "days"])
    contract = next(r["instrument_id"] for r in dominant if r["trading_date"] == text(tick_day))

    section(f"Contracts of {SYMBOL} tradable on {tick_day}")
    call(f"feed.query_contracts({SYMBOL!r}, {text(tick_day)!r})")
    contracts = feed.query_contracts(SYMBOL, text(tick_day))
    table(contracts, ["instrument_id", "name", "list_date", "expire_date", "is_dominant"])

    section(f"Adjustment factors of {SYMBOL} (one per roll of the dominant contract)")
    call(f"feed.query_ex_factor({SYMBOL!r}, {text(plan.day_start)!r}, {text(plan.day_end)!r})")
    factors = feed.query_ex_factor(SYMBOL, text(plan.day_start), text(plan.day_end))
    table(factors, ["trading_date", "from_instrument_id", "to_instrument_id", "ex_factor", "ex_cum_factor"])

    section(f"Daily bars of {contract}, the dominant contract on {tick_day}")
    start = datetime.combine(plan.day_start, datetime.min.time(), CHINA_TZ)
    end = datetime.combine(plan.day_end, datetime.min.time(), CHINA_TZ)
    call(f"feed.query_bar_history(HistoryRequest({contract!r}, Exchange.{exchange.name}, "
         f"{start:%Y-%m-%d} .. {end:%Y-%m-%d}, Interval.DAILY))")
    daily = feed.query_bar_history(HistoryRequest(symbol=contract, exchange=exchange, start=start, end=end,
                                                  interval=Interval.DAILY))
    table(bar_rows(daily), ["datetime", "open", "high", "low", "close", "volume", "turnover", "open_interest"],
          head=3, tail=5)

    section(f"One-minute bars of {contract} on trading day {tick_day} (the night session opens the evening before)")
    day_start = datetime.combine(tick_day, datetime.min.time(), CHINA_TZ)
    call(f"feed.query_bar_history(HistoryRequest({contract!r}, Exchange.{exchange.name}, "
         f"{tick_day} .. {tick_day}, Interval.MINUTE))")
    minutes = feed.query_bar_history(HistoryRequest(symbol=contract, exchange=exchange, start=day_start,
                                                    end=day_start, interval=Interval.MINUTE))
    table(bar_rows(minutes), ["datetime", "open", "high", "low", "close", "volume", "open_interest"], head=4, tail=3)
    if minutes and daily:
        same_day = next(bar for bar in daily if bar.datetime.date() == tick_day)
        print(f"   the {len(minutes)} minute bars add up to the daily bar of {tick_day}: volume "
              f"{sum(b.volume for b in minutes):,.0f} vs {same_day.volume:,.0f}, high "
              f"{max(b.high_price for b in minutes):g} vs {same_day.high_price:g}, low "
              f"{min(b.low_price for b in minutes):g} vs {same_day.low_price:g}")

    section(f"Ticks of {contract} on trading day {tick_day}")
    call(f"feed.query_tick_history(HistoryRequest({contract!r}, Exchange.{exchange.name}, {tick_day}))")
    ticks = feed.query_tick_history(HistoryRequest(symbol=contract, exchange=exchange, start=day_start))
    tick_rows = [
        {"datetime": t.datetime, "last": t.last_price, "last_volume": int(t.last_volume), "volume": int(t.volume),
         "bid_1": t.bid_price_1, "bid_vol_1": int(t.bid_volume_1), "ask_1": t.ask_price_1,
         "ask_vol_1": int(t.ask_volume_1), "open_interest": int(t.open_interest)}
        for t in ticks
    ]
    table(tick_rows, list(tick_rows[0]) if tick_rows else ["datetime"], head=3, tail=2)
    if ticks:
        last = ticks[-1]
        print(f"\n   five-level book of the last tick ({last.datetime:%H:%M:%S}, {last.name}, limits "
              f"{last.limit_down:g} .. {last.limit_up:g}):")
        book = [{"level": level, "bid_volume": int(getattr(last, f"bid_volume_{level}")),
                 "bid": getattr(last, f"bid_price_{level}"), "ask": getattr(last, f"ask_price_{level}"),
                 "ask_volume": int(getattr(last, f"ask_volume_{level}"))} for level in range(1, 6)]
        table(book, ["level", "bid_volume", "bid", "ask", "ask_volume"])

    section("Candlestick chart of the daily bars")
    if not daily:
        print("   no daily bars came back: no chart")
        return 1
    path = candlestick_chart(daily, args.chart_dir / f"{contract}_daily.png")
    print(f"   chart written to {path}")
    print(f"\n   received: {len(multipliers)} multipliers, {len(dominant)} dominant days, {len(contracts)} "
          f"contracts, {len(factors)} factors, {len(daily)} daily bars, {len(minutes)} minute bars, "
          f"{len(ticks)} ticks")
    return 0 if all((multipliers, dominant, contracts, factors, daily, minutes, ticks)) else 1


if __name__ == "__main__":
    sys.exit(main())
