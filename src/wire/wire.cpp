// vnpy_norvix._wire: the engine's native entry.
//
// The engine has a transport of its own; what it shares with the datafeed is
// everything after the bytes: the request tables (endpoint, body members,
// limits, headers), the envelope check, the record conversion with its skip
// guard, and the password masking.  Nothing here logs: every result comes
// back as data for the engine to report.
//
// The module body, once per import:
//
//     import json
//     from datetime import datetime
//     from vnpy.trader.constant import Exchange, Interval
//     from vnpy.trader.object import BarData, TickData
//     from norvix_datafeed import CHINA_TZ
//     TIMEOUT = 10
//     OK, EMPTY, REFUSED, NOT_JSON, BAD_SHAPE = range(5)
//     ROW_TEXT, ROW_VALUE, ROW_MOMENT, ROW_REAL, ROW_AS_GIVEN = range(5)
//     QUERIES = ("day", "minute", "tick", "dominant", "contracts", "ex_factor", "multiplier")
#include <cstring>

#include "client/client.h"
#include "columns/columns.h"
#include "records/records.h"
#include "rows/rows.h"
#include "runtime/imports.h"

namespace norvix {
namespace {

enum Status : int { kOk, kEmpty, kRefused, kNotJson, kBadShape };

struct WireState {
    PyObject* ctx;         // the Context of this import
    Py_ssize_t gc_pauses;  // decode calls running with the collector paused
    bool gc_was_enabled;   // the collector's state before the first of them
};

WireState* state_of(PyObject* module) noexcept {
    return static_cast<WireState*>(PyModule_GetState(module));
}

Context* context_of(PyObject* module) noexcept {
    return reinterpret_cast<Context*>(state_of(module)->ctx);
}

// The records of one answer form no reference cycles, and a collection run
// for every few thousand of them walks every object alive: the collector is
// paused while they are built.  Calls overlapping on several threads share
// one pause; the last one out restores what the first one found.
class GcPause {
public:
    explicit GcPause(WireState* s) noexcept : s_(s) {
        if (s_->gc_pauses++ == 0) s_->gc_was_enabled = PyGC_Disable() != 0;
    }
    ~GcPause() {
        if (--s_->gc_pauses == 0 && s_->gc_was_enabled) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    WireState* s_;
};

// The query `name` names; ValueError for any other text.
int query_of(PyObject* name, Query& q) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "query must be str, not %T", name);
        return -1;
    }
    for (int i = 0; i < static_cast<int>(Query::count_); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, request_of(static_cast<Query>(i)).name) == 0) {
            q = static_cast<Query>(i);
            return 0;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown query %R", name);
    return -1;
}

// The shape of a history query's records, or null for reference data.
const RecordShape* shape_of(Query q) noexcept {
    switch (q) {
        case Query::day:
            return &kDayBars;
        case Query::minute:
            return &kMinuteBars;
        case Query::tick:
            return &kTicks;
        default:
            return nullptr;
    }
}

// The password as the engine passes it: None masks nothing.
Ref masked(Context* ctx, Ref text, PyObject* password) noexcept {
    if (!text) return text;
    if (password == Py_None) return text_of(ctx, text.get());
    return scrub(ctx, std::move(text), password);
}

// The engine's sink: the masked text of each skipped record's exception, in order.
class CollectSkips final : public SkipSink {
public:
    CollectSkips(Context* ctx, PyObject* reasons, PyObject* password) noexcept
        : ctx_(ctx), reasons_(reasons), password_(password) {}
    int take(PyObject* exc) noexcept override {
        Ref text = masked(ctx_, text_of(ctx_, exc), password_);
        return text ? PyList_Append(reasons_, text.get()) : -1;
    }

private:
    Context* ctx_;
    PyObject* reasons_;
    PyObject* password_;
};

// What reading one answer gave, while it is being read.
struct Reading {
    int status = kOk;
    Ref records, code, message, skipped;
    bool native = false;

    // A reading other than OK carries no records.
    int fail(int s, Ref text) noexcept {
        if (!text) return -1;
        status = s;
        message = std::move(text);
        records = Ref::steal(new_list());
        return records ? 0 : -1;
    }
    PyObject* tuple() noexcept {
        return Py_BuildValue("(iOOOOO)", status, records.get(), code ? code.get() : Py_None,
                             message.get(), skipped.get(), native ? Py_True : Py_False);
    }
};

