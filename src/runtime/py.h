// Small helpers over the C API shared by every subsystem: text rendering,
// message building, logging through the module's `logger`, and calls.
#pragma once

#include <initializer_list>
#include <string_view>

#include "runtime/as_python/frames.h"
#include "runtime/context.h"

namespace norvix {

// format(obj, ""): the text an f-string replacement field gives.
inline Ref text_of(Context* ctx, PyObject* obj) noexcept {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyObject_Format(obj, (*ctx)[Const::empty]));
}

// One piece of a log message: fixed UTF-8 text, or a value rendered with
// format(value, "").
struct Piece {
    Piece(const char* s) noexcept : utf8(s) {}
    Piece(PyObject* o) noexcept : obj(o) {}
    Piece(const Ref& r) noexcept : obj(r.get()) {}
    const char* utf8 = nullptr;
    PyObject* obj = nullptr;
};

// Concatenation of the pieces, as an f-string builds it.
Ref message(Context* ctx, std::initializer_list<Piece> pieces) noexcept;

enum class Level { info, error };

// logger.info(msg) / logger.error(msg), with `logger` read from the module
// globals at call time.  The logger method is looked up before the message
// is built, in the order Python evaluates `logger.info(f"...")`, and called
// from the frame of the running method (runtime/as_python/frames.h).
template <class Build>
int log(Context* ctx, Level level, Build&& build) noexcept {
    Ref logger = load_global(ctx, Name::logger);
    if (!logger) return -1;
    Ref fn = Ref::steal(
        PyObject_GetAttr(logger.get(), (*ctx)[level == Level::info ? Name::info : Name::error]));
    if (!fn) return -1;
    Ref msg = build();
    if (!msg) return -1;
    return write_log(ctx, fn.get(), msg.get());
}

inline int log(Context* ctx, Level level, std::initializer_list<Piece> pieces) noexcept {
    return log(ctx, level, [&] { return message(ctx, pieces); });
}

// obj.name(args...), with the method looked up on the object.
inline Ref call_method(PyObject* name, std::initializer_list<PyObject*> self_and_args,
                       PyObject* kwnames = nullptr) noexcept {
    size_t nargs = self_and_args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject**>(self_and_args.begin()),
                                                nargs, kwnames));
}

// len(obj), with `len` read from the module globals at call time.
Ref length_of(Context* ctx, PyObject* obj) noexcept;

// Whether the exception `exc` is caught by `except <classes>:` (one class,
// or the tuple the classes form): 1 or 0; -1 with Python's TypeError when
// one of them is not an exception class, which Python checks before matching.
int except_matches(PyObject* exc, std::initializer_list<PyObject*> classes) noexcept;

// Python code notices signals between bytecodes; a loop that only calls C
// would act on Ctrl-C only after the last record.  Called once per record,
// it checks every 1024 records (a few milliseconds of conversion).
inline int poll_signals(Py_ssize_t done) noexcept {
    return (done & 1023) == 0 ? PyErr_CheckSignals() : 0;
}

// mapping.get(key) (dflt == nullptr) or mapping.get(key, dflt), as Python
// spells it; exact dicts are read directly, anything else through its `get`.
Ref get_member(Context* ctx, PyObject* mapping, PyObject* key, PyObject* dflt = nullptr) noexcept;

// `text` with every occurrence of the password (as sent, and in its quoted
// form) replaced by six asterisks.  Texts from outside that log lines quote
// (exception messages, error bodies, the service's own messages, record
// values) pass through here; the line's own fixed text does not.
Ref scrub(Context* ctx, Ref text, PyObject* password) noexcept;

// The same with the password read from owner.password.
Ref scrub_secret(Context* ctx, Ref text, PyObject* owner) noexcept;

// A new, empty list or dict.
inline PyObject* new_list() noexcept { return PyList_New(0); }

}  // namespace norvix
