// Tick query: the ticks of one trading day with five levels of depth.
#include "client/client.h"
#include "decode/decode.h"
#include "history/convert.h"
#include "module/methods.h"

namespace norvix {
namespace {

// Record members of the tick's name and numbers, in keyword order.  The
// day's open, high and low arrive as `open`, `high` and `low`.
constexpr Field kTickFields[] = {
    {Name::name, Kind::text},
    {Name::volume, Kind::optional},
    {Name::turnover, Kind::optional},
    {Name::open_interest, Kind::optional},
    {Name::last_price, Kind::optional},
    {Name::last_volume, Kind::optional},
    {Name::limit_up, Kind::optional},
    {Name::limit_down, Kind::optional},
    {Name::open, Kind::optional},
    {Name::high, Kind::optional},
    {Name::low, Kind::optional},
    {Name::pre_close, Kind::optional},
    {Name::bid_price_1, Kind::optional},
    {Name::bid_price_2, Kind::optional},
    {Name::bid_price_3, Kind::optional},
    {Name::bid_price_4, Kind::optional},
    {Name::bid_price_5, Kind::optional},
    {Name::ask_price_1, Kind::optional},
    {Name::ask_price_2, Kind::optional},
    {Name::ask_price_3, Kind::optional},
    {Name::ask_price_4, Kind::optional},
    {Name::ask_price_5, Kind::optional},
    {Name::bid_volume_1, Kind::optional},
    {Name::bid_volume_2, Kind::optional},
    {Name::bid_volume_3, Kind::optional},
    {Name::bid_volume_4, Kind::optional},
    {Name::bid_volume_5, Kind::optional},
    {Name::ask_volume_1, Kind::optional},
    {Name::ask_volume_2, Kind::optional},
    {Name::ask_volume_3, Kind::optional},
    {Name::ask_volume_4, Kind::optional},
    {Name::ask_volume_5, Kind::optional},
};
constexpr int kFields = sizeof(kTickFields) / sizeof(kTickFields[0]);
static_assert(kFields == 32);

// One tick:
//     dt = datetime.strptime(t["trading_datetime"], "%Y-%m-%d %H:%M:%S").replace(tzinfo=CHINA_TZ)
//     TickData(symbol=req.symbol, exchange=req.exchange, datetime=dt, name=t.get("name", ""),
//              volume=float(t.get("volume", 0)), ..., open_price=float(t.get("open", 0)), ...,
//              ask_volume_5=float(t.get("ask_volume_5", 0)), gateway_name="NorviX")
Ref make_tick(Context* ctx, MemberReader& reader, PyObject* req, PyObject* t) noexcept {
    Ref dt = record_time(ctx, t, Name::trading_datetime, true);
    if (!dt) return {};
    Ref cls = load_global(ctx, Name::TickData);
    if (!cls) return {};
    Ref symbol = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
    if (!symbol) return {};
    Ref exchange = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
    if (!exchange) return {};
    Ref fields[kFields];
    if (convert_fields(ctx, reader, t, kTickFields, kFields, fields) < 0) return {};
    PyObject* args[1 + 36] = {nullptr, symbol.get(), exchange.get(), dt.get()};
    for (int i = 0; i < kFields; ++i) args[4 + i] = fields[i].get();
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
    const decode::Layout layout = {Name::trading_datetime, true, kTickFields, kFields};
    decode::Decoder decoder(layout);
    Ref data = send_request(ctx, self, Const::post, Const::tickdata, body.get(), &decoder);
    if (!data) return nullptr;
    Ref records;
    if (!decoder.ready()) {
        int ok = check_envelope(ctx, self, data.get(), "NorvixData获取Tick数据失败：", symbol.get(),
                                records);
        if (ok <= 0) return ok < 0 ? nullptr : new_list();
    }

    Ref ticks = Ref::steal(new_list());
    if (!ticks) return nullptr;
    const char* prefix = "NorvixData解析Tick数据异常：";
    if (decoder.ready()) {
        // The answer was decoded natively; the records keep make_tick's order.
        auto head = [&](PyObject** args, Ref* hold) -> int {
            hold[0] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
            if (!hold[0]) return -1;
            hold[1] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
            if (!hold[1]) return -1;
            args[0] = hold[0].get();
            args[1] = hold[1].get();
            return 2;
        };
        if (decode::convert(ctx, self, decoder, Name::TickData, (*ctx)[Kw::tick], prefix,
                            ticks.get(), head) < 0)
            return nullptr;
    } else {
        MemberReader reader(ctx, kTickFields, kFields);
        if (convert_all(ctx, self, records.get(), ticks.get(), prefix,
                        [&](PyObject* t) { return make_tick(ctx, reader, req, t); }) < 0)
            return nullptr;
    }
    if (log_summary(ctx, ticks.get(), symbol.get(), "的Tick数据成功，共", "的Tick数据") < 0)
        return nullptr;
    return ticks.release();
}

}  // namespace norvix
