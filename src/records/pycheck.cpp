#include "records/pycheck.h"

#include <cstring>

namespace norvix::decode {
namespace {

// PyUnicode equal to the UTF-8 text, without raising.
bool text_is(PyObject* obj, const char* text) noexcept {
    if (!obj || !PyUnicode_Check(obj)) return false;
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    return static_cast<size_t>(n) == std::strlen(text) && std::memcmp(s, text, n) == 0;
}

}  // namespace

Ref loaded_module(const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        PyErr_Clear();
        return {};
    }
    Ref m = Ref::steal(PyImport_GetModule(key.get()));
    if (!m || !PyModule_CheckExact(m.get())) {
        PyErr_Clear();
        return {};
    }
    return m;
}

Ref module_member(PyObject* module, const char* attr) noexcept {
    PyObject* v = nullptr;
    if (!module || PyDict_GetItemStringRef(PyModule_GetDict(module), attr, &v) < 0) PyErr_Clear();
    return Ref::steal(v);
}

bool function_from(PyObject* fn, PyObject* module, const char* qualname,
                   const char* filename) noexcept {
    if (!fn || !Py_IS_TYPE(fn, &PyFunction_Type)) return false;
    Ref q = Ref::steal(PyObject_GetAttrString(fn, "__qualname__"));
    if (!q) {
        PyErr_Clear();
        return false;
    }
    if (!text_is(q.get(), qualname)) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn));
    if (filename) return text_is(code->co_filename, filename);
    Ref file = module_member(module, "__file__");
    if (!file || !PyUnicode_Check(file.get())) return false;
    int same = PyUnicode_Compare(code->co_filename, file.get());
    if (same == -1 && PyErr_Occurred()) PyErr_Clear();
    return same == 0;
}

PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict) continue;
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &v) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        if (v) {
            // The class dict keeps its reference while the type lives.
            Py_DECREF(v);
            return v;
        }
    }
    return nullptr;
}

bool plain_attribute(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* v = type_lookup(type, name);
    return !v || Py_TYPE(v)->tp_descr_set == nullptr;
}

unsigned int version_tag(PyTypeObject* type) noexcept {
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type->tp_version_tag;
}

}  // namespace norvix::decode
