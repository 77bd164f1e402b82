#include "runtime/as_python/class_statement.h"

namespace norvix {

Ref load_name(Context* ctx, PyObject* ns, const char* text) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(text));
    if (!name) return {};
    PyObject* v;
    int r = PyDict_CheckExact(ns) ? PyDict_GetItemRef(ns, name.get(), &v)
                                  : PyMapping_GetOptionalItem(ns, name.get(), &v);
    if (r < 0) return {};
    if (v) return Ref::steal(v);
    return load_global(ctx, name.get());
}

int store_name(PyObject* ns, const char* key, PyObject* value) noexcept {
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    if (!k) return -1;
    return PyDict_CheckExact(ns) ? PyDict_SetItem(ns, k.get(), value)
                                 : PyObject_SetItem(ns, k.get(), value);
}

Ref resolve_bases(PyObject* bases) noexcept {
    Ref out;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref meth;
            if (PyObject_GetOptionalAttrString(base, "__mro_entries__", meth.out()) < 0) return {};
            if (meth) {
                entries = Ref::steal(PyObject_CallOneArg(meth.get(), bases));
                if (!entries) return {};
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return {};
                }
            }
        }
        if (entries && !out) {
            out = Ref::steal(PyList_New(0));
            if (!out) return {};
            for (Py_ssize_t j = 0; j < i; ++j)
                if (PyList_Append(out.get(), PyTuple_GET_ITEM(bases, j)) < 0) return {};
        }
        if (!out) continue;
        if (entries) {
            if (PyList_SetSlice(out.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0)
                return {};
        } else if (PyList_Append(out.get(), base) < 0) {
            return {};
        }
    }
    if (!out) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(out.get()));
}

PyObject* calculate_metaclass(PyObject* bases) noexcept {
    PyObject* winner = PyTuple_GET_SIZE(bases)
                           ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                           : reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        auto* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        auto* w = reinterpret_cast<PyTypeObject*>(winner);
        if (PyType_IsSubtype(w, t)) continue;
        if (PyType_IsSubtype(t, w)) {
            winner = reinterpret_cast<PyObject*>(t);
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

}  // namespace norvix
