// Typed columns of one history answer, for data frames.
//
// The record path makes a vn.py object per record; research code wants
// columns.  A Table holds one column per record field: the time as int64
// nanoseconds since the epoch of the instant the record path's aware
// datetime stands for, every number as float64, and a text field (the
// tick's `name`) as int32 codes into a list of its distinct values.  It is
// filled either from the records the native reader parsed (no Python object per
// record) or, for an answer the reader refused, from json.loads's records
// through the record path's own per-record conversions (record_time,
// convert_fields), so that a record skipped there is skipped here with the
// same reason and one that fails there fails here.
//
// The columns live in bytearrays owned by the Table until finish() hands
// them out as numpy arrays over those same bytes.
#pragma once

#include <cstdint>
#include <limits>

#include "records/records.h"

namespace norvix::columns {

// China-time clock readings as instants.  A date whose first and last
// second have the same UTC offset in the zone (every date since 1992 in
// Asia/Shanghai) is converted with that offset, asked of the zone once per
// date; any other date (1986-1991 had summer time) asks the zone for each
// reading.
class Clock {
public:
    Clock(Context* ctx, PyObject* tz) noexcept : ctx_(ctx), tz_(tz) {}
    // 0 with *ns set, or -1 with an exception set.  Readings of the date
    // before, the common case, are inline: a few multiplications.
    int instant(const TimeFields& f, int64_t* ns) noexcept {
        if (f.year == year_ && f.month == month_ && f.day == day_ && uniform_)
            return at(day_start_ + f.hour * 3600 + f.minute * 60 + f.second, f, ns);
        return instant_of_new_date(f, ns);
    }
    // The same for a reading as pack_time packs it: the date compared, and
    // the clock taken, without unpacking it.
    int instant(uint64_t t, int64_t* ns) noexcept {
        if ((t >> 24) == date_ && uniform_) {
            const int64_t seconds = day_start_ + int64_t(t >> 16 & 0xff) * 3600 +
                                    int64_t(t >> 8 & 0xff) * 60 + int64_t(t & 0xff);
            if (seconds <= kLimit && seconds >= -kLimit) {
                *ns = seconds * kNano;
                return 0;
            }
        }
        return instant(unpack_time(t), ns);
    }

private:
    static constexpr int64_t kNano = 1'000'000'000;
    // Nanoseconds in int64 reach from 1677 to 2262.
    static constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / kNano;
    int instant_of_new_date(const TimeFields& f, int64_t* ns) noexcept;
    int offset(const TimeFields& f, int64_t* seconds) noexcept;
    // *ns for `seconds` since the epoch; OverflowError beyond int64 nanoseconds.
    int at(int64_t seconds, const TimeFields& f, int64_t* ns) noexcept {
        if (seconds > kLimit || seconds < -kLimit) return out_of_range(f);
        *ns = seconds * kNano;
        return 0;
    }
    static int out_of_range(const TimeFields& f) noexcept;

    Context* ctx_;
    PyObject* tz_;  // borrowed: the CHINA_TZ the records get, or None
    int year_ = 0, month_ = 0, day_ = 0;
    uint64_t date_ = 0;  // pack_time's date part: a packed reading >> 24
    bool uniform_ = false;
    // The date's midnight as seconds since the epoch, its offset taken off.
    int64_t day_start_ = 0;
    int64_t day_offset_ = 0;
};

class Table {
public:
    Table(Context* ctx, const RecordShape& shape) noexcept;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // The records the native reader parsed, every one of them.
    int fill(const decode::Parsed& parsed) noexcept;
    // json.loads's records (a list of dicts): a KeyError or ValueError from
    // one record goes to `sink` and skips it; anything else is returned (-1,
    // pending), as the record path lets it propagate.
    int fill(PyObject* records, SkipSink& sink) noexcept;
    // {"datetime": int64 array, <field keyword>: float64 array, ...}, the
    // text field as (int32 codes, list of values).  ImportError when numpy
    // cannot be imported.
    Ref finish() noexcept;

private:
    int reserve(size_t count) noexcept;
    int add_text(size_t index, int field, PyObject* value) noexcept;
    template <class T>
    T* column(int c) noexcept {
        return reinterpret_cast<T*>(PyByteArray_AS_STRING(buffers_[c].get()));
    }

    Context* ctx_;
    const RecordShape& shape_;
    // buffers_[0]: times; buffers_[1 + j]: field j (codes for a text field).
    static constexpr int kMax = MemberReader::kMaxFields + 1;
    Ref buffers_[kMax];
    Ref texts_;  // the text field's distinct values, in first-use order
    Ref last_text_;
    int32_t last_code_ = -1;
    size_t count_ = 0;
};

}  // namespace norvix::columns
