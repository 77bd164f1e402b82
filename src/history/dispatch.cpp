// The bar-history entry: picks the daily or the one-minute query.
#include "history/history.h"
#include "runtime/py.h"

namespace norvix {

// def query_bar_history(self, req: HistoryRequest, output: Callable = print) -> list[BarData] |
// None:
//     symbol, exchange, interval = req.symbol, req.exchange, req.interval
//     start_str = req.start.strftime("%Y-%m-%d")
//     end_str = req.end.strftime("%Y-%m-%d")
//     if interval == Interval.DAILY:
//         return self.query_day_bar_history(symbol, exchange, start_str, end_str)
//     elif interval == Interval.MINUTE:
//         return self.query_minute_bar_history(symbol, exchange, start_str, end_str)
//     logger.error("暂时只支持1分钟和日K查询")
//     return []
PyObject* query_bar_history(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    PyObject* req = args[1];

    Ref symbol = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
    if (!symbol) return nullptr;
    Ref exchange = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
    if (!exchange) return nullptr;
    Ref interval = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::interval]));
    if (!interval) return nullptr;
    Ref texts[2];
    const Name bounds[2] = {Name::start, Name::end};
    for (int i = 0; i < 2; ++i) {
        Ref when = Ref::steal(PyObject_GetAttr(req, (*ctx)[bounds[i]]));
        if (!when) return nullptr;
        texts[i] = call_method((*ctx)[Name::strftime], {when.get(), (*ctx)[Const::date_fmt]});
        if (!texts[i]) return nullptr;
    }

    const std::pair<Name, Name> routes[2] = {{Name::DAILY, Name::query_day_bar_history},
                                             {Name::MINUTE, Name::query_minute_bar_history}};
    for (const auto& [member, query] : routes) {
        Ref intervals = load_global(ctx, Name::Interval);
        if (!intervals) return nullptr;
        Ref wanted = Ref::steal(PyObject_GetAttr(intervals.get(), (*ctx)[member]));
        if (!wanted) return nullptr;
        Ref equal = Ref::steal(PyObject_RichCompare(interval.get(), wanted.get(), Py_EQ));
        if (!equal) return nullptr;
        int yes = PyObject_IsTrue(equal.get());
        if (yes < 0) return nullptr;
        if (yes)
            return call_method((*ctx)[query],
                               {self, symbol.get(), exchange.get(), texts[0].get(), texts[1].get()})
                .release();
    }
    if (log(ctx, Level::error, {"暂时只支持1分钟和日K查询"}) < 0) return nullptr;
    return new_list();
}

}  // namespace norvix