// The pending exception as BAD_SHAPE or NOT_JSON's message, when it is an
// Exception other than MemoryError: f"{type(e).__name__}: {e}" masked (with_type),
// or f"{e}".  0 when it was taken, -1 when it must propagate (still pending).
int take_failure(Context* ctx, Reading& out, int status, PyObject* password,
                 bool with_type) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
        return -1;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = text_of(ctx, exc.get());
    if (text && with_type) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
        text = name ? Ref::steal(PyUnicode_FromFormat("%U: %U", name.get(), text.get())) : Ref();
    }
    return out.fail(status, masked(ctx, std::move(text), password));
}

// BAD_SHAPE for an answer whose structure the conversion cannot walk.
int bad_shape(Context* ctx, Reading& out, const char* what, PyObject* obj,
              PyObject* password) noexcept {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) return -1;
    return out.fail(
        kBadShape,
        masked(ctx, Ref::steal(PyUnicode_FromFormat("%s %U", what, name.get())), password));
}

// data.get("data") is a list of objects; BAD_SHAPE otherwise.  1 when it is.
int check_records(Context* ctx, Reading& out, PyObject* records, PyObject* password) noexcept {
    if (!PyList_CheckExact(records))
        return bad_shape(ctx, out, "data is not a list but", records, password) < 0 ? -1 : 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        PyObject* item = PyList_GET_ITEM(records, i);
        if (!PyDict_CheckExact(item))
            return bad_shape(ctx, out, "a record is not an object but", item, password) < 0 ? -1
                                                                                            : 0;
    }
    return 1;
}

// json.loads(body) and the envelope check.  1 with out.records holding the
// answer's records (a list of dicts), 0 when `out` is complete (a status other
// than OK), -1 on error.
int read_answer(Context* ctx, PyObject* body, PyObject* password, Reading& out) noexcept {
    Ref json = load_global(ctx, Name::json);
    if (!json) return -1;
    Ref data = call_method((*ctx)[Name::loads], {json.get(), body});
    if (!data) return take_failure(ctx, out, kNotJson, password, false) < 0 ? -1 : 0;
    int truth = PyObject_IsTrue(data.get());
    if (truth < 0) return -1;
    if (truth && !PyDict_CheckExact(data.get()))
        return bad_shape(ctx, out, "the answer is not an object but", data.get(), password) < 0 ? -1
                                                                                                : 0;
    Ref records;
    const Envelope seen = read_envelope(ctx, data.get(), out.code, records);
    if (seen == Envelope::error) return -1;
    if (seen == Envelope::empty)
        return out.fail(kEmpty, Ref::borrow((*ctx)[Const::empty])) < 0 ? -1 : 0;
    if (seen == Envelope::refused) {
        Ref message = get_member(ctx, data.get(), (*ctx)[Name::message]);
        return out.fail(kRefused, std::move(message)) < 0 ? -1 : 0;
    }
    out.code = Ref();
    int ok = check_records(ctx, out, records.get(), password);
    if (ok <= 0) return ok;
    out.records = std::move(records);
    return 1;
}

// The records of a history answer, natively decoded when the reader takes
// the body, else from json.loads.
int decode_history(Context* ctx, WireState* state, const RecordShape& shape, PyObject* body,
                   PyObject* symbol, PyObject* exchange, PyObject* password,
                   Reading& out) noexcept {
    decode::Decoder decoder(shape.members);
    // A bytes object cannot change: its buffer is read with the lock released.
    out.native = decoder.decode_body(ctx, PyBytes_AS_STRING(body),
                                     static_cast<size_t>(PyBytes_GET_SIZE(body)), true) == 1;
    Ref records;
    if (!out.native) {
        int ok = read_answer(ctx, body, password, out);
        if (ok <= 0) return ok;
        records = std::move(out.records);
    }
    out.records = Ref::steal(new_list());
    if (!out.records) return -1;
    CollectSkips sink(ctx, out.skipped.get(), password);
    int r;
    {
        GcPause pause(state);
        if (shape.interval != Name::count_) {
            BarHead head(ctx, shape.interval, symbol, exchange);
            r = convert_answer(ctx, shape, decoder, records.get(), out.records.get(), sink, head);
        } else {
            auto head = [&](PyObject** args, Ref*) -> int {
                args[0] = symbol;
                args[1] = exchange;
                return 2;
            };
            r = convert_answer(ctx, shape, decoder, records.get(), out.records.get(), sink, head);
        }
    }
    if (r < 0) return take_failure(ctx, out, kBadShape, password, true);
    return 0;
}

