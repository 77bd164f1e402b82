"""The request layer (_make_request) and the service envelope check, against a real local server."""

import pytest
import requests

OK = ("INFO", "请求成功！状态码: 200")


def _relative_order(received, names):
    lowered = [name.lower() for name, _ in received.headers]
    return [lowered.index(name.lower()) for name in names]


def test_headers_go_with_every_request(feed, server):
    feed._make_request(method="GET", endpoint="/multiplier/query", json_data={"symbol": "rb"})
    feed._make_request(method="POST", endpoint="/daybar/query", json_data={"a": 1})
    assert [r.method for r in server.requests] == ["GET", "POST"]
    for received in server.requests:
        assert received.header("Content-Type") == "application/json"
        assert received.header("User-Agent") == "Python/requests (JSON POST)"
        assert received.header("mobile") == "user"
        assert received.header("token") == "secret-pass"
        positions = _relative_order(received, ["Content-Type", "mobile", "token"])
        assert positions == sorted(positions)


@pytest.mark.parametrize(
    "json_data, query, params",
    [
        ({"symbol": "rb"}, "symbol=rb", {"symbol": ["rb"]}),
        ({"symbol": ""}, "symbol=", {"symbol": [""]}),
        ({"symbol": None}, "", {}),
        ({"symbol": "rb", "start_date": None, "end_date": "2024-01-02"}, "symbol=rb&end_date=2024-01-02",
         {"symbol": ["rb"], "end_date": ["2024-01-02"]}),
    ],
)
def test_get_sends_the_mapping_as_query_string(feed, server, logs, json_data, query, params):
    body = server.envelope([{"symbol": "rb", "multiplier": 10}])
    server.route("/multiplier/query", server.reply_json(body))
    assert feed._make_request(method="GET", endpoint="/multiplier/query", json_data=json_data) == body
    [received] = server.requests
    assert (received.method, received.path, received.query, received.params) == ("GET", "/multiplier/query", query, params)
    assert received.body == b""
    assert logs == [OK]


@pytest.mark.parametrize("method", ["POST", "get", "Get", "PUT", ""])
def test_anything_but_exact_get_is_a_json_post(feed, server, logs, method):
    json_data = {"symbol": "rb", "start_date": "2024-01-01", "end_date": None, "limit": 2000}
    result = feed._make_request(method=method, endpoint="/dominant/query", json_data=json_data, timeout=10)
    [received] = server.requests
    assert (received.method, received.path, received.query) == ("POST", "/dominant/query", "")
    assert received.json == json_data
    assert list(received.json) == ["symbol", "start_date", "end_date", "limit"]
    assert result == server.envelope([])
    assert logs == [OK]


def test_url_is_plain_concatenation(feed, server):
    feed.base_url = server.url + "/api"
    feed._make_request(method="POST", endpoint="/x/query", json_data={})
    feed._make_request(method="POST", endpoint="y", json_data={})
    assert [r.path for r in server.requests] == ["/api/x/query", "/apiy"]


@pytest.mark.parametrize(
    "value",
    [[], [1, {"a": None}], "text", 0, None, {"code": 7}],
)
def test_success_returns_the_decoded_value_unchanged(feed, server, logs, value):
    server.default = server.reply_json(value)
    result = feed._make_request(method="POST", endpoint="/x", json_data={})
    assert result == value and type(result) is type(value)
    assert logs == [OK]


@pytest.mark.parametrize("status", [201, 203, 299])
def test_other_success_statuses(feed, server, logs, status):
    server.default = server.reply_json({"code": 0}, status=status)
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {"code": 0}
    assert logs == [("INFO", f"请求成功！状态码: {status}")]


@pytest.mark.parametrize(
    "status, body, lines",
    [
        (404, b"not here", [("ERROR", "错误：HTTP请求失败，状态码: 404"), ("ERROR", "错误响应内容: not here")]),
        (500, b"", [("ERROR", "错误：HTTP请求失败，状态码: 500")]),
        (403, "无权限 {x}".encode(), [("ERROR", "错误：HTTP请求失败，状态码: 403"), ("ERROR", "错误响应内容: 无权限 {x}")]),
        (503, b'{"code": 0, "data": [1]}',
         [("ERROR", "错误：HTTP请求失败，状态码: 503"), ("ERROR", '错误响应内容: {"code": 0, "data": [1]}')]),
    ],
)
def test_error_status(feed, server, logs, status, body, lines):
    server.default = server.Reply(status, {"Content-Type": "text/plain; charset=utf-8"}, body)
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert logs == lines


