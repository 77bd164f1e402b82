// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// A class statement, as the interpreter runs it for a class defined in
// Python: the bases resolved through __mro_entries__, the most derived
// metaclass, its __prepare__'s namespace, the body, __classcell__ and
// __orig_bases__, the metaclass called, the class cell checked.  The
// module's classes are made this way so that they are what the same class
// statements in Python would make.
#pragma once

#include "runtime/context.h"

namespace norvix {

// LOAD_NAME inside a class body: the class namespace, then the module
// globals, then the builtins.
Ref load_name(Context* ctx, PyObject* ns, const char* text) noexcept;

// STORE_NAME inside a class body.
int store_name(PyObject* ns, const char* key, PyObject* value) noexcept;

// bases after __mro_entries__, as a class statement resolves them.
Ref resolve_bases(PyObject* bases) noexcept;

// The most derived metaclass of the bases; null with TypeError on a conflict.
PyObject* calculate_metaclass(PyObject* bases) noexcept;

// class <name>(*orig_bases): <body>
template <class Body>
Ref build_class(const char* name_text, PyObject* orig_bases, PyObject* classcell,
                Body&& body) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(name_text));
    if (!name) return {};
    Ref bases = resolve_bases(orig_bases);
    if (!bases) return {};
    PyObject* meta = calculate_metaclass(bases.get());
    if (!meta) return {};

    Ref ns;
    Ref prepare;
    if (PyObject_GetOptionalAttrString(meta, "__prepare__", prepare.out()) < 0) return {};
    if (prepare) {
        PyObject* args[2] = {name.get(), bases.get()};
        ns = Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
        if (!ns) return {};
        if (!PyMapping_Check(ns.get())) {
            PyErr_Format(
                PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
                Py_TYPE(ns.get())->tp_name);
            return {};
        }
    } else {
        ns = Ref::steal(PyDict_New());
        if (!ns) return {};
    }

    if (body(ns.get()) < 0) return {};
    if (classcell && store_name(ns.get(), "__classcell__", classcell) < 0) return {};
    if (bases.get() != orig_bases && store_name(ns.get(), "__orig_bases__", orig_bases) < 0)
        return {};

    PyObject* args[3] = {name.get(), bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(meta, args, 3, nullptr));
    if (!cls) return {};
    if (classcell && PyType_Check(cls.get())) {
        Ref cell_cls = Ref::steal(PyCell_Get(classcell));
        if (!cell_cls && PyErr_Occurred()) return {};
        if (cell_cls.get() != cls.get()) {
            if (!cell_cls)
                PyErr_Format(PyExc_RuntimeError,
                             "__class__ not set defining %.200R as %.200R. Was __classcell__ "
                             "propagated to type.__new__?",
                             name.get(), cls.get());
            else
                PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R",
                             cell_cls.get(), name.get(), cls.get());
            return {};
        }
    }
    return cls;
}

}  // namespace norvix
