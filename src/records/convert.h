// Record conversion for the history queries: the per-record steps written
// natively, each one indistinguishable from the Python expression it
// replaces.
#pragma once

#include <cstdint>
#include <cstring>

#include "records/keys.h"
#include "runtime/py.h"

namespace norvix {

// The fields of a canonical time text, "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS"
// with every field in range: for these (and only these) texts strptime with
// "%Y-%m-%d" or "%Y-%m-%d %H:%M:%S" yields exactly these fields.  Every other
// text (lenient widths, white space, non-ASCII digits, out-of-range fields)
// goes to strptime itself so that its results and messages stay its own.
struct TimeFields {
    int year, month, day, hour = 0, minute = 0, second = 0;
};
bool canonical_time(const unsigned char* s, size_t n, bool with_time, TimeFields& f) noexcept;
// The " HH:MM:SS" of a 19-byte text (s[10..19)) into f's clock fields, by the
// same rules.
bool canonical_clock(const unsigned char* s, TimeFields& f) noexcept;

// canonical_time for the time texts of one answer in turn.  Records of a
// day share their date: a text whose first 11 bytes ("YYYY-MM-DD ") are
// those of the last canonical text read has that text's date, and only its
// clock is read.
class TimeTexts {
public:
    bool read(const unsigned char* s, size_t n, bool with_time, TimeFields& f) noexcept {
        if (have_ && n == 19 && with_time) {
            uint64_t head;
            uint32_t tail;
            std::memcpy(&head, s, 8);
            std::memcpy(&tail, s + 7, 4);
            if (head == head_ && tail == tail_) {
                f = date_;
                return canonical_clock(s, f);
            }
        }
        return read_new(s, n, with_time, f);
    }

private:
    bool read_new(const unsigned char* s, size_t n, bool with_time, TimeFields& f) noexcept;
    uint64_t head_ = 0;  // the last text's bytes 0-7 and 7-10
    uint32_t tail_ = 0;
    TimeFields date_ = {};
    bool have_ = false;
};

// The fields in one integer, as the native reader keeps a record's time.
inline uint64_t pack_time(const TimeFields& f) noexcept {
    return uint64_t(f.year) << 40 | uint64_t(f.month) << 32 | uint64_t(f.day) << 24 |
           uint64_t(f.hour) << 16 | uint64_t(f.minute) << 8 | uint64_t(f.second);
}
inline TimeFields unpack_time(uint64_t t) noexcept {
    return {int(t >> 40),        int(t >> 32 & 0xff), int(t >> 24 & 0xff),
            int(t >> 16 & 0xff), int(t >> 8 & 0xff),  int(t & 0xff)};
}

// For a canonical text, the builtin datetime class and a `tz` that is None
// or a tzinfo (direct_tz),
//     datetime.strptime(text, fmt).replace(tzinfo=tz)
// is this datetime; for any other `tz`, replace() must judge it.
inline bool direct_tz(Context* ctx, PyObject* tz) noexcept {
    return tz == Py_None || PyObject_TypeCheck(tz, ctx->dt->TZInfoType);
}
inline Ref make_datetime(Context* ctx, const TimeFields& f, PyObject* tz) noexcept {
    return Ref::steal(ctx->dt->DateTime_FromDateAndTime(f.year, f.month, f.day, f.hour, f.minute,
                                                        f.second, 0, tz, ctx->dt->DateTimeType));
}

// datetime.strptime(record[field], fmt).replace(tzinfo=CHINA_TZ)
Ref record_time(Context* ctx, PyObject* record, Name field, bool with_time) noexcept;

// How one record member becomes a keyword value.
enum class Conversion : unsigned char {
    required,  // float(record[key])
    optional,  // float(record.get(key, 0))
    text,      // record.get(key, "")
};

struct Field {
    Name key;
    Conversion conversion;
};

// Reads a query's fields from the records of one answer.  Records decoded
// from one JSON body share their key objects and nearly always their key
// order; once a record's key order has been learned (by the key matcher), the
// next records with the same key objects in the same order are read by
// position, without hashing.
class MemberReader {
public:
    MemberReader(Context* ctx, const Field* fields, int n) noexcept
        : ctx_(ctx), fields_(fields), n_(n) {}
    ~MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    static constexpr int kMaxFields = 32;

    // What a read found.
    enum class Read : int {
        error = -1,  // an exception is set
        foreign,     // some value is of a type decoded JSON does not produce
        plain,       // every value found is of a type decoded JSON produces
    };

    // values[i] = record[fields[i].key], or nullptr when absent, for an
    // exact dict; after Read::foreign the values are unset.  The references are borrowed from the
    // record (or held by the reader until the next read): they stay valid as long as no Python code
    // runs, which converting JSON-typed values never does.
    Read read(PyObject* record, PyObject** values) noexcept;

private:
    static constexpr int kMaxLearns = 8;
    void learn(PyObject* record) noexcept;
    void forget() noexcept;

    Context* ctx_;
    const Field* fields_;
    int n_;
    KeyMatcher<Ref> keys_;  // strong: a freed key's address could come back
    Py_ssize_t size_ = -1;  // the members of the record learned
    int learns_ = 0;
    Ref held_[kMaxFields];  // values found by lookup rather than by position
};

// The fields of one record, in order, into out[0..n): each field's
// conversion, with `float` read from the module globals.  For exact dicts
// and the builtin float this reads the record once through `reader` and
// converts natively.
int convert_fields(Context* ctx, MemberReader& reader, PyObject* record, const Field* fields, int n,
                   Ref* out) noexcept;

// Where the reasons for skipped records go.
class SkipSink {
public:
    // The exception of one skipped record (a KeyError or ValueError),
    // while it is the exception being handled: 0, or -1 with an exception set.
    virtual int take(PyObject* exc) noexcept = 0;

protected:
    ~SkipSink() = default;
};

// Runs `convert` for every item of `records` (any iterable), appending each
// result to `out`.  A KeyError or ValueError from one record goes to `sink`
// and the record is skipped; anything else propagates.
template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, SkipSink& sink,
                Convert&& convert) noexcept;

// What the guard around one record did with the pending exception.
enum class Skip : int {
    error = -1,  // handling it raised: that exception is set
    propagates,  // neither a KeyError nor a ValueError: it is pending again
    skipped,     // the sink took it; no exception is set
};

// The guard around one record:
//     except (KeyError, ValueError) as e: sink.take(e)
Skip skip_bad_record(Context* ctx, SkipSink& sink) noexcept;

template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, SkipSink& sink,
                Convert&& convert) noexcept {
    auto one = [&](PyObject* item) -> int {
        Ref value = convert(item);
        if (value) return PyList_Append(out, value.get());
        return skip_bad_record(ctx, sink) == Skip::skipped ? 0 : -1;
    };
    if (PyList_CheckExact(records)) {
        // Same walk as the list iterator: the length is read on every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
            if (poll_signals(i) < 0) return -1;
            Ref item = Ref::borrow(PyList_GET_ITEM(records, i));
            if (one(item.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(records));
    if (!it) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        if (poll_signals(i) < 0) return -1;
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (one(item.get()) < 0) return -1;
    }
}

}  // namespace norvix
