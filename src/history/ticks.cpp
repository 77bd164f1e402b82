// Tick query: the ticks of one trading day with five levels of depth.
#include "client/client.h"
#include "history/records.h"
#include "module/methods.h"

namespace norvix {

// def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData] |
// None:
//     start_str = req.start.strftime("%Y-%m-%d")
//     symbol = req.symbol
//     json_data = {"instrument_id": req.symbol, "trading_date": start_str}
//     data = self._make_request(method="POST", endpoint="/tickdata/query", json_data=json_data,
//     timeout=10) <envelope check> for tick_data in data.get("data", []): <make_tick under the
//     KeyError/ValueError guard> <summary>; return ticks
PyObject* query_tick_history(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    PyObject* req = args[1];

    Ref start = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::start]));
    if (!start) return nullptr;
    Ref start_str = call_method((*ctx)[Name::strftime], {start.get(), (*ctx)[Const::date_fmt]});
    if (!start_str) return nullptr;
    Ref symbol = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
    if (!symbol) return nullptr;
    Ref instrument = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
    if (!instrument) return nullptr;
    Ref body = request_body(ctx, Query::tick, instrument.get(), start_str.get(), nullptr);
    if (!body) return nullptr;
    decode::Decoder decoder(kTicks.layout);
    Ref data = send_request(ctx, self, Query::tick, body.get(), &decoder);
    if (!data) return nullptr;
    Ref records;
    if (!decoder.ready()) {
        int ok = check_envelope(ctx, self, data.get(), "NorvixData获取Tick数据失败：", symbol.get(),
                                records);
        if (ok <= 0) return ok < 0 ? nullptr : new_list();
    }

    Ref ticks = Ref::steal(new_list());
    if (!ticks) return nullptr;
    LogSkips sink(ctx, self, "NorvixData解析Tick数据异常：");
    // symbol=req.symbol, exchange=req.exchange, read for every tick
    auto head = [&](PyObject** args, Ref* hold) -> int {
        hold[0] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
        if (!hold[0]) return -1;
        hold[1] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
        if (!hold[1]) return -1;
        args[0] = hold[0].get();
        args[1] = hold[1].get();
        return 2;
    };
    if (convert_answer(ctx, kTicks, decoder, records.get(), ticks.get(), sink, head) < 0)
        return nullptr;
    if (log_summary(ctx, ticks.get(), symbol.get(), "的Tick数据成功，共", "的Tick数据") < 0)
        return nullptr;
    return ticks.release();
}

}  // namespace norvix
