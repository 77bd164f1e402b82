// Daily and one-minute bar queries.
#include "client/client.h"
#include "history/records.h"
#include "module/methods.h"

namespace norvix {
namespace {

struct BarQuery {
    Query request;
    const RecordShape* shape;
    const char* fail_prefix;
    const char* parse_prefix;
    const char* success;
    const char* nodata;
};

constexpr BarQuery kDaily = {
    Query::day,
    &kDayBars,
    "NorviX获取日K线数据失败：",
    "NorvixData解析K线数据异常：",
    "的日K线数据成功，共",
    "的K线数据",
};

constexpr BarQuery kMinute = {
    Query::minute,
    &kMinuteBars,
    "NorviX获取分钟K线数据失败：",
    "NorvixData解析分钟K线数据异常：",
    "的分钟K线数据成功，共",
    "的分钟K线数据",
};

// json_data = {"instrument_id": symbol, "start_date": start_str, "end_date": end_str,
//              "limit": <the query's>}
// data = self._make_request(method="POST", endpoint=..., json_data=json_data, timeout=10)
// <envelope check>
// for d in data.get("data", []):
//     under the KeyError/ValueError guard:
//     dt = datetime.strptime(d[time_field], fmt).replace(tzinfo=CHINA_TZ)
//     bars.append(BarData(symbol=symbol, exchange=exchange, interval=Interval.<member>,
//         datetime=dt, open_price=float(d["open_price"]), ..., close_price=float(d["close_price"]),
//         volume=float(d.get("volume", 0)), turnover=float(d.get("turnover", 0)),
//         open_interest=float(d.get("open_interest", 0)), gateway_name="NorviX"))
// <summary>; return bars
PyObject* bar_query(FunctionObject* f, PyObject* const* args, const BarQuery& q) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    PyObject* symbol = args[1];
    PyObject* exchange = args[2];
    Ref body = request_body(ctx, q.request, symbol, args[3], args[4]);
    if (!body) return nullptr;
    decode::Decoder decoder(q.shape->layout);
    Ref data = send_request(ctx, self, q.request, body.get(), &decoder);
    if (!data) return nullptr;
    Ref records;
    if (!decoder.ready()) {
        int ok = check_envelope(ctx, self, data.get(), q.fail_prefix, symbol, records);
        if (ok <= 0) return ok < 0 ? nullptr : new_list();
    }

    Ref bars = Ref::steal(new_list());
    if (!bars) return nullptr;
    LogSkips sink(ctx, self, q.parse_prefix);
    BarHead head(ctx, q.shape->interval, symbol, exchange);
    if (convert_answer(ctx, *q.shape, decoder, records.get(), bars.get(), sink, head) < 0)
        return nullptr;
    if (log_summary(ctx, bars.get(), symbol, q.success, q.nodata) < 0) return nullptr;
    return bars.release();
}

}  // namespace

// def query_day_bar_history(self, symbol, exchange, start_str, end_str) -> list[BarData] | None
PyObject* query_day_bar_history(FunctionObject* f, PyObject* const* args) noexcept {
    return bar_query(f, args, kDaily);
}

// def query_minute_bar_history(self, symbol, exchange, start_str, end_str) -> list[BarData] | None
PyObject* query_minute_bar_history(FunctionObject* f, PyObject* const* args) noexcept {
    return bar_query(f, args, kMinute);
}

}  // namespace norvix