@pytest.mark.parametrize("body", [b"<html>oops</html>", b"", b"{\"code\": 0", b"NaN-ish"])
def test_body_that_is_not_json(feed, server, logs, body):
    server.default = server.Reply(200, {"Content-Type": "application/json"}, body)
    assert feed._make_request(method="GET", endpoint="/x", json_data={}) == {}
    assert logs == [("ERROR", "错误：响应不是有效的JSON格式")]


def test_connection_refused(feed, refused_port, logs):
    feed.base_url = f"http://127.0.0.1:{refused_port}"
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert logs == [("ERROR", "错误：无法连接到目标服务器")]


@pytest.mark.parametrize("timeout", [0.5, 1])
def test_read_timeout(feed, server, logs, timeout):
    server.default = server.reply_json({"code": 0}, delay=timeout + 1.5)
    assert feed._make_request(method="POST", endpoint="/slow", json_data={}, timeout=timeout) == {}
    assert logs == [("ERROR", f"错误：请求超时（{timeout}秒）")]
    assert len(server.requests) == 1


def _requests_error(url, json_data=None):
    try:
        requests.post(url=url, json=json_data or {}, timeout=1)
    except Exception as exc:  # the library's own text is what gets logged
        return str(exc)
    raise AssertionError(f"{url!r} was accepted")


@pytest.mark.parametrize("base_url", ["nota url", "", "ftp://127.0.0.1:1", "http://"])
def test_invalid_url_is_an_unknown_error(feed, logs, base_url):
    feed.base_url = base_url
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert logs == [("ERROR", "未知错误：" + _requests_error(base_url + "/x"))]


def test_base_url_that_cannot_be_joined(feed, logs):
    feed.base_url = None
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert logs == [("ERROR", "未知错误：unsupported operand type(s) for +: 'NoneType' and 'str'")]


def test_body_that_cannot_be_serialised(feed, server, logs):
    json_data = {"v": float("nan")}
    assert feed._make_request(method="POST", endpoint="/x", json_data=json_data) == {}
    assert server.requests == []
    assert logs == [("ERROR", "未知错误：" + _requests_error(server.url + "/x", json_data))]


@pytest.mark.parametrize(
    "user, password, line",
    [
        ("", "secret-pass", "Norvix数据服务：用户名为空！"),
        (None, "secret-pass", "Norvix数据服务：用户名为空！"),
        ("", "", "Norvix数据服务：用户名为空！"),
        ("user", "", "Norvix数据服务：密码为空！"),
        ("user", None, "Norvix数据服务：密码为空！"),
        ("user", 0, "Norvix数据服务：密码为空！"),
    ],
)
def test_empty_credentials_send_nothing(feed, server, logs, user, password, line):
    feed.initialize(user, password)
    logs.clear()
    for method in ("GET", "POST"):
        assert feed._make_request(method=method, endpoint="/x", json_data={"symbol": "rb"}) == {}
    assert server.requests == []
    assert logs == [("INFO", line)] * 2


def test_every_failure_returns_a_new_mapping(feed, refused_port):
    feed.base_url = f"http://127.0.0.1:{refused_port}"
    first = feed._make_request(method="POST", endpoint="/x", json_data={})
    first["dirty"] = True
    second = feed._make_request(method="POST", endpoint="/x", json_data={})
    feed.initialize("", "")
    third = feed._make_request(method="POST", endpoint="/x", json_data={})
    third["dirty"] = True
    fourth = feed._make_request(method="POST", endpoint="/x", json_data={})
    assert second == {} and fourth == {}
    assert type(second) is dict and type(fourth) is dict
    assert len({id(first), id(second), id(third), id(fourth)}) == 4