// The columns of a history answer (columns/columns.h), read by the native
// reader when it takes the body, else from json.loads, with the record
// path's envelope check, skip guard and failures.
int decode_table(Context* ctx, const RecordShape& shape, PyObject* body, PyObject* password,
                 Reading& out, Ref& columns) noexcept {
    decode::Decoder decoder(shape.members);
    // A bytes object cannot change: its buffer is read with the lock released.
    out.native = decoder.decode_body(ctx, PyBytes_AS_STRING(body),
                                     static_cast<size_t>(PyBytes_GET_SIZE(body)), true) == 1;
    columns::Table table(ctx, shape);
    int r;
    if (out.native) {
        r = table.fill(decoder.parsed());
    } else {
        int ok = read_answer(ctx, body, password, out);
        if (ok < 0) return -1;
        if (ok == 0) {
            columns = columns::Table(ctx, shape).finish();
            return columns ? 0 : -1;
        }
        CollectSkips sink(ctx, out.skipped.get(), password);
        r = table.fill(out.records.get(), sink);
    }
    if (r < 0) {
        if (take_failure(ctx, out, kBadShape, password, true) < 0) return -1;
        columns = columns::Table(ctx, shape).finish();
    } else {
        columns = table.finish();
    }
    return columns ? 0 : -1;
}

// def request(query, symbol, first=None, last=None) -> tuple[str, str, dict[str, object]]
PyObject* wire_request(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"query", "symbol", "first", "last", nullptr};
    PyObject *query, *symbol, *first = Py_None, *last = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:request", kwlist, &query, &symbol, &first,
                                     &last))
        return nullptr;
    Context* ctx = context_of(module);
    Query q;
    if (query_of(query, q) < 0) return nullptr;
    Ref body = request_body(ctx, q, symbol, first, last);
    if (!body) return nullptr;
    const Request& r = request_of(q);
    return PyTuple_Pack(3, (*ctx)[r.method], (*ctx)[r.endpoint], body.get());
}

// def limit(query) -> int | None
PyObject* wire_limit(PyObject* module, PyObject* query) noexcept {
    Query q;
    if (query_of(query, q) < 0) return nullptr;
    const Const limit = request_of(q).limit;
    return Py_NewRef(limit == Const::count_ ? Py_None : (*context_of(module))[limit]);
}

// def headers(username, password) -> dict[str, str]
PyObject* wire_headers(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"username", "password", nullptr};
    PyObject *username, *password;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:headers", kwlist, &username, &password))
        return nullptr;
    return request_headers(context_of(module), username, password).release();
}

// def mask(text, password) -> str
PyObject* wire_mask(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"text", "password", nullptr};
    PyObject *text, *password;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO:mask", kwlist, &text, &password))
        return nullptr;
    return masked(context_of(module), Ref::borrow(text), password).release();
}

// def decode(query, body, symbol, exchange, password)
//         -> tuple[int, list, object, str, list[str], bool]
PyObject* wire_decode(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"query",    "body",     "symbol",
                                         "exchange", "password", nullptr};
    PyObject *query, *body, *symbol, *exchange, *password;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!OOO:decode", kwlist, &query, &PyBytes_Type,
                                     &body, &symbol, &exchange, &password))
        return nullptr;
    Context* ctx = context_of(module);
    Query q;
    if (query_of(query, q) < 0) return nullptr;
    Reading out;
    out.message = Ref::borrow((*ctx)[Const::empty]);
    out.skipped = Ref::steal(new_list());
    if (!out.skipped) return nullptr;
    if (const RecordShape* shape = shape_of(q)) {
        if (decode_history(ctx, state_of(module), *shape, body, symbol, exchange, password, out) <
            0)
            return nullptr;
    } else if (read_answer(ctx, body, password, out) < 0) {
        return nullptr;
    }
    return out.tuple();
}

