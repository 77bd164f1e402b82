// Daily and one-minute bar queries.
#include "client/client.h"
#include "decode/decode.h"
#include "history/convert.h"
#include "module/methods.h"

namespace norvix {
namespace {

struct BarQuery {
    Const endpoint;
    Const limit;
    Name time_field;
    bool with_time;
    Name interval;
    const char* fail_prefix;
    const char* parse_prefix;
    const char* success;
    const char* nodata;
};

constexpr BarQuery kDaily = {
    Const::daybar,
    Const::day_limit,
    Name::trading_date,
    false,
    Name::DAILY,
    "NorviX获取日K线数据失败：",
    "NorvixData解析K线数据异常：",
    "的日K线数据成功，共",
    "的K线数据",
};

constexpr BarQuery kMinute = {
    Const::minutebar,
    Const::minute_limit,
    Name::trading_datetime,
    true,
    Name::MINUTE,
    "NorviX获取分钟K线数据失败：",
    "NorvixData解析分钟K线数据异常：",
    "的分钟K线数据成功，共",
    "的分钟K线数据",
};

// Record members of the bar's prices and volumes, in keyword order.
constexpr Field kBarNumbers[] = {
    {Name::open_price, Kind::required},    {Name::high_price, Kind::required},
    {Name::low_price, Kind::required},     {Name::close_price, Kind::required},
    {Name::volume, Kind::optional},        {Name::turnover, Kind::optional},
    {Name::open_interest, Kind::optional},
};
constexpr int kNumbers = sizeof(kBarNumbers) / sizeof(kBarNumbers[0]);

// One bar:
//     dt = datetime.strptime(d[time_field], fmt).replace(tzinfo=CHINA_TZ)
//     BarData(symbol=symbol, exchange=exchange, interval=Interval.<member>, datetime=dt,
//             open_price=float(d["open_price"]), ..., close_price=float(d["close_price"]),
//             volume=float(d.get("volume", 0)), turnover=float(d.get("turnover", 0)),
//             open_interest=float(d.get("open_interest", 0)), gateway_name="NorviX")
Ref make_bar(Context* ctx, const BarQuery& q, MemberReader& reader, PyObject* symbol,
             PyObject* exchange, PyObject* d) noexcept {
    Ref dt = record_time(ctx, d, q.time_field, q.with_time);
    if (!dt) return {};
    Ref cls = load_global(ctx, Name::BarData);
    if (!cls) return {};
    Ref intervals = load_global(ctx, Name::Interval);
    if (!intervals) return {};
    Ref interval = Ref::steal(PyObject_GetAttr(intervals.get(), (*ctx)[q.interval]));
    if (!interval) return {};
    Ref numbers[kNumbers];
    if (convert_fields(ctx, reader, d, kBarNumbers, kNumbers, numbers) < 0) return {};
    PyObject* args[1 + 12] = {nullptr, symbol, exchange, interval.get(), dt.get()};
    for (int i = 0; i < kNumbers; ++i) args[5 + i] = numbers[i].get();
    args[12] = (*ctx)[Const::gateway];
    return Ref::steal(
        PyObject_Vectorcall(cls.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, (*ctx)[Kw::bar]));
}

PyObject* bar_query(FunctionObject* f, PyObject* const* args, const BarQuery& q) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    PyObject* symbol = args[1];
    PyObject* exchange = args[2];
    Ref body = build_body({{(*ctx)[Name::instrument_id], symbol},
                           {(*ctx)[Name::start_date], args[3]},
                           {(*ctx)[Name::end_date], args[4]},
                           {(*ctx)[Name::limit], (*ctx)[q.limit]}});
    if (!body) return nullptr;
    const decode::Layout layout = {q.time_field, q.with_time, kBarNumbers, kNumbers};
    decode::Decoder decoder(layout);
    Ref data = send_request(ctx, self, Const::post, q.endpoint, body.get(), &decoder);
    if (!data) return nullptr;
    Ref records;
    if (!decoder.ready()) {
        int ok = check_envelope(ctx, self, data.get(), q.fail_prefix, symbol, records);
        if (ok <= 0) return ok < 0 ? nullptr : new_list();
    }

    Ref bars = Ref::steal(new_list());
    if (!bars) return nullptr;
    if (decoder.ready()) {
        // The answer was decoded natively; the records keep make_bar's order.
        decode::ClassAttr interval;
        auto head = [&](PyObject** args, Ref* hold) -> int {
            Ref intervals = load_global(ctx, Name::Interval);
            if (!intervals) return -1;
            hold[2] = interval.get(intervals.get(), (*ctx)[q.interval]);
            if (!hold[2]) return -1;
            args[0] = symbol;
            args[1] = exchange;
            args[2] = hold[2].get();
            return 3;
        };
        if (decode::convert(ctx, self, decoder, Name::BarData, (*ctx)[Kw::bar], q.parse_prefix,
                            bars.get(), head) < 0)
            return nullptr;
    } else {
        MemberReader reader(ctx, kBarNumbers, kNumbers);
        if (convert_all(ctx, self, records.get(), bars.get(), q.parse_prefix, [&](PyObject* d) {
                return make_bar(ctx, q, reader, symbol, exchange, d);
            }) < 0)
            return nullptr;
    }
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
