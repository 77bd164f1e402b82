// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// Frames for the module's functions, so that log records and tracebacks
// name them as they would name the same functions written in Python.
//
// loguru takes a record's module name, function and file from the frame
// that calls `logger.info`: the line is therefore written from a real frame,
// a tiny Python function (see Context::frames) whose code carries the
// method's name and the module's file and whose globals are the module
// namespace.  An exception leaving a method gains a traceback entry from
// the same code, as Cython adds one for its functions.
#pragma once

#include "runtime/context.h"

namespace norvix {

// The method running on this thread while the object lives, for the log
// lines it writes; the previous one is restored afterwards.
class MethodScope {
public:
    explicit MethodScope(Method m) noexcept;
    ~MethodScope();
    MethodScope(const MethodScope&) = delete;
    MethodScope& operator=(const MethodScope&) = delete;

private:
    Method saved_;
};

// Creates ctx's frame function for `m`, named `name` and `qualname`.
int make_frame(Context* ctx, Method m, const char* name, const char* qualname) noexcept;

// fn(message), called from the frame of the method running on this thread.
int write_log(Context* ctx, PyObject* fn, PyObject* message) noexcept;

// Adds the traceback entry of method `m` to the pending exception.
void add_traceback(Context* ctx, Method m) noexcept;

// body() run as method `m`: its log lines name `m`, and an exception leaving
// it gains m's traceback entry.
template <class Body>
Ref run_as(Context* ctx, Method m, Body&& body) noexcept {
    Ref result;
    {
        MethodScope scope(m);
        result = body();
    }
    if (!result) add_traceback(ctx, m);
    return result;
}

}  // namespace norvix
