#include "columns/columns.h"

#include <algorithm>
#include <limits>

namespace norvix::columns {
namespace {

// Days from 1970-01-01 to the proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

// datetime(y, m, d, H, M, S, tzinfo=tz).utcoffset() in seconds (None: 0).
int Clock::offset(const TimeFields& f, int64_t* seconds) noexcept {
    Ref dt = Ref::steal(ctx_->dt->DateTime_FromDateAndTime(
        f.year, f.month, f.day, f.hour, f.minute, f.second, 0, tz_, ctx_->dt->DateTimeType));
    if (!dt) return -1;
    Ref off = Ref::steal(PyObject_CallMethod(dt.get(), "utcoffset", nullptr));
    if (!off) return -1;
    if (off.get() == Py_None) {
        *seconds = 0;
        return 0;
    }
    if (!PyObject_TypeCheck(off.get(), ctx_->dt->DeltaType)) {
        PyErr_SetString(PyExc_TypeError, "utcoffset() did not return a timedelta");
        return -1;
    }
    // Whole seconds: the zones' offsets are (Asia/Shanghai's local mean
    // time before 1901 included).
    *seconds = int64_t(PyDateTime_DELTA_GET_DAYS(off.get())) * 86400 +
               PyDateTime_DELTA_GET_SECONDS(off.get());
    return 0;
}

int Clock::out_of_range(const TimeFields& f) noexcept {
    PyErr_Format(PyExc_OverflowError,
                 "%04d-%02d-%02d lies outside the range of nanosecond timestamps", f.year, f.month,
                 f.day);
    return -1;
}

int Clock::instant_of_new_date(const TimeFields& f, int64_t* ns) noexcept {
    if (f.year != year_ || f.month != month_ || f.day != day_) {
        TimeFields first = f, last = f;
        first.hour = first.minute = first.second = 0;
        last.hour = 23;
        last.minute = last.second = 59;
        int64_t a, b;
        if (offset(first, &a) < 0 || offset(last, &b) < 0) return -1;
        year_ = f.year;
        month_ = f.month;
        day_ = f.day;
        date_ = pack_time(f) >> 24;
        uniform_ = a == b;
        day_offset_ = a;
        day_start_ = days_from_civil(f.year, unsigned(f.month), unsigned(f.day)) * 86400 - a;
    }
    int64_t off = day_offset_;
    if (!uniform_ && offset(f, &off) < 0) return -1;
    return at(day_start_ + day_offset_ - off + f.hour * 3600 + f.minute * 60 + f.second, f, ns);
}

Table::Table(Context* ctx, const RecordShape& shape) noexcept : ctx_(ctx), shape_(shape) {}

int Table::reserve(size_t count) noexcept {
    const decode::RecordMembers& members = shape_.members;
    if (members.n + 1 > kMax) {
        PyErr_SetString(PyExc_SystemError, "too many record fields");
        return -1;
    }
    for (int c = 0; c <= members.n; ++c) {
        const size_t width = c > 0 && members.fields[c - 1].conversion == Conversion::text ? 4 : 8;
        buffers_[c] = Ref::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(count * width)));
        if (!buffers_[c]) return -1;
    }
    texts_ = Ref::steal(PyList_New(0));
    return texts_ ? 0 : -1;
}

// Texts repeat from record to record (a tick's name all day): a value equal
// to the last one gets its code.
int Table::add_text(size_t index, int field, PyObject* value) noexcept {
    int same = value == last_text_.get();
    if (!same && last_text_ && PyUnicode_CheckExact(value) &&
        PyUnicode_CheckExact(last_text_.get()))
        same = PyUnicode_Compare(value, last_text_.get()) == 0;
    if (!same) {
        if (PyErr_Occurred() || PyList_Append(texts_.get(), value) < 0) return -1;
        last_text_ = Ref::borrow(value);
        last_code_ = static_cast<int32_t>(PyList_GET_SIZE(texts_.get()) - 1);
    }
    column<int32_t>(1 + field)[index] = last_code_;
    return 0;
}

// The loops run once per record of answers tens of thousands long: what
// does not change from record to record (each field's conversion and column) is
// looked up before them.  The times and texts, which can fail, are converted
// record by record, in the record path's order.  The numbers cannot fail:
// records nearly always hold the same members with the same JSON types, so
// they are stored column by column over each run of records alike (in
// blocks small enough to stay in the cache), with no test per value.
int Table::fill(const decode::Parsed& parsed) noexcept {
    const decode::RecordMembers& members = shape_.members;
    if (reserve(parsed.count) < 0) return -1;
    Ref tz = load_global(ctx_, Name::CHINA_TZ);
    if (!tz) return -1;
    Clock clock(ctx_, tz.get());
    int64_t* const times = column<int64_t>(0);
    constexpr int kFields = MemberReader::kMaxFields;
    double* numbers[kFields] = {};
    int text_fields[kFields], n_texts = 0;
    for (int j = 0; j < members.n; ++j) {
        if (members.fields[j].conversion == Conversion::text)
            text_fields[n_texts++] = j;
        else
            numbers[j] = column<double>(1 + j);
    }
    for (size_t r = 0; r < parsed.count; ++r) {
        const decode::Slot* rec = parsed.record(r);
        if (clock.instant(rec[0].u, times + r) < 0) return -1;
        for (int i = 0; i < n_texts; ++i) {
            const int j = text_fields[i];
            // record.get(key, "")
            PyObject* text = rec[1].u >> j & 1 ? PyList_GET_ITEM(parsed.texts.get(), rec[2 + j].i)
                                               : (*ctx_)[Const::empty];
            if (add_text(r, j, text) < 0) return -1;
        }
    }
    constexpr size_t kBlock = 256;
    const auto stride = static_cast<size_t>(parsed.stride);
    for (size_t first = 0; first < parsed.count;) {
        const uint64_t masks = parsed.record(first)[1].u;
        const size_t limit = std::min(parsed.count, first + kBlock);
        size_t last = first + 1;
        while (last < limit && parsed.record(last)[1].u == masks) ++last;
        const uint32_t present = uint32_t(masks), ints = uint32_t(masks >> 32);
        // float(record.get(key, 0)) / float(record[key]) of a JSON number
        for (int j = 0; j < members.n; ++j) {
            double* const out = numbers[j];
            if (!out) continue;
            const decode::Slot* in = parsed.record(first) + 2 + j;
            if (!(present >> j & 1)) {
                std::fill(out + first, out + last, 0.0);
            } else if (ints >> j & 1) {
                for (size_t r = first; r < last; ++r, in += stride)
                    out[r] = static_cast<double>(in->i);
            } else {
                for (size_t r = first; r < last; ++r, in += stride) out[r] = in->d;
            }
        }
        first = last;
    }
    count_ = parsed.count;
    return 0;
}

