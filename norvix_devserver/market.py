"""The synthetic market's fixed facts: products, the exchange calendar, trading
sessions and the rules that name, list and expire contracts.

Products carry their exchange's real contract terms (multiplier, tick size, delivery
months, sessions, last trading day). The calendar is the weekdays less the exchange
closures of 2023 to mid-2025; a night session belongs to the next trading day and is
not held when a holiday lies between the two trading days.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from functools import lru_cache

DATE_FORMAT = "%Y-%m-%d"
DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"

COMMODITY_DAY = ((time(9, 0), time(10, 15)), (time(10, 30), time(11, 30)), (time(13, 30), time(15, 0)))
INDEX_DAY = ((time(9, 30), time(11, 30)), (time(13, 0), time(15, 0)))
NIGHT_START = time(21, 0)


@dataclass(frozen=True)
class Product:
    symbol: str
    exchange: str
    name: str
    multiplier: int
    price_tick: float
    quote_unit: str
    months: tuple[int, ...]  # delivery months that are listed
    active_months: tuple[int, ...]  # the months where volume and open interest gather
    last_day: str  # "15th" | "10th_trading_day" | "third_friday"
    night_end: time | None  # None: no night session; before 21:00 means after midnight
    day_sessions: tuple[tuple[time, time], ...]
    # Price model
    start_price: float  # level of the market at the start of the data
    annual_drift: float
    daily_vol: float
    annual_carry: float  # far contracts trade at (1 + carry * years to expiry) of the near one
    limit_ratio: float
    # Activity model
    peak_open_interest: int
    turnover_ratio: float  # daily volume / open interest of an active contract
    roll_days: float  # an active contract's open interest collapses about this many days before expiry
    roll_width: float
    decay_days: float  # open interest of far contracts shrinks by e with this many more days to expiry
    depth_lots: int  # typical resting volume per book level
    tick_rate: float  # chance that a given second carries a tick

    @property
    def price_digits(self) -> int:
        text = f"{self.price_tick:.10f}".rstrip("0")
        return len(text.split(".")[1]) if "." in text else 0

    def instrument_id(self, year: int, month: int) -> str:
        # Zhengzhou writes one digit of the year (SR409), the other exchanges two (rb2410).
        year_code = f"{year % 10}" if self.exchange == "CZCE" else f"{year % 100:02d}"
        return f"{self.symbol}{year_code}{month:02d}"


PRODUCTS: dict[str, Product] = {
    product.symbol: product
    for product in (
        Product("rb", "SHFE", "螺纹钢", 10, 1.0, "元/吨", tuple(range(1, 13)), (1, 5, 10), "15th", time(23, 0),
                COMMODITY_DAY, 3750.0, -0.03, 0.012, -0.04, 0.07, 1_900_000, 0.85, 42.0, 7.0, 120.0, 320, 0.92),
        Product("au", "SHFE", "黄金", 1000, 0.02, "元/克", (2, 4, 6, 8, 10, 12), (6, 12), "15th", time(2, 30),
                COMMODITY_DAY, 452.0, 0.22, 0.008, 0.025, 0.08, 220_000, 1.1, 38.0, 7.0, 160.0, 18, 0.9),
        Product("IF", "CFFEX", "沪深300股指", 300, 0.2, "指数点", tuple(range(1, 13)), tuple(range(1, 13)),
                "third_friday", None, INDEX_DAY, 3880.0, -0.08, 0.011, -0.03, 0.10, 160_000, 0.65, 2.0, 1.0,
                25.0, 6, 0.95),
        Product("m", "DCE", "豆粕", 10, 1.0, "元/吨", (1, 3, 5, 7, 8, 9, 11, 12), (1, 5, 9), "10th_trading_day",
                time(23, 0), COMMODITY_DAY, 4050.0, -0.18, 0.011, -0.05, 0.07, 1_600_000, 0.7, 45.0, 7.0, 120.0,
                260, 0.9),
        Product("SR", "CZCE", "白糖", 10, 1.0, "元/吨", (1, 3, 5, 7, 9, 11), (1, 5, 9), "10th_trading_day",
                time(23, 0), COMMODITY_DAY, 6700.0, -0.10, 0.009, -0.02, 0.07, 650_000, 0.6, 45.0, 7.0, 120.0,
                90, 0.85),
    )
}

# Exchange closures on weekdays (New Year, Spring Festival, Qingming, Labour Day, Dragon
# Boat, Mid-Autumn, National Day).
HOLIDAYS = frozenset(
    date.fromisoformat(text)
    for text in (
        "2023-01-02", "2023-01-23", "2023-01-24", "2023-01-25", "2023-01-26", "2023-01-27",
        "2023-04-05", "2023-05-01", "2023-05-02", "2023-05-03", "2023-06-22", "2023-06-23",
        "2023-09-29", "2023-10-02", "2023-10-03", "2023-10-04", "2023-10-05", "2023-10-06",
        "2024-01-01", "2024-02-09", "2024-02-12", "2024-02-13", "2024-02-14", "2024-02-15", "2024-02-16",
        "2024-04-04", "2024-04-05", "2024-05-01", "2024-05-02", "2024-05-03", "2024-06-10",
        "2024-09-16", "2024-09-17", "2024-10-01", "2024-10-02", "2024-10-03", "2024-10-04", "2024-10-07",
        "2025-01-01", "2025-01-28", "2025-01-29", "2025-01-30", "2025-01-31", "2025-02-03", "2025-02-04",
        "2025-04-04", "2025-05-01", "2025-05-02", "2025-05-05", "2025-06-02",
    )
)


# --- calendar ---------------------------------------------------------------------------


def is_trading_day(day: date) -> bool:
    return day.weekday() < 5 and day not in HOLIDAYS


def next_trading_day(day: date) -> date:
    day += timedelta(days=1)
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def previous_trading_day(day: date) -> date:
    day -= timedelta(days=1)
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def trading_on_or_after(day: date) -> date:
    return day if is_trading_day(day) else next_trading_day(day)


def trading_days(start: date, end: date) -> list[date]:
    days = []
    day = trading_on_or_after(start)
    while day <= end:
        days.append(day)
        day = next_trading_day(day)
    return days


def has_night_session(trading_day: date) -> bool:
    """The night session of a trading day runs on the evening of the trading day before;
    there is none when a holiday lies between the two (weekends do not count)."""
    day = previous_trading_day(trading_day) + timedelta(days=1)
    while day < trading_day:
        if day in HOLIDAYS:
            return False
        day += timedelta(days=1)
    return True


@lru_cache(maxsize=None)
def session_bounds(product: Product, trading_day: date) -> tuple[tuple[datetime, datetime], ...]:
    """The [start, end) wall-clock intervals of one trading day, in trading order."""
    bounds = []
    if product.night_end is not None and has_night_session(trading_day):
        evening = previous_trading_day(trading_day)
        start = datetime.combine(evening, NIGHT_START)
        end_day = evening if product.night_end > NIGHT_START else evening + timedelta(days=1)
        bounds.append((start, datetime.combine(end_day, product.night_end)))
    for begin, end in product.day_sessions:
        bounds.append((datetime.combine(trading_day, begin), datetime.combine(trading_day, end)))
    return tuple(bounds)


# --- contracts --------------------------------------------------------------------------


@dataclass(frozen=True)
class Contract:
    instrument_id: str
    product: Product
    year: int
    month: int
    list_date: date
    expire_date: date

    @property
    def name(self) -> str:
        return f"{self.product.name}{self.instrument_id[len(self.product.symbol):]}"

    def is_listed(self, day: date) -> bool:
        return self.list_date <= day <= self.expire_date

    @property
    def is_active_month(self) -> bool:
        return self.month in self.product.active_months


def last_trading_day(product: Product, year: int, month: int) -> date:
    if product.last_day == "15th":
        return trading_on_or_after(date(year, month, 15))
    if product.last_day == "10th_trading_day":
        day = trading_on_or_after(date(year, month, 1))
        for _ in range(9):
            day = next_trading_day(day)
        return day
    if product.last_day == "third_friday":
        first = date(year, month, 1)
        friday = first + timedelta(days=(4 - first.weekday()) % 7 + 14)
        return trading_on_or_after(friday)
    raise ValueError(f"unknown last trading day rule {product.last_day!r}")


def _month_after(year: int, month: int, count: int = 1) -> tuple[int, int]:
    index = year * 12 + (month - 1) + count
    return index // 12, index % 12 + 1


def _current_month(product: Product, day: date) -> tuple[int, int]:
    """The nearest contract month not yet expired on `day`."""
    if day > last_trading_day(product, day.year, day.month):
        return _month_after(day.year, day.month)
    return day.year, day.month


def _index_set(product: Product, day: date) -> set[tuple[int, int]]:
    """Index futures trade the current and the next month and the next two quarter months."""
    current = _current_month(product, day)
    following = _month_after(*current)
    quarters = []
    year, month = following
    while len(quarters) < 2:
        year, month = _month_after(year, month)
        if month % 3 == 0:
            quarters.append((year, month))
    return {current, following, *quarters}


def list_date(product: Product, year: int, month: int) -> date:
    if product.last_day == "third_friday":
        # The set of listed months only changes the day after an expiry.
        day = trading_on_or_after(date(year - 1, month, 1))
        while (year, month) not in _index_set(product, day):
            day = next_trading_day(last_trading_day(product, *_current_month(product, day)))
        return day
    # Commodity contracts list the trading day after the same month's contract of the year before expires.
    return next_trading_day(last_trading_day(product, year - 1, month))


def contracts_between(product: Product, start: date, end: date) -> list[Contract]:
    """Every contract of the product listed on some day of [start, end], by expiry."""
    contracts = []
    for year in range(start.year - 1, end.year + 3):
        for month in product.months:
            expire = last_trading_day(product, year, month)
            listed = list_date(product, year, month)
            if expire >= start and listed <= end:
                contracts.append(Contract(product.instrument_id(year, month), product, year, month, listed, expire))
    contracts.sort(key=lambda contract: contract.expire_date)
    return contracts
