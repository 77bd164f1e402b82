"""The trading hours of every futures product of the exchanges served, as dated data, and
the sessions of one trading day (`sessions_of`).

Sources: each exchange's published trading hours ("交易时间" on the sites of SHFE and INE,
DCE, CZCE, GFEX and CFFEX) and their notices of changes, dated below. Hours are China
time. A day segment ends where trading stops, so that [start, end) holds its minutes
(10:15 ends the first session of a commodity). A night session opens at 21:00 on the
evening of the trading day before and ends at the product's `night_end` (23:00, 01:00 or
02:30, the last two after midnight). Which trading days have a night session at all is the
calendar's rule (`Calendar.night_session`), with the exchanges' dated suspensions below.

The table starts on FIRST_DATED: hours before it are not known here, and asking for them
is an error rather than a guess.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date, datetime, time, timedelta

from vnpy.trader.constant import Exchange

from norvix_datafeed import CHINA_TZ

from ..calendar import EXCHANGE_DAYS, Calendar
from ..names import product_of

Segment = tuple[datetime, datetime]

NIGHT_OPENS = time(21, 0)
FIRST_DATED = date(2016, 1, 1)


@dataclass(frozen=True)
class Hours:
    """A product's hours from `since` on: its day segments in order, the end of its night
    session (None: no night session)."""

    since: date
    day: tuple[tuple[time, time], ...]
    night_end: time | None


def _segments(*pairs: str) -> tuple[tuple[time, time], ...]:
    return tuple((time.fromisoformat(begin), time.fromisoformat(end))
                 for begin, end in (pair.split("-") for pair in pairs))


# Commodities on every commodity exchange: a quarter-hour break at 10:15, lunch 11:30-13:30.
COMMODITY = _segments("09:00-10:15", "10:30-11:30", "13:30-15:00")
# CFFEX stock index futures, from 2016-01-01 (CFFEX notice of 2015-12: the open moved from
# 09:15 to 09:30 and the close from 15:15 to 15:00).
INDEX = _segments("09:30-11:30", "13:00-15:00")
# CFFEX treasury bond futures; from 2020-07-20 they open at 09:30 (CFFEX notice of
# 2020-06-19), before at 09:15.
BOND = _segments("09:30-11:30", "13:00-15:15")
BOND_BEFORE_2020 = _segments("09:15-11:30", "13:00-15:15")

H23, H0100, H0230 = time(23, 0), time(1, 0), time(2, 30)
H2330 = time(23, 30)


def _same(products: str, *hours: Hours) -> dict[str, tuple[Hours, ...]]:
    return {product: hours for product in products.split()}


def _always(day: tuple[tuple[time, time], ...], night_end: time | None) -> Hours:
    return Hours(FIRST_DATED, day, night_end)


TABLE: dict[Exchange, dict[str, tuple[Hours, ...]]] = {
    # SHFE: base metals and stainless steel to 01:00 (ao listed 2023-06-19, ad 2025-06-10),
    # precious metals to 02:30; rebar, hot-rolled coil and bitumen moved from 01:00 to
    # 23:00 on 2016-05-03 (SHFE notice of 2016-04); rubber, fuel oil, pulp, butadiene
    # rubber and offset printing paper (op) to 23:00; wire rod has no night session.
    Exchange.SHFE: {
        **_same("cu al zn pb ni sn ss ao ad", _always(COMMODITY, H0100)),
        **_same("au ag", _always(COMMODITY, H0230)),
        **_same("rb hc bu", _always(COMMODITY, H0100), Hours(date(2016, 5, 3), COMMODITY, H23)),
        **_same("ru fu sp br op", _always(COMMODITY, H23)),
        **_same("wr", _always(COMMODITY, None)),
    },
    # INE: crude oil to 02:30, international copper to 01:00, 20-rubber and low-sulphur
    # fuel oil to 23:00; the container freight index (ec) trades by day only.
    Exchange.INE: {
        **_same("sc", _always(COMMODITY, H0230)),
        **_same("bc", _always(COMMODITY, H0100)),
        **_same("nr lu", _always(COMMODITY, H23)),
        **_same("ec", _always(COMMODITY, None)),
    },
    # DCE: night sessions end at 23:00 from 2019-03-29 (DCE notice of 2019-03), at 23:30
    # before (pure benzene, bz, listed since); eggs, live hogs, fibreboard, blockboard and
    # logs trade by day only.
    Exchange.DCE: {
        **_same("a b m y p c cs i j jm l v pp eg eb pg rr bz",
                _always(COMMODITY, H2330), Hours(date(2019, 3, 29), COMMODITY, H23)),
        **_same("jd lh fb bb lg", _always(COMMODITY, None)),
    },
    # CZCE: night sessions end at 23:00 from 2019-12-12 (CZCE notice of 2019-11), at 23:30
    # before; the agricultural products below the first line and the ferroalloys and urea
    # trade by day only.
    Exchange.CZCE: {
        **_same("SR CF CY TA MA FG RM OI ZC SA PF PX SH PR PL",
                _always(COMMODITY, H2330), Hours(date(2019, 12, 12), COMMODITY, H23)),
        **_same("AP CJ UR SM SF PK WH PM RI LR JR RS", _always(COMMODITY, None)),
    },
    # GFEX: industrial silicon, lithium carbonate, polysilicon; no night session.
    Exchange.GFEX: {
        **_same("si lc ps", _always(COMMODITY, None)),
    },
    # CFFEX: stock index and treasury bond futures, by day only.
    Exchange.CFFEX: {
        **_same("IF IH IC IM", _always(INDEX, None)),
        **_same("TS TF T TL", _always(BOND_BEFORE_2020, None), Hours(date(2020, 7, 20), BOND, None)),
    },
}

# Trading days on which no exchange held a night session although the calendar would
# have: the suspension from the first trading day after the 2020 Spring Festival until
# night trading resumed on the evening of 2020-05-06 (the exchanges' notices of 2020-01-31
# and 2020-04-30).
NO_NIGHT = ((date(2020, 2, 3), date(2020, 5, 6)),)

def hours_of(symbol: str, exchange: Exchange | str, trading_day: date) -> Hours:
    """The hours of the product of `symbol` on `trading_day`; ValueError for a product the
    table does not know on that exchange, or a day before the table starts."""
    product = product_of(symbol)
    try:
        products = TABLE[Exchange(exchange)]
    except ValueError:
        raise ValueError(f"{exchange!r} is not an exchange whose trading hours are known") from None
    except KeyError:
        raise ValueError(f"no trading hours are known for the exchange {Exchange(exchange).value}") from None
    dated = products.get(product)
    if dated is None:
        raise ValueError(f"{symbol!r} is no futures product of {Exchange(exchange).value} whose trading hours "
                         f"are known")
    if trading_day < FIRST_DATED:
        raise ValueError(f"trading hours are known from {FIRST_DATED} on, not on {trading_day}")
    return [hours for hours in dated if hours.since <= trading_day][-1]


# The call auction before a session opens (20:55-21:00, 08:55-09:00, 09:25-09:30): its
# trade is stamped there, minutes before the session's first minute.
AUCTION = timedelta(minutes=5)


def _reach() -> tuple[time, time, time, time]:
    """The earliest auction and latest close of the day sessions in the table, the night
    sessions' auction and their latest end (after midnight): where any record may lie."""
    hours = [h for products in TABLE.values() for dated in products.values() for h in dated]
    ends = [h.night_end for h in hours if h.night_end is not None]

    def auction(opens: time) -> time:
        return (datetime.combine(FIRST_DATED, opens) - AUCTION).time()

    return (auction(min(h.day[0][0] for h in hours)), max(h.day[-1][1] for h in hours), auction(NIGHT_OPENS),
            max(end for end in ends if end < NIGHT_OPENS))