// def decode_columns(query, body, password)
//         -> tuple[int, dict[str, ndarray | tuple[ndarray, list]], object, str, list[str], bool]
PyObject* wire_decode_columns(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"query", "body", "password", nullptr};
    PyObject *query, *body, *password;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!O:decode_columns", kwlist, &query,
                                     &PyBytes_Type, &body, &password))
        return nullptr;
    Context* ctx = context_of(module);
    Query q;
    if (query_of(query, q) < 0) return nullptr;
    const RecordShape* shape = shape_of(q);
    if (!shape) {
        PyErr_Format(PyExc_ValueError, "%R has no columns: only day, minute and tick do", query);
        return nullptr;
    }
    Reading out;
    out.message = Ref::borrow((*ctx)[Const::empty]);
    out.skipped = Ref::steal(new_list());
    if (!out.skipped) return nullptr;
    Ref columns;
    if (decode_table(ctx, *shape, body, password, out, columns) < 0) return nullptr;
    return Py_BuildValue("(iOOOOO)", out.status, columns.get(), out.code ? out.code.get() : Py_None,
                         out.message.get(), out.skipped.get(), out.native ? Py_True : Py_False);
}

// def rows(records, cls, plan, fallback, zone, text_times) -> list[tuple]:
//     return [fallback(record) for record in records]
// with the rows of the records that qualify built natively (rows/rows.h).
PyObject* wire_rows(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const kwlist[] = {"records", "cls",        "plan", "fallback",
                                         "zone",    "text_times", nullptr};
    PyObject *records, *cls, *plan, *fallback, *zone;
    int text_times;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!O!OOp:rows", kwlist, &records, &PyType_Type,
                                     &cls, &PyTuple_Type, &plan, &fallback, &zone, &text_times))
        return nullptr;
    WireState* s = state_of(module);
    GcPause pause(s);  // a tuple per record, none of them in a cycle
    return rows::build(context_of(module), records, cls, plan, fallback, zone, text_times != 0)
        .release();
}

// def column_rows(columns, count) -> list[tuple]:
//     list(zip(*columns)), with a one-value tuple for a value in every row and a
//     buffer of doubles for their floats (rows/columns.cpp).
PyObject* wire_column_rows(PyObject* module, PyObject* args) noexcept {
    PyObject* columns;
    Py_ssize_t count;
    if (!PyArg_ParseTuple(args, "O!n:column_rows", &PyList_Type, &columns, &count)) return nullptr;
    GcPause pause(state_of(module));  // a tuple per row, none of them in a cycle
    return rows::column_rows(columns, count).release();
}

// def csv_text(rows) -> str | None:
//     csv.writer(f, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(rows)
// gives the text returned, for rows of the values rows/rows.h names; None for others.
PyObject* wire_csv_text(PyObject* module, PyObject* rows) noexcept {
    return rows::csv_text(context_of(module), rows).release();
}

// def mysql_values(rows, limit) -> list[str] | None:
//     texts = ["(" + ",".join(map(connection.escape, row)) + ")" for row in rows]
// joined by "," into pieces of at most `limit` UTF-8 bytes, for rows of the values
// rows/mysql.cpp names; None for others, a NaN or an infinity included.
PyObject* wire_mysql_values(PyObject* module, PyObject* args) noexcept {
    PyObject* rows;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "O!n:mysql_values", &PyList_Type, &rows, &limit)) return nullptr;
    return rows::mysql_values(context_of(module), rows, limit).release();
}

// def mysql_written(rows) -> bool:
//     mysql_values(rows, limit) is not None   (for any limit)
// without making the text: no value of the rows is one the driver refuses.
PyObject* wire_mysql_written(PyObject* module, PyObject* rows) noexcept {
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, "mysql_written() takes a list of tuples");
        return nullptr;
    }
    return PyBool_FromLong(rows::mysql_written(context_of(module), rows));
}

