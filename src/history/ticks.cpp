// Tick query: the ticks of one trading day with five levels of depth.
#include "client/client.h"
#include "history/convert.h"
#include "module/methods.h"

namespace norvix {
namespace {

// Record members of the numeric TickData fields, in keyword order
// (volume ... ask_volume_5).  The day's open, high and low arrive as
// `open`, `high` and `low`.
constexpr Name kTickNumbers[] = {
    Name::volume,       Name::turnover,     Name::open_interest, Name::last_price,
    Name::last_volume,  Name::limit_up,     Name::limit_down,    Name::open,
    Name::high,         Name::low,          Name::pre_close,     Name::bid_price_1,
    Name::bid_price_2,  Name::bid_price_3,  Name::bid_price_4,   Name::bid_price_5,
    Name::ask_price_1,  Name::ask_price_2,  Name::ask_price_3,   Name::ask_price_4,
    Name::ask_price_5,  Name::bid_volume_1, Name::bid_volume_2,  Name::bid_volume_3,
    Name::bid_volume_4, Name::bid_volume_5, Name::ask_volume_1,  Name::ask_volume_2,
    Name::ask_volume_3, Name::ask_volume_4, Name::ask_volume_5,
};
constexpr int kNumbers = sizeof(kTickNumbers) / sizeof(kTickNumbers[0]);
static_assert(kNumbers == 31);

// One tick:
//     dt = datetime.strptime(t["trading_datetime"], "%Y-%m-%d %H:%M:%S").replace(tzinfo=CHINA_TZ)
//     TickData(symbol=req.symbol, exchange=req.exchange, datetime=dt, name=t.get("name", ""),
//              volume=float(t.get("volume", 0)), ..., open_price=float(t.get("open", 0)), ...,
//              ask_volume_5=float(t.get("ask_volume_5", 0)), gateway_name="NorviX")
Ref make_tick(Context* ctx, PyObject* req, PyObject* t) noexcept {
    Ref dt = record_time(ctx, t, Name::trading_datetime, true);
    if (!dt) return {};
    Ref cls = load_global(ctx, Name::TickData);
    if (!cls) return {};
    Ref values[3 + 1 + kNumbers];
    values[0] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
    if (!values[0]) return {};
    values[1] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
    if (!values[1]) return {};
    values[2] = std::move(dt);
    values[3] = get_member(ctx, t, (*ctx)[Name::name], (*ctx)[Const::empty]);
    if (!values[3]) return {};
    for (int i = 0; i < kNumbers; ++i) {
        values[4 + i] = member_float(ctx, t, kTickNumbers[i]);
        if (!values[4 + i]) return {};
    }
    PyObject* args[1 + 36];
    args[0] = nullptr;
    for (int i = 0; i < 35; ++i) args[1 + i] = values[i].get();
    args[36] = (*ctx)[Const::gateway];
    return Ref::steal(
        PyObject_Vectorcall(cls.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, (*ctx)[Kw::tick]));
}

}  // namespace

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
    Ref body = build_body({{(*ctx)[Name::instrument_id], instrument.get()},
                           {(*ctx)[Name::trading_date], start_str.get()}});
    if (!body) return nullptr;
    Ref data = send_request(ctx, self, Const::post, "/tickdata/query", body.get());
    if (!data) return nullptr;
    Ref records;
    int ok = check_envelope(ctx, data.get(), "NorvixData获取Tick数据失败：", symbol.get(), records);
    if (ok <= 0) return ok < 0 ? nullptr : new_list();

    Ref ticks = Ref::steal(new_list());
    if (!ticks) return nullptr;
    if (convert_all(ctx, records.get(), ticks.get(), "NorvixData解析Tick数据异常：",
                    [&](PyObject* t) { return make_tick(ctx, req, t); }) < 0)
        return nullptr;
    if (log_summary(ctx, ticks.get(), symbol.get(), "的Tick数据成功，共", "的Tick数据") < 0)
        return nullptr;
    return ticks.release();
}

}  // namespace norvix
