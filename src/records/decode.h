// Native decoding of history answers.
//
// A history query normally gets its answer from `response.json()` and turns
// each decoded record into a vn.py record.  For the common answer (an
// envelope with `code` 0 whose records hold exactly the JSON types the
// service sends) the body is read here instead, straight from
// `response.content`, and the records are built without the intermediate
// dicts.  Whatever this path cannot prove equivalent to the Python form
// falls back, for the whole answer, to `response.json()` and the query's own
// conversion, before any record is converted or any line logged.
//
// Memory: the JSON parser (simdjson On-Demand: an index of the body's
// structural characters, 4 bytes each, and nothing more unless text has to
// be unescaped) is done with before the records are built, and the Context
// keeps it for the next answer unless it has read more than 32 MiB; between
// the two, the values read are held in one flat array of 8
// bytes per member and record.  While the records are built, a table of
// recently made floats (up to 64 KB, and the floats it holds) lives for the
// query.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "records/convert.h"
#include "runtime/py.h"

namespace norvix::decode {

// The records a query expects: the time member and the members it converts,
// in keyword order (as the query's own conversion reads them).
struct RecordMembers {
    Name time_field;
    bool with_time;
    const Field* fields;
    int n;
};

// One value read from a record: a JSON number as json.loads gives it (int or
// float), or the index of a text in Parsed::texts.
union Slot {
    double d;
    int64_t i;
    uint64_t u;
};

// The records of one natively decoded answer.  Record r occupies `stride`
// slots: the packed time, the masks of members present and of integers, then
// one slot per field of the RecordMembers.
struct Parsed {
    ~Parsed();
    Slot* slots = nullptr;  // PyMem_Raw, so that tracemalloc counts it
    size_t count = 0;
    size_t capacity = 0;
    int stride = 0;
    Ref texts;  // list of the distinct texts of text fields
    // Those texts as read (UTF-8, end to end in PyMem_Raw memory), before
    // `texts` is made of them: the body is parsed without the interpreter's
    // lock, the str objects made with it.
    char* text_bytes = nullptr;
    size_t* text_ends = nullptr;
    size_t text_count = 0;
    size_t text_capacity = 0;

    // Appends a text; false when memory ran out.
    bool keep_text(std::string_view text) noexcept;
    std::string_view text(size_t i) const noexcept {
        const size_t begin = i ? text_ends[i - 1] : 0;
        return std::string_view(text_bytes + begin, text_ends[i] - begin);
    }

    const Slot* record(size_t r) const noexcept { return slots + r * static_cast<size_t>(stride); }
};

// One per query call.  The request routine tells it about the exchange as it
// happens; if it decodes the body, the query converts `parsed()` with
// convert() below instead of reading the envelope.
class Decoder {
public:
    explicit Decoder(const RecordMembers& members) noexcept : members_(members) {}
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Before the request is sent: whether `send` is the real requests.post.
    void note_sender(Context* ctx, PyObject* requests, PyObject* send) noexcept;

    // In place of `response.json()`, after raise_for_status(): 1 when the
    // body was decoded here (ready() is then true), 0 when the caller must
    // call response.json(), -1 with an exception set (what reading
    // response.content raised).
    int decode(Context* ctx, PyObject* response) noexcept;

    // The same for a body already at hand (json.loads(body) being the
    // alternative): 1 when decoded here, 0 when json.loads must read it.
    // With `unlocked`, a large body is parsed with the interpreter's lock
    // released (the buffer must stay alive and unchanged meanwhile).
    int decode_body(Context* ctx, const char* buf, size_t len, bool unlocked = false) noexcept;

    // The exchange failed after the body was decoded (the success line could
    // not be logged): the query goes on with the failure's empty mapping.
    void discard() noexcept;

