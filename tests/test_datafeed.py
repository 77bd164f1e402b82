"""Datafeed construction and credentials."""

import pytest
from vnpy.trader.datafeed import BaseDatafeed

DEFAULT_URL = "http://127.0.0.1:8081"


def test_construction_without_settings(nd, settings, logs):
    feed = nd.NorvixDatafeed()
    assert isinstance(feed, BaseDatafeed)
    assert (feed.base_url, feed.username, feed.password) == (DEFAULT_URL, "", "")
    assert vars(feed) == {"base_url": DEFAULT_URL, "username": "", "password": ""}
    assert list(vars(feed)) == ["base_url", "username", "password"]
    assert logs == [("INFO", "Norvix数据模块已加载, 用户名: , 密钥: ")]


@pytest.mark.parametrize(
    "user, password, shown",
    [
        ("alice", "settings-secret", "******"),
        ("alice", "", ""),
        ("", "settings-secret", "******"),
        ("张三", 123, "******"),
    ],
)
def test_construction_reads_settings_and_masks_the_password(nd, settings, logs, monkeypatch, user, password, shown):
    monkeypatch.setitem(settings, "datafeed.username", user)
    monkeypatch.setitem(settings, "datafeed.password", password)
    feed = nd.NorvixDatafeed()
    assert feed.username is user and feed.password is password
    assert feed.base_url == DEFAULT_URL
    assert logs == [("INFO", f"Norvix数据模块已加载, 用户名: {user}, 密钥: {shown}")]


def test_settings_are_read_once_at_construction(nd, settings, monkeypatch):
    monkeypatch.setitem(settings, "datafeed.username", "alice")
    monkeypatch.setitem(settings, "datafeed.password", "settings-secret")
    feed = nd.NorvixDatafeed()
    monkeypatch.setitem(settings, "datafeed.username", "bob")
    assert feed.username == "alice"
    assert nd.NorvixDatafeed().username == "bob"


def test_settings_global_is_read_at_call_time(nd, monkeypatch, logs):
    calls = []

    class Settings(dict):
        def get(self, *args):
            calls.append(args)
            return super().get(*args)

    monkeypatch.setattr(nd, "SETTINGS", Settings({"datafeed.username": "carol"}))
    feed = nd.NorvixDatafeed()
    assert (feed.username, feed.password) == ("carol", "")
    assert calls == [("datafeed.username", ""), ("datafeed.password", "")]
    assert logs == [("INFO", "Norvix数据模块已加载, 用户名: carol, 密钥: ")]


@pytest.mark.parametrize(
    "user, password, shown",
    [
        ("u", "secret-pass", "******"),
        ("", "", ""),
        ("u", 123, "******"),
        (None, None, "******"),
        (42, "", ""),
    ],
)
def test_initialize_replaces_and_logs_masked(nd, settings, logs, user, password, shown):
    feed = nd.NorvixDatafeed()
    logs.clear()
    assert feed.initialize(user, password) is None
    assert feed.username is user and feed.password is password
    assert feed.base_url == DEFAULT_URL
    assert logs == [("INFO", f"initialize Norvix 账户、密码, username: {user}, password: {shown}")]


def test_initialize_twice_by_keyword(nd, settings, logs):
    feed = nd.NorvixDatafeed()
    feed.initialize("first", "secret-pass")
    feed.initialize(password="other-secret", username="second")
    assert (feed.username, feed.password) == ("second", "other-secret")
    assert logs[1:] == [
        ("INFO", "initialize Norvix 账户、密码, username: first, password: ******"),
        ("INFO", "initialize Norvix 账户、密码, username: second, password: ******"),
    ]


def test_init_calls_the_base_initialiser_without_arguments(nd, settings, monkeypatch):
    calls = []

    def base_init(self, *args, **kwargs):
        calls.append((self, args, kwargs))

    monkeypatch.setattr(BaseDatafeed, "__init__", base_init, raising=False)
    feed = nd.NorvixDatafeed()
    assert calls == [(feed, (), {})]


def test_init_uses_cooperative_super(nd, settings):
    order = []

    class Mixin(BaseDatafeed):
        def __init__(self):
            order.append("mixin")
            super().__init__()

    class Feed(nd.NorvixDatafeed, Mixin):
        def __init__(self):
            order.append("feed")
            super().__init__()
            order.append(self.base_url)

    feed = Feed()
    assert order == ["feed", "mixin", DEFAULT_URL]
    assert isinstance(feed, nd.NorvixDatafeed)


def test_exception_from_base_initialiser_propagates(nd, settings, monkeypatch, logs):
    def base_init(self):
        raise RuntimeError("base failed")

    monkeypatch.setattr(BaseDatafeed, "__init__", base_init, raising=False)
    with pytest.raises(RuntimeError, match="^base failed$"):
        nd.NorvixDatafeed()
    assert logs == []