int Table::fill(PyObject* records, SkipSink& sink) noexcept {
    const decode::RecordMembers& members = shape_.members;
    const Py_ssize_t n = PyList_GET_SIZE(records);
    if (reserve(size_t(n)) < 0) return -1;
    Ref tz = load_global(ctx_, Name::CHINA_TZ);
    if (!tz) return -1;
    Clock clock(ctx_, tz.get());
    MemberReader reader(ctx_, members.fields, members.n);
    Ref values[MemberReader::kMaxFields];
    // The first time outside the nanosecond range.  The record path has nothing
    // against such a time, so a later record that it fails on decides the
    // answer's failure; only an answer without one fails on the time.
    Ref overflow;
    // The list's length is read on every step, as the record path walks it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        if (poll_signals(i) < 0) return -1;
        Ref d = Ref::borrow(PyList_GET_ITEM(records, i));
        // The record path's conversions, in its order: the time, then the fields.
        Ref dt = record_time(ctx_, d.get(), members.time_field, members.with_time);
        if (!dt || convert_fields(ctx_, reader, d.get(), members.fields, members.n, values) < 0) {
            if (skip_bad_record(ctx_, sink) != Skip::skipped) return -1;
            continue;
        }
        if (!PyObject_TypeCheck(dt.get(), ctx_->dt->DateTimeType)) {
            PyErr_SetString(PyExc_TypeError, "the record time is not a datetime");
            return -1;
        }
        TimeFields f;
        f.year = PyDateTime_GET_YEAR(dt.get());
        f.month = PyDateTime_GET_MONTH(dt.get());
        f.day = PyDateTime_GET_DAY(dt.get());
        f.hour = PyDateTime_DATE_GET_HOUR(dt.get());
        f.minute = PyDateTime_DATE_GET_MINUTE(dt.get());
        f.second = PyDateTime_DATE_GET_SECOND(dt.get());
        const size_t index = count_;
        if (clock.instant(f, column<int64_t>(0) + index) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
            if (overflow)
                PyErr_Clear();
            else
                overflow = Ref::steal(PyErr_GetRaisedException());
            continue;
        }
        for (int j = 0; j < members.n; ++j) {
            if (members.fields[j].conversion == Conversion::text) {
                if (add_text(index, j, values[j].get()) < 0) return -1;
                continue;
            }
            const double v = PyFloat_AsDouble(values[j].get());
            if (v == -1.0 && PyErr_Occurred()) return -1;
            column<double>(1 + j)[index] = v;
        }
        ++count_;
    }
    if (overflow) {
        PyErr_SetRaisedException(overflow.release());
        return -1;
    }
    return 0;
}

Ref Table::finish() noexcept {
    const decode::RecordMembers& members = shape_.members;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError,
                            "decoding into columns needs numpy: pip install numpy");
        }
        return {};
    }
    if (!buffers_[0] && reserve(0) < 0) return {};
    PyObject* kwnames = (*ctx_)[shape_.kwnames];
    // The keywords: <head...>, datetime, <fields...>, gateway_name.
    const Py_ssize_t head = PyTuple_GET_SIZE(kwnames) - 2 - members.n;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return {};
    for (int c = 0; c <= members.n; ++c) {
        const bool text = c > 0 && members.fields[c - 1].conversion == Conversion::text;
        const size_t width = text ? 4 : 8;
        if (PyByteArray_Resize(buffers_[c].get(), Py_ssize_t(count_ * width)) < 0) return {};
        Ref array =
            Ref::steal(PyObject_CallMethod(numpy.get(), "frombuffer", "Os", buffers_[c].get(),
                                           c == 0 ? "int64"
                                           : text ? "int32"
                                                  : "float64"));
        if (!array) return {};
        if (text) {
            array = Ref::steal(PyTuple_Pack(2, array.get(), texts_.get()));
            if (!array) return {};
        }
        PyObject* name = PyTuple_GET_ITEM(kwnames, head + c);
        if (PyDict_SetItem(out.get(), name, array.get()) < 0) return {};
    }
    return out;
}

}  // namespace norvix::columns
