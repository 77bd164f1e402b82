// Record conversion for the history queries: the per-record steps written
// natively, each one indistinguishable from the Python expression it
// replaces.
#pragma once

#include "common/py.h"

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

// datetime.strptime(record[field], fmt).replace(tzinfo=CHINA_TZ)
Ref record_time(Context* ctx, PyObject* record, Name field, bool with_time) noexcept;

// How one record member becomes a keyword value.
enum class Kind : unsigned char {
    required,  // float(record[key])
    optional,  // float(record.get(key, 0))
    text,      // record.get(key, "")
};

struct Field {
    Name key;
    Kind kind;
};

// Reads a query's fields from the records of one answer.  Records decoded
// from one JSON body share their key objects and nearly always their key
// order; once a record's layout has been learned, the next records with the
// same key objects in the same order are read by position, without hashing.
class MemberReader {
public:
    MemberReader(Context* ctx, const Field* fields, int n) noexcept
        : ctx_(ctx), fields_(fields), n_(n) {}
    ~MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    static constexpr int kMaxFields = 32;

    // values[i] = record[fields[i].key], or nullptr when absent, for an
    // exact dict.  Returns 1 when every value found is of a type decoded
    // JSON produces, 0 when some value is not (values are then unset), -1
    // on error.  The references are borrowed from the record (or held by
    // the reader until the next read): they stay valid as long as no Python
    // code runs, which converting JSON-typed values never does.
    int read(PyObject* record, PyObject** values) noexcept;

private:
    static constexpr int kMaxKeys = 64;
    static constexpr int kMaxLearns = 8;
    void learn(PyObject* record) noexcept;
    void forget() noexcept;

    Context* ctx_;
    const Field* fields_;
    int n_;
    PyObject* keys_[kMaxKeys] = {};  // strong: a freed key's address could come back
    signed char field_at_[kMaxKeys] = {};
    Py_ssize_t size_ = -1;
    int learns_ = 0;
    Ref held_[kMaxFields];  // values found by lookup rather than by position
};

// The fields of one record, in order, into out[0..n): the conversions that
// Kind names, with `float` read from the module globals.  For exact dicts
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

// The datafeed's: logger.error(f"{prefix}{e}"), with self.password masked.
class LogSkips final : public SkipSink {
public:
    LogSkips(Context* ctx, PyObject* self, const char* prefix) noexcept
        : ctx_(ctx), self_(self), prefix_(prefix) {}
    int take(PyObject* exc) noexcept override;

private:
    Context* ctx_;
    PyObject* self_;
    const char* prefix_;
};

// Runs `convert` for every item of `records` (any iterable), appending each
// result to `out`.  A KeyError or ValueError from one record goes to `sink`
// and the record is skipped; anything else propagates.
template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, SkipSink& sink,
                Convert&& convert) noexcept;

// The guard around one record:
//     except (KeyError, ValueError) as e: sink.take(e)
// 1 when the pending exception was one of them and the sink took it, 0 when
// it must propagate (it is pending again), -1 when handling raised.
int skip_bad_record(Context* ctx, SkipSink& sink) noexcept;

template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, SkipSink& sink,
                Convert&& convert) noexcept {
    auto one = [&](PyObject* item) -> int {
        Ref value = convert(item);
        if (value) return PyList_Append(out, value.get());
        int skipped = skip_bad_record(ctx, sink);
        return skipped == 1 ? 0 : -1;
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

// The summary line after conversion:
//     f"NorvixData获取{symbol}{success}{len(out)}条"  or  f"NorvixData未获取到{symbol}{nodata}"
int log_summary(Context* ctx, PyObject* out, PyObject* symbol, const char* success,
                const char* nodata) noexcept;

}  // namespace norvix
