// The import statements of a module body, run on its namespace.
#pragma once

#include <initializer_list>

#include "runtime/ref.h"

namespace norvix {

// `import name` bound as `bind_as`.
int import_module(PyObject* globals, const char* name, const char* bind_as) noexcept;

// `from module_name import a, b, ...`
int import_from_names(PyObject* globals, const char* module_name,
                      std::initializer_list<const char*> names) noexcept;

}  // namespace norvix