    bool ready() const noexcept { return parsed_ != nullptr; }
    const RecordMembers& members() const noexcept { return members_; }
    const Parsed& parsed() const noexcept { return *parsed_; }

private:
    const RecordMembers& members_;
    bool real_post_ = false;
    Parsed* parsed_ = nullptr;
};

// A value of a text field, or of a number field as json.loads makes it.
Ref member_value(const Parsed& parsed, size_t r, int field) noexcept;

// The per-record conversion, shared by the queries; see convert() below.
class Converter {
public:
    Converter(Context* ctx, const Decoder& decoder, Name cls_name, PyObject* kwnames) noexcept;
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // -1 when setting up failed (an exception is set).
    int setup() noexcept;
    // datetime.strptime(record[time_field], fmt).replace(tzinfo=CHINA_TZ)
    Ref time(size_t r) noexcept;
    // The fields of record r into args[0..n): float(...) or the text.
    int fields(size_t r, PyObject** args, Ref* hold) noexcept;
    // cls(**dict(zip(kwnames, args))), built directly when cls is the
    // validated vn.py class.
    Ref build(PyObject* cls, PyObject* const* args) noexcept;

    // The validated vn.py class, when the records may be built directly.
    struct Direct;

private:
    bool direct_ok(PyObject* cls) const noexcept;
    Ref direct(PyObject* const* args) noexcept;
    Ref vt_symbol(PyObject* symbol, PyObject* exchange) noexcept;

    Context* ctx_;
    const Decoder& decoder_;
    Name cls_name_;
    PyObject* kwnames_;
    std::unique_ptr<Direct> direct_;

    // The records of an answer repeat many values (prices revisit their
    // levels, price limits and untouched depth levels stay, ticks share a
    // second): equal immutable values made for recent records are handed
    // out again instead of made anew.  Floats by their bits, in a table
    // that keeps the latest of each slot (held until the query ends), of
    // 2**8 to 2**12 slots as the answer has records.
    struct FloatSlot {
        uint64_t bits;
        PyObject* value;  // strong, or null
    };
    std::unique_ptr<FloatSlot[]> floats_;
    int float_shift_ = 0;  // 64 - log2(slots)
    PyObject* float_of(double d) noexcept;
    uint64_t last_time_ = 0;
    Ref last_tz_, last_dt_;
};

// Converts every record parsed into `out`, as the query's loop over the
// decoded records would:  for each record, under the KeyError/ValueError guard (skips to `sink`),
//     dt = <time>;  cls = <cls_name>;  head...;  fields...;  out.append(cls(...))
// `head(args, hold)` evaluates the keyword values before `datetime` (the
// query's own, in its order) and returns how many it wrote.
template <class Head>
int convert(Context* ctx, const Decoder& decoder, Name cls_name, PyObject* kwnames, SkipSink& sink,
            PyObject* out, Head&& head) noexcept {
    Converter conv(ctx, decoder, cls_name, kwnames);
    if (conv.setup() < 0) return -1;
    const Parsed& parsed = decoder.parsed();
    const RecordMembers& members = decoder.members();
    constexpr int kMaxArgs = 48;
    PyObject* args[kMaxArgs];
    Ref hold[kMaxArgs];
    for (size_t r = 0; r < parsed.count; ++r) {
        if (poll_signals(static_cast<Py_ssize_t>(r)) < 0) return -1;
        int used = kMaxArgs;  // the values held for this record
        Ref value = [&]() -> Ref {
            Ref dt = conv.time(r);
            if (!dt) return {};
            Ref cls = load_global(ctx, cls_name);
            if (!cls) return {};
            int k = head(args, hold);
            if (k < 0) return {};
            if (k + 2 + members.n > kMaxArgs) {
                PyErr_SetString(PyExc_SystemError, "too many record fields");
                return {};
            }
            used = k + 1 + members.n;
            args[k] = dt.get();
            if (conv.fields(r, args + k + 1, hold + k + 1) < 0) return {};
            args[k + 1 + members.n] = (*ctx)[Const::gateway];
            return conv.build(cls.get(), args);
        }();
        for (int i = 0; i < used; ++i) hold[i] = Ref();
        if (value) {
            if (PyList_Append(out, value.get()) < 0) return -1;
        } else if (skip_bad_record(ctx, sink) != Skip::skipped) {
            return -1;
        }
    }
    return 0;
}

}  // namespace norvix::decode