def test_keyboard_interrupt_is_not_swallowed(nd, feed, server, logs, monkeypatch):
    def interrupted(**kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(nd.requests, "post", interrupted)
    with pytest.raises(KeyboardInterrupt):
        feed._make_request(method="POST", endpoint="/x", json_data={})
    assert logs == []


# --- the envelope check, seen through the reference queries ------------------------------

QUERIES = {
    "dominant": (lambda f: f.query_dominant("rb", "2024-01-01", "2024-01-31"),
                 "/dominant/query", "NorviX获取主力合约数据失败：rb", "NorvixData获取rb的主力合约数据成功，共{}条",
                 "NorvixData未获取到rb的主力合约数据"),
    "contracts": (lambda f: f.query_contracts("rb", "2024-03-05"),
                  "/current/query", "NorviX获取当天可交易合约失败：rb", "NorvixData获取rb的当天可交易合约成功，共{}条",
                  "NorvixData未获取到rb的当天可交易合约数据"),
    "ex_factor": (lambda f: f.query_ex_factor("rb", None, None),
                  "/exfactor/query", "NorviX获取复权因子失败：rb", "NorvixData获取rb的复权因子成功，共{}条",
                  "NorvixData未获取到rb的复权因子数据"),
    "multiplier": (lambda f: f.query_contract_multiplier(),
                   "/multiplier/query", "NorviX查询合约乘数失败：None", "NorvixData查询合约乘数成功，共{}条",
                   "NorvixData未查询到合约乘数数据"),
}


@pytest.mark.parametrize(
    "body, failure_suffix",
    [
        ({}, ""),
        ([], ""),
        (None, ""),
        (0, ""),
        (False, ""),
        ({"code": 1, "message": "abc"}, ",abc"),
        ({"code": "0"}, ",None"),
        ({"message": "no code"}, ",no code"),
        ({"code": None, "message": None, "data": [{"a": 1}]}, ",None"),
        ({"code": 0.5, "message": 7}, ",7"),
    ],
)
@pytest.mark.parametrize("query", list(QUERIES))
def test_envelope_failures(feed, server, logs, query, body, failure_suffix):
    call, endpoint, failure, _, _ = QUERIES[query]
    server.route(endpoint, server.reply_json(body))
    result = call(feed)
    assert result == [] and type(result) is list
    assert logs[1:] == [OK, ("INFO", failure + failure_suffix)]


@pytest.mark.parametrize(
    "body, records",
    [
        ({"code": 0, "data": [{"x": 1}, {"x": 2}, {"y": None}]}, [{"x": 1}, {"x": 2}, {"y": None}]),
        ({"code": 0.0, "data": ["r"]}, ["r"]),
        ({"code": False, "data": [1, 2]}, [1, 2]),
        ({"code": 0}, []),
        ({"code": 0, "data": []}, []),
        ({"code": 0, "data": None}, None),
    ],
)
@pytest.mark.parametrize("query", list(QUERIES))
def test_envelope_success(feed, server, logs, query, body, records):
    call, endpoint, _, success, no_data = QUERIES[query]
    server.route(endpoint, server.reply_json(body))
    assert call(feed) == records
    line = success.format(len(records)) if records else no_data
    assert logs[1:] == [OK, ("INFO", line)]


def test_transport_failure_then_query_failure_line(feed, server, logs):
    server.route("/exfactor/query", server.Reply(502, {}, b"bad gateway"))
    assert feed.query_ex_factor("rb", "2024-01-01", "2024-12-31") == []
    assert logs == [
        ("INFO", "ex_factor query, symbol: rb, start date: 2024-01-01, end date: 2024-12-31"),
        ("ERROR", "错误：HTTP请求失败，状态码: 502"),
        ("ERROR", "错误响应内容: bad gateway"),
        ("INFO", "NorviX获取复权因子失败：rb"),
    ]


@pytest.mark.parametrize("body", [[1], "text", 3, True])
def test_envelope_that_is_not_an_object_raises(feed, server, body):
    server.route("/dominant/query", server.reply_json(body))
    with pytest.raises(AttributeError):
        feed.query_dominant("rb", None, None)


@pytest.mark.parametrize("password", [" other-secret", "other-secret\n"])
def test_a_rejected_header_does_not_put_the_password_in_the_log(feed, server, logs, password):
    feed.initialize("user", password)
    logs.clear()
    with pytest.raises(requests.exceptions.InvalidHeader) as raised:
        requests.post(server.url + "/x", json={}, headers={"token": password}, timeout=1)
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert server.requests == []
    expected = f"未知错误：{raised.value}".replace(repr(password)[1:-1], "******")
    assert "other-secret" in str(raised.value) and "other-secret" not in expected
    assert logs == [("ERROR", expected)]


def test_an_error_body_echoing_the_password_is_masked(feed, server, logs):
    server.default = server.Reply(401, {"Content-Type": "text/plain"}, b"bad token secret-pass for user")
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
    assert logs == [("ERROR", "错误：HTTP请求失败，状态码: 401"), ("ERROR", "错误响应内容: bad token ****** for user")]
