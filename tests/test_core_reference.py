"""The reference-data queries (dominant contract, tradable contracts, adjustment factors,
contract multipliers): what they send, the lines they log, and that they hand back the
service's own `data` object, whatever it is."""

from dataclasses import dataclass

import pytest
import requests
from fakes import StandInRequests

OK = ("INFO", "请求成功！状态码: 200")


@dataclass(frozen=True)
class Query:
    name: str
    endpoint: str
    failure: str
    success: str  # template over symbol and count
    no_data: str  # template over symbol


QUERIES = {
    "dominant": Query("query_dominant", "/dominant/query", "NorviX获取主力合约数据失败：",
                      "NorvixData获取{}的主力合约数据成功，共{}条", "NorvixData未获取到{}的主力合约数据"),
    "contracts": Query("query_contracts", "/current/query", "NorviX获取当天可交易合约失败：",
                       "NorvixData获取{}的当天可交易合约成功，共{}条", "NorvixData未获取到{}的当天可交易合约数据"),
    "ex_factor": Query("query_ex_factor", "/exfactor/query", "NorviX获取复权因子失败：",
                       "NorvixData获取{}的复权因子成功，共{}条", "NorvixData未获取到{}的复权因子数据"),
    "multiplier": Query("query_contract_multiplier", "/multiplier/query", "NorviX查询合约乘数失败：",
                        "NorvixData查询合约乘数成功，共{1}条", "NorvixData未查询到合约乘数数据"),
}
ARGS = {"dominant": ("rb", "2024-01-01", "2024-01-31"), "contracts": ("rb", "2024-03-05"),
        "ex_factor": ("rb", "2024-01-01", "2024-12-31"), "multiplier": ("rb",)}
OPENING = {
    "dominant": "dominant query, symbol: rb, start date: 2024-01-01, end date: 2024-01-31",
    "contracts": "dominant query, symbol: rb, trading_date: 2024-03-05",
    "ex_factor": "ex_factor query, symbol: rb, start date: 2024-01-01, end date: 2024-12-31",
    "multiplier": "contract_multiplier query, symbol: rb",
}


def call(feed, query: str, args: tuple | None = None):
    return getattr(feed, QUERIES[query].name)(*(ARGS[query] if args is None else args))


# --- what is sent and the opening line ------------------------------------------------------


@pytest.mark.parametrize(
    "query, args, opening, body",
    [
        ("dominant", ("rb", "2024-01-01", None), "dominant query, symbol: rb, start date: 2024-01-01, end date: None",
         [("symbol", "rb"), ("start_date", "2024-01-01"), ("end_date", None)]),
        ("dominant", (5, "", "last week"), "dominant query, symbol: 5, start date: , end date: last week",
         [("symbol", 5), ("start_date", ""), ("end_date", "last week")]),
        ("contracts", (None, "2024-03-05"), "dominant query, symbol: None, trading_date: 2024-03-05",
         [("symbol", None), ("trading_date", "2024-03-05")]),
        ("ex_factor", ("螺纹钢", None, "2024/12/31"),
         "ex_factor query, symbol: 螺纹钢, start date: None, end date: 2024/12/31",
         [("symbol", "螺纹钢"), ("start_date", None), ("end_date", "2024/12/31")]),
    ],
)
def test_post_queries_send_their_arguments_unchanged(feed, server, logs, query, args, opening, body):
    call(feed, query, args)
    [received] = server.requests
    assert (received.method, received.path, received.query) == ("POST", QUERIES[query].endpoint, "")
    assert list(received.json.items()) == body
    assert logs == [("INFO", opening), OK, ("INFO", QUERIES[query].no_data.format(args[0]))]


@pytest.mark.parametrize(
    "args, query_string, shown",
    [
        ((), "", "None"),
        ((None,), "", "None"),
        (("",), "symbol=", ""),
        (("rb",), "symbol=rb", "rb"),
        (("螺 纹&x",), "symbol=%E8%9E%BA+%E7%BA%B9%26x", "螺 纹&x"),
        ((7,), "symbol=7", "7"),
    ],
)
def test_multiplier_query_is_a_get_with_the_symbol_in_the_query_string(feed, server, logs, args, query_string, shown):
    feed.query_contract_multiplier(*args)
    [received] = server.requests
    assert (received.method, received.path, received.query, received.body) == (
        "GET", "/multiplier/query", query_string, b"")
    assert logs == [("INFO", f"contract_multiplier query, symbol: {shown}"), OK,
                    ("INFO", "NorvixData未查询到合约乘数数据")]


