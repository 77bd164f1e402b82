// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// The module's native function type.
//
// A native function passes for a Python function defined in a class body:
// it is called through vectorcall, binds to instances as a method through
// tp_descr_get, binds its arguments with the interpreter's own TypeError
// texts, and carries __name__, __qualname__, __module__, __doc__,
// __defaults__, __annotations__, __dict__ and a __signature__.
#pragma once

#include "runtime/context.h"

namespace norvix {

struct FunctionObject;

// Body of a native function.  `args` holds exactly `nparams` bound
// arguments (self first), defaults already filled in.  `Body name;` declares
// one, defined as `PyObject* name(FunctionObject* f, PyObject* const* args) noexcept`.
using Body = PyObject*(FunctionObject* f, PyObject* const* args) noexcept;
using Impl = Body*;

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no docstring
    int nparams;      // including self
    const char* params[6];
    Impl impl;
    Method method;  // names its log lines and traceback entries
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Context* ctx;      // strong
    PyObject* params;  // tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or nullptr
    PyObject* annotations;  // dict or nullptr
    PyObject* classcell;    // cell or nullptr
    PyObject* dict;
    PyObject* weakreflist;
};

// Creates the function type for one import of the module.
Ref make_function_type(PyObject* module) noexcept;

// A new function of `spec`.  `defaults` may be nullptr; `annotations` is a
// dict; `classcell` is the cell that receives the class being defined.
Ref new_function(Context* ctx, const FunctionSpec* spec, PyObject* module_name, PyObject* defaults,
                 PyObject* annotations, PyObject* classcell) noexcept;

}  // namespace norvix
