// The history queries: daily and one-minute bars, and the ticks of one trading
// day with five levels of depth.  One skeleton runs them all; the table below
// says what differs.
#include "client/client.h"
#include "history/history.h"
#include "records/records.h"

namespace norvix {
namespace {

struct HistoryQuery {
    Query request;
    const RecordShape* shape;
    const char* fail_prefix;   // the envelope check's lines
    const char* parse_prefix;  // a skipped record's line
    const char* success;       // the summary lines
    const char* nodata;
};

constexpr HistoryQuery kDaily = {
    Query::day,
    &kDayBars,
    "NorviX获取日K线数据失败：",
    "NorvixData解析K线数据异常：",
    "的日K线数据成功，共",
    "的K线数据",
};
constexpr HistoryQuery kMinute = {
    Query::minute,
    &kMinuteBars,
    "NorviX获取分钟K线数据失败：",
    "NorvixData解析分钟K线数据异常：",
    "的分钟K线数据成功，共",
    "的分钟K线数据",
};
constexpr HistoryQuery kTick = {
    Query::tick,
    &kTicks,
    "NorvixData获取Tick数据失败：",
    "NorvixData解析Tick数据异常：",
    "的Tick数据成功，共",
    "的Tick数据",
};

// A skipped record: logger.error(f"{parse_prefix}{e}"), with self.password masked.
class LogSkips final : public SkipSink {
public:
    LogSkips(Context* ctx, PyObject* self, const char* prefix) noexcept
        : ctx_(ctx), self_(self), prefix_(prefix) {}
    int take(PyObject* exc) noexcept override {
        return log(ctx_, Level::error, [&]() -> Ref {
            Ref text = scrub_secret(ctx_, text_of(ctx_, exc), self_);
            if (!text) return {};
            return message(ctx_, {prefix_, text});
        });
    }

private:
    Context* ctx_;
    PyObject* self_;
    const char* prefix_;
};

// The summary line after conversion:
//     f"NorvixData获取{symbol}{success}{len(out)}条"  or  f"NorvixData未获取到{symbol}{nodata}"
int log_summary(Context* ctx, PyObject* out, PyObject* symbol, const HistoryQuery& q) noexcept {
    if (PyList_GET_SIZE(out) == 0)
        return log(ctx, Level::info, {"NorvixData未获取到", symbol, q.nodata});
    return log(ctx, Level::info, [&]() -> Ref {
        Ref head = message(ctx, {"NorvixData获取", symbol, q.success});
        if (!head) return {};
        Ref count = length_of(ctx, out);
        if (!count) return {};
        return message(ctx, {head, count, "条"});
    });
}

// From the request body on, every history query is:
//     data = self._make_request(method=..., endpoint=..., json_data=json_data, timeout=10)
//     <envelope check: log and return [] on a failure>
//     records = []
//     for d in data.get("data", []):
//         try:
//             dt = datetime.strptime(d[time_field], fmt).replace(tzinfo=CHINA_TZ)
//             records.append(<Bar|Tick>Data(<head...>, datetime=dt, <fields...>,
//                                           gateway_name="NorviX"))
//         except (KeyError, ValueError) as e:
//             logger.error(f"{parse_prefix}{e}")
//     <summary>; return records
// When the request routine decoded the body natively, its envelope has been
// checked and its parsed records are converted instead of data.get("data", []).
template <class Head>
PyObject* run_query(Context* ctx, PyObject* self, const HistoryQuery& q, PyObject* symbol,
                    PyObject* json_data, Head&& head) noexcept {
    decode::Decoder decoder(q.shape->members);
    Ref data = send_request(ctx, self, q.request, json_data, &decoder);
    if (!data) return nullptr;
    LogSkips sink(ctx, self, q.parse_prefix);
    Ref out;
    int r;
    if (decoder.ready()) {
        out = Ref::steal(new_list());
        if (!out) return nullptr;
        r = convert_parsed(ctx, *q.shape, decoder, out.get(), sink, head);
    } else {
        Ref records;
        const Checked checked =
            check_envelope(ctx, self, data.get(), q.fail_prefix, symbol, records);
        if (checked == Checked::error) return nullptr;
        out = Ref::steal(new_list());
        if (!out || checked == Checked::failed) return out.release();
        r = convert_records(ctx, *q.shape, records.get(), out.get(), sink, head);
    }
    if (r < 0 || log_summary(ctx, out.get(), symbol, q) < 0) return nullptr;
    return out.release();
}

// json_data = {"instrument_id": symbol, "start_date": start_str, "end_date": end_str,
//              "limit": <the query's>}
// <the query>, each bar's head being
//     symbol=symbol, exchange=exchange, interval=Interval.<member>
PyObject* bar_query(FunctionObject* f, PyObject* const* args, const HistoryQuery& q) noexcept {
    Context* ctx = f->ctx;
    PyObject* symbol = args[1];
    Ref body = request_body(ctx, q.request, symbol, args[3], args[4]);
    if (!body) return nullptr;
    return run_query(ctx, args[0], q, symbol, body.get(),
                     BarHead(ctx, q.shape->interval, symbol, args[2]));
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

// def query_tick_history(self, req: HistoryRequest, output: Callable = print)
//         -> list[TickData] | None:
//     start_str = req.start.strftime("%Y-%m-%d")
//     symbol = req.symbol
//     json_data = {"instrument_id": req.symbol, "trading_date": start_str}
//     <the query>, each tick's head being
//         symbol=req.symbol, exchange=req.exchange
PyObject* query_tick_history(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
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
    // Read for every tick.
    auto head = [&](PyObject** values, Ref* hold) -> int {
        hold[0] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::symbol]));
        if (!hold[0]) return -1;
        hold[1] = Ref::steal(PyObject_GetAttr(req, (*ctx)[Name::exchange]));
        if (!hold[1]) return -1;
        values[0] = hold[0].get();
        values[1] = hold[1].get();
        return 2;
    };
    return run_query(ctx, args[0], kTick, symbol.get(), body.get(), head);
}

}  // namespace norvix