# --- the records are the service's own object -------------------------------------------------


RECORDS = [{"symbol": "rb2405", "multiplier": 10}, {"symbol": "cu2405", "factor": None}, {}]


@pytest.mark.parametrize(
    "data, count",
    [
        (RECORDS, 3),
        ([], 0),
        (None, 0),
        ({"rb": 10}, 1),
        ("abc", 3),
        (0, 0),
        (False, 0),
        ("", 0),
        ({}, 0),
    ],
)
@pytest.mark.parametrize("query", list(QUERIES))
def test_result_is_the_data_member_itself(nd, feed, logs, monkeypatch, query, data, count):
    q = QUERIES[query]
    data = data if not isinstance(data, (list, dict)) else type(data)(data)  # one object per case
    monkeypatch.setattr(nd, "requests", StandInRequests({"code": 0, "message": "", "data": data}))
    assert call(feed, query) is data
    line = q.success.format("rb", count) if count else q.no_data.format("rb")
    assert logs == [("INFO", OPENING[query]), OK, ("INFO", line)]


@pytest.mark.parametrize("query", list(QUERIES))
def test_absent_data_member_gives_a_new_empty_list(nd, feed, logs, monkeypatch, query):
    monkeypatch.setattr(nd, "requests", StandInRequests({"code": 0}))
    first, second = call(feed, query), call(feed, query)
    assert first == [] and type(first) is list and first is not second
    assert logs[2] == ("INFO", QUERIES[query].no_data.format("rb"))


@pytest.mark.parametrize("data, type_name", [(5, "int"), (True, "bool"), (2.5, "float")])
@pytest.mark.parametrize("query", list(QUERIES))
def test_data_member_without_a_length_raises(feed, server, logs, query, data, type_name):
    server.route(QUERIES[query].endpoint, server.reply_json({"code": 0, "data": data}))
    with pytest.raises(TypeError, match=rf"^object of type '{type_name}' has no len\(\)$"):
        call(feed, query)
    assert logs == [("INFO", OPENING[query]), OK]


@pytest.mark.parametrize("body, type_name", [([{"code": 0}], "list"), ("text", "str"), (1, "int"), (True, "bool")])
@pytest.mark.parametrize("query", list(QUERIES))
def test_body_that_is_not_an_object_raises(feed, server, logs, query, body, type_name):
    server.route(QUERIES[query].endpoint, server.reply_json(body))
    with pytest.raises(AttributeError, match=rf"^'{type_name}' object has no attribute 'get'$"):
        call(feed, query)
    assert logs == [("INFO", OPENING[query]), OK]


# --- failures ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "user, password, refusal",
    [("", "secret-pass", "Norvix数据服务：用户名为空！"), ("user", "", "Norvix数据服务：密码为空！")],
)
@pytest.mark.parametrize("query", list(QUERIES))
def test_refused_credentials_send_nothing(feed, server, logs, query, user, password, refusal):
    feed.initialize(user, password)
    logs.clear()
    assert call(feed, query) == []
    assert logs == [("INFO", OPENING[query]), ("INFO", refusal), ("INFO", QUERIES[query].failure + "rb")]
    assert server.requests == []


@pytest.mark.parametrize(
    "query, args, failure",
    [
        ("contracts", ("rb", "2024-03-05"), "NorviX获取当天可交易合约失败：rb,abc"),
        ("multiplier", (), "NorviX查询合约乘数失败：None,abc"),
        ("multiplier", ("",), "NorviX查询合约乘数失败：,abc"),
        ("dominant", (None, None, None), "NorviX获取主力合约数据失败：None,abc"),
    ],
)
def test_service_refusal_names_the_symbol(feed, server, logs, query, args, failure):
    server.route(QUERIES[query].endpoint, server.reply_json({"code": 5, "message": "abc", "data": RECORDS}))
    assert call(feed, query, args) == []
    assert logs[1:] == [OK, ("INFO", failure)]
