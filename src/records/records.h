// The history records: how an answer's records become vn.py bars and ticks,
// from the decoded dicts or from the natively parsed answer.  The datafeed's
// queries and the engine's entry both convert through here.
#pragma once

#include "records/convert.h"
#include "records/decode.h"
#include "runtime/as_python/class_attr.h"

namespace norvix {

// What a day bar, a minute bar or a tick is made from, and of.
struct RecordShape {
    decode::RecordMembers members;  // the time member and the converted members
    Name cls;                       // the module global of the vn.py class
    Kw kwnames;                     // its keywords, in call order
    Name interval;                  // bars: the Interval member; ticks: Name::count_
};

extern const RecordShape kDayBars;
extern const RecordShape kMinuteBars;
extern const RecordShape kTicks;

// A bar's keyword values before `datetime`:
//     symbol=symbol, exchange=exchange, interval=Interval.<member>
// with `Interval` read from the module globals for every record.
class BarHead {
public:
    BarHead(Context* ctx, Name interval, PyObject* symbol, PyObject* exchange) noexcept
        : ctx_(ctx), interval_(interval), symbol_(symbol), exchange_(exchange) {}
    int operator()(PyObject** args, Ref* hold) noexcept;

private:
    Context* ctx_;
    Name interval_;
    PyObject* symbol_;
    PyObject* exchange_;
    ClassAttr attr_;
};

// One record from a decoded dict:
//     dt = datetime.strptime(d[time_field], fmt).replace(tzinfo=CHINA_TZ)
//     cls(<head...>, datetime=dt, <fields...>, gateway_name="NorviX")
// `head(args, hold)` writes the keyword values before `datetime` and returns
// how many.
template <class Head>
Ref make_record(Context* ctx, const RecordShape& shape, MemberReader& reader, PyObject* d,
                Head&& head) noexcept {
    const decode::RecordMembers& members = shape.members;
    Ref dt = record_time(ctx, d, members.time_field, members.with_time);
    if (!dt) return {};
    Ref cls = load_global(ctx, shape.cls);
    if (!cls) return {};
    constexpr int kMax = 48;
    PyObject* args[1 + kMax] = {};
    Ref hold[kMax];
    int k = head(args + 1, hold);
    if (k < 0) return {};
    if (k + 2 + members.n > kMax) {
        PyErr_SetString(PyExc_SystemError, "too many record fields");
        return {};
    }
    args[1 + k] = dt.get();
    if (convert_fields(ctx, reader, d, members.fields, members.n, hold + k + 1) < 0) return {};
    for (int i = 0; i < members.n; ++i) args[2 + k + i] = hold[k + 1 + i].get();
    args[2 + k + members.n] = (*ctx)[Const::gateway];
    return Ref::steal(PyObject_Vectorcall(cls.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          (*ctx)[shape.kwnames]));
}

// Every record the decoder parsed into `out`.
template <class Head>
int convert_parsed(Context* ctx, const RecordShape& shape, const decode::Decoder& decoder,
                   PyObject* out, SkipSink& sink, Head&& head) noexcept {
    return decode::convert(ctx, decoder, shape.cls, (*ctx)[shape.kwnames], sink, out, head);
}

// Every item of `records` (what data.get("data", []) gave) into `out`.
template <class Head>
int convert_records(Context* ctx, const RecordShape& shape, PyObject* records, PyObject* out,
                    SkipSink& sink, Head&& head) noexcept {
    MemberReader reader(ctx, shape.members.fields, shape.members.n);
    return convert_all(ctx, records, out, sink,
                       [&](PyObject* d) { return make_record(ctx, shape, reader, d, head); });
}

// Every record of one answer into `out`: the decoder's records when it read the
// body, else the items of `records`.
template <class Head>
int convert_answer(Context* ctx, const RecordShape& shape, const decode::Decoder& decoder,
                   PyObject* records, PyObject* out, SkipSink& sink, Head&& head) noexcept {
    if (decoder.ready()) return convert_parsed(ctx, shape, decoder, out, sink, head);
    return convert_records(ctx, shape, records, out, sink, head);
}

}  // namespace norvix
