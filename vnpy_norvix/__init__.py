"""The Norvix datafeed as a vn.py plug-in.

vn.py loads datafeeds by name: with the setting "datafeed.name" set to "norvix",
`vnpy.trader.datafeed.get_datafeed()` imports this package and creates its `Datafeed`.
"""

from collections.abc import Callable

from norvix_datafeed import NorvixDatafeed

__all__ = ["Datafeed"]


class Datafeed(NorvixDatafeed):
    """NorviX数据服务接口"""

    def init(self, output: Callable = print) -> bool:
        """
        Called by vn.py's engines before they query history. The service has no login
        step (every request carries the credentials), so the datafeed is ready as soon
        as both credentials are set, from the settings or through `initialize`.
        """
        if not self.username or not self.password:
            output("Norvix数据服务：初始化失败，用户名或密码为空，"
                   "请在全局配置中设置datafeed.username和datafeed.password")
            return False
        return True
