"""The floor: what any client must spend to turn an answer into vn.py records.

One request with `requests`, one JSON decode, and a plain loop calling BarData/TickData
with explicit keywords on values converted before timing (`prepare`): aware datetimes
and floats, one tuple per record. It parses no time and converts no number, so it is a
lower bound that the datafeeds cannot reach exactly.
"""

from __future__ import annotations

import json
from datetime import datetime

import requests
from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, TickData

from shapes import CHINA, DATE_FORMAT, DATETIME_FORMAT, EXCHANGE, GATEWAY, HEADERS, SYMBOL, Shape

TICK_MEMBERS = (
    "volume", "turnover", "open_interest", "last_price", "last_volume", "limit_up", "limit_down",
    "open", "high", "low", "pre_close",
    "bid_price_1", "bid_price_2", "bid_price_3", "bid_price_4", "bid_price_5",
    "ask_price_1", "ask_price_2", "ask_price_3", "ask_price_4", "ask_price_5",
    "bid_volume_1", "bid_volume_2", "bid_volume_3", "bid_volume_4", "bid_volume_5",
    "ask_volume_1", "ask_volume_2", "ask_volume_3", "ask_volume_4", "ask_volume_5",
)  # fmt: skip


def prepare(shape: Shape) -> list[tuple]:
    records = json.loads(shape.raw)["data"]
    if shape.kind == "tick":
        return [
            (
                datetime.strptime(r["trading_datetime"], DATETIME_FORMAT).replace(tzinfo=CHINA),
                r["name"],
                *(float(r[m]) for m in TICK_MEMBERS),
            )
            for r in records
        ]
    time_member, time_format = (
        ("trading_datetime", DATETIME_FORMAT) if shape.kind == "minute" else ("trading_date", DATE_FORMAT)
    )
    return [
        (
            datetime.strptime(r[time_member], time_format).replace(tzinfo=CHINA),
            float(r["open_price"]),
            float(r["high_price"]),
            float(r["low_price"]),
            float(r["close_price"]),
            float(r["volume"]),
            float(r["turnover"]),
            float(r["open_interest"]),
        )
        for r in records
    ]


def bar_records(prepared: list[tuple], interval: Interval) -> list[BarData]:
    bars = []
    for dt, open_price, high_price, low_price, close_price, volume, turnover, open_interest in prepared:
        bars.append(
            BarData(
                symbol=SYMBOL,
                exchange=EXCHANGE,
                interval=interval,
                datetime=dt,
                open_price=open_price,
                high_price=high_price,
                low_price=low_price,
                close_price=close_price,
                volume=volume,
                turnover=turnover,
                open_interest=open_interest,
                gateway_name=GATEWAY,
            )
        )
    return bars


def tick_records(prepared: list[tuple]) -> list[TickData]:
    ticks = []
    for (
        dt, name, volume, turnover, open_interest, last_price, last_volume, limit_up, limit_down,
        open_price, high_price, low_price, pre_close,
        bid_price_1, bid_price_2, bid_price_3, bid_price_4, bid_price_5,
        ask_price_1, ask_price_2, ask_price_3, ask_price_4, ask_price_5,
        bid_volume_1, bid_volume_2, bid_volume_3, bid_volume_4, bid_volume_5,
        ask_volume_1, ask_volume_2, ask_volume_3, ask_volume_4, ask_volume_5,
    ) in prepared:  # fmt: skip
        ticks.append(
            TickData(
                symbol=SYMBOL,
                exchange=EXCHANGE,
                datetime=dt,
                name=name,
                volume=volume,
                turnover=turnover,
                open_interest=open_interest,
                last_price=last_price,
                last_volume=last_volume,
                limit_up=limit_up,
                limit_down=limit_down,
                open_price=open_price,
                high_price=high_price,
                low_price=low_price,
                pre_close=pre_close,
                bid_price_1=bid_price_1,
                bid_price_2=bid_price_2,
                bid_price_3=bid_price_3,
                bid_price_4=bid_price_4,
                bid_price_5=bid_price_5,
                ask_price_1=ask_price_1,
                ask_price_2=ask_price_2,
                ask_price_3=ask_price_3,
                ask_price_4=ask_price_4,
                ask_price_5=ask_price_5,
                bid_volume_1=bid_volume_1,
                bid_volume_2=bid_volume_2,
                bid_volume_3=bid_volume_3,
                bid_volume_4=bid_volume_4,
                bid_volume_5=bid_volume_5,
                ask_volume_1=ask_volume_1,
                ask_volume_2=ask_volume_2,
                ask_volume_3=ask_volume_3,
                ask_volume_4=ask_volume_4,
                ask_volume_5=ask_volume_5,
                gateway_name=GATEWAY,
            )
        )
    return ticks


def build(shape: Shape) -> list:
    if shape.kind == "tick":
        return tick_records(shape.prepared)
    return bar_records(shape.prepared, Interval.MINUTE if shape.kind == "minute" else Interval.DAILY)


def query(shape: Shape) -> list:
    # The response goes as soon as it is decoded; the decoded body is held, as the
    # datafeeds hold theirs, while the records are built.
    url = shape.base_url + shape.endpoint
    response = requests.post(url, json=shape.request_body(), headers=HEADERS, timeout=10)
    data = response.json()  # noqa: F841
    del response
    return build(shape)


def convert(shape: Shape, handed_over: list) -> list:
    data = handed_over.pop()  # noqa: F841 - dropped on return, as the datafeeds drop theirs
    return build(shape)