DAY_FROM, DAY_TO, NIGHT_FROM, NIGHT_TO = _reach()


def in_sessions(moment: datetime) -> bool:
    """Whether an aware time lies where some product's session (or its call auction) may
    have a record, China time: within the day sessions or the night sessions of any
    product the table knows, ends included."""
    wall = moment.astimezone(CHINA_TZ).time()
    return DAY_FROM <= wall <= DAY_TO or wall >= NIGHT_FROM or wall <= NIGHT_TO


def sessions_of(symbol: str, exchange: Exchange | str, trading_day: date,
                calendar: Calendar = EXCHANGE_DAYS) -> list[Segment]:
    """The sessions of `trading_day` for the product of `symbol` (a contract like `rb2410`
    or a product like `rb`) as [start, end) pairs of aware China times, in trading order:
    the night session first (on the evening of the trading day before), then the day's.
    `[]` on a day without trading. `calendar` tells trading days and the days after
    holidays, which open without a night session (the default is the exchanges' published
    closures, `EXCHANGE_DAYS`; pass the service's where it differs). Raises ValueError for
    a product unknown on that exchange."""
    hours = hours_of(symbol, exchange, trading_day)
    if not calendar.is_open(trading_day):
        return []
    segments: list[Segment] = []
    suspended = any(first <= trading_day <= last for first, last in NO_NIGHT)
    if hours.night_end is not None and not suspended and calendar.night_session(trading_day):
        evening = calendar.previous_open(trading_day)
        ends = evening if hours.night_end > NIGHT_OPENS else evening + timedelta(days=1)
        segments.append((datetime.combine(evening, NIGHT_OPENS, CHINA_TZ),
                         datetime.combine(ends, hours.night_end, CHINA_TZ)))
    segments += [(datetime.combine(trading_day, begin, CHINA_TZ), datetime.combine(trading_day, end, CHINA_TZ))
                 for begin, end in hours.day]
    return segments