PyMethodDef wire_methods[] = {
    {"request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_request)),
     METH_VARARGS | METH_KEYWORDS,
     "request(query, symbol, first=None, last=None) -> (method, endpoint, members)"},
    {"limit", wire_limit, METH_O, "limit(query) -> the most records one answer holds, or None"},
    {"headers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_headers)),
     METH_VARARGS | METH_KEYWORDS, "headers(username, password) -> the four request headers"},
    {"mask", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_mask)),
     METH_VARARGS | METH_KEYWORDS, "mask(text, password) -> text with the password masked"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_decode)),
     METH_VARARGS | METH_KEYWORDS,
     "decode(query, body, symbol, exchange, password)\n"
     "-> (status, records, code, message, skipped, native)"},
    {"decode_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_decode_columns)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_columns(query, body, password)\n"
     "-> (status, columns, code, message, skipped, native)"},
    {"rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wire_rows)),
     METH_VARARGS | METH_KEYWORDS,
     "rows(records, cls, plan, fallback, zone, text_times) -> list[tuple]"},
    {"column_rows", wire_column_rows, METH_VARARGS,
     "column_rows(columns, count) -> list[tuple]: the rows of the columns"},
    {"csv_text", wire_csv_text, METH_O,
     "csv_text(rows) -> the CSV text of the rows (QUOTE_STRINGS, \"\\n\" after each), or None"},
    {"mysql_values", wire_mysql_values, METH_VARARGS,
     "mysql_values(rows, limit) -> the rows' VALUES text in pieces of at most limit bytes, or "
     "None"},
    {"mysql_written", wire_mysql_written, METH_O,
     "mysql_written(rows) -> whether mysql_values writes the rows' text"},
    {nullptr, nullptr, 0, nullptr},
};

int wire_exec(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    if (import_module(globals, "json", "json") < 0) return -1;
    if (import_from_names(globals, "datetime", {"datetime"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.constant", {"Exchange", "Interval"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.object", {"BarData", "TickData"}) < 0) return -1;
    if (import_from_names(globals, "norvix_datafeed", {"CHINA_TZ"}) < 0) return -1;

    Ref context = make_context(module);
    if (!context) return -1;
    auto* ctx = reinterpret_cast<Context*>(context.get());
    if (PyModule_AddObjectRef(module, "TIMEOUT", (*ctx)[Const::ten]) < 0) return -1;
    const char* const statuses[] = {"OK", "EMPTY", "REFUSED", "NOT_JSON", "BAD_SHAPE"};
    for (int i = 0; i < 5; ++i)
        if (PyModule_AddIntConstant(module, statuses[i], i) < 0) return -1;
    for (int i = 0; i < rows::kRuleCount; ++i)
        if (PyModule_AddIntConstant(module, rows::kRuleNames[i], i) < 0) return -1;
    Ref queries = Ref::steal(PyTuple_New(static_cast<int>(Query::count_)));
    if (!queries) return -1;
    for (int i = 0; i < static_cast<int>(Query::count_); ++i) {
        PyObject* name = PyUnicode_InternFromString(request_of(static_cast<Query>(i)).name);
        if (!name) return -1;
        PyTuple_SET_ITEM(queries.get(), i, name);
    }
    if (PyModule_AddObjectRef(module, "QUERIES", queries.get()) < 0) return -1;
    WireState* s = state_of(module);
    s->ctx = context.release();
    return 0;
}

int wire_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    WireState* s = state_of(module);
    if (s) Py_VISIT(s->ctx);
    return 0;
}

int wire_clear(PyObject* module) noexcept {
    WireState* s = state_of(module);
    if (s) Py_CLEAR(s->ctx);
    return 0;
}

void wire_free(void* module) noexcept { wire_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot wire_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(wire_exec)},
    {0, nullptr},
};

PyModuleDef wire_def = {
    PyModuleDef_HEAD_INIT,
    "vnpy_norvix._wire",
    "The engine's native entry: the datafeed's requests, masking and decoding, as data.",
    sizeof(WireState),
    wire_methods,
    wire_slots,
    wire_traverse,
    wire_clear,
    wire_free,
};

}  // namespace
}  // namespace norvix

// The module's only exported symbol.
PyMODINIT_FUNC PyInit__wire() noexcept { return PyModuleDef_Init(&norvix::wire_def); }
