// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// Checks that an object is the untouched original of a library: the
// function or class that a module defines, as found in sys.modules.  None of
// them imports anything or runs Python code.
#pragma once

#include "runtime/ref.h"

namespace norvix {

// sys.modules[name], or null (without an exception) when it is not there or
// is not a module.
Ref loaded_module(const char* name) noexcept;

// module.<attr> read from the module's dict, or null without an exception.
Ref module_member(PyObject* module, const char* attr) noexcept;

// `fn` is a plain Python function named `qualname` whose code was compiled
// from `filename` (the module's __file__ when filename is null).
bool function_from(PyObject* fn, PyObject* module, const char* qualname,
                   const char* filename = nullptr) noexcept;

// The attribute `name` as the type's MRO gives it (borrowed from a class
// dict that stays alive while the type does), or null without an exception.
PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept;

// The attribute `name` of the class is not a data descriptor anywhere in the
// MRO, so reading and writing it on an instance goes to the instance dict.
bool plain_attribute(PyTypeObject* type, PyObject* name) noexcept;

// A version tag for the type, bumped by CPython whenever the type or one of
// its bases changes; 0 when none could be assigned.
unsigned int version_tag(PyTypeObject* type) noexcept;

// requests.models.Response whose json(), content and text are the library's
// own, with the standard json module behind it: json() then is
// json.loads(content decoded as UTF-8) for the bodies the native reader
// accepts.  False (perhaps with an exception set) when anything differs.
bool standard_response(PyObject* response) noexcept;

// `requests` is the requests package as imported and `send` its own,
// untouched requests.post.
bool real_requests_post(PyObject* requests, PyObject* send) noexcept;

}  // namespace norvix
