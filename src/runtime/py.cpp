#include "runtime/py.h"

namespace norvix {

Ref message(Context* ctx, std::initializer_list<Piece> pieces) noexcept {
    Ref out = Ref::borrow((*ctx)[Const::empty]);
    for (const Piece& p : pieces) {
        Ref part = p.utf8 ? Ref::steal(PyUnicode_FromString(p.utf8)) : text_of(ctx, p.obj);
        if (!part) return {};
        out = Ref::steal(PyUnicode_Concat(out.get(), part.get()));
        if (!out) return {};
    }
    return out;
}

Ref length_of(Context* ctx, PyObject* obj) noexcept {
    Ref len = load_global(ctx, Name::len_);
    if (!len) return {};
    return Ref::steal(PyObject_CallOneArg(len.get(), obj));
}

int except_matches(PyObject* exc, std::initializer_list<PyObject*> classes) noexcept {
    // The clause's value: the one class expression, which may itself be a
    // tuple, or the tuple the expressions form.
    PyObject* const* items = classes.begin();
    Py_ssize_t n = static_cast<Py_ssize_t>(classes.size());
    if (n == 1 && PyTuple_Check(items[0])) {
        items = &PyTuple_GET_ITEM(items[0], 0);
        n = PyTuple_GET_SIZE(classes.begin()[0]);
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyExceptionClass_Check(items[i])) {
            PyErr_SetString(
                PyExc_TypeError,
                "catching classes that do not inherit from BaseException is not allowed");
            return -1;
        }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyErr_GivenExceptionMatches(exc, items[i])) return 1;
    return 0;
}

Ref get_member(Context* ctx, PyObject* mapping, PyObject* key, PyObject* dflt) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v;
        if (PyDict_GetItemRef(mapping, key, &v) < 0) return {};
        if (v) return Ref::steal(v);
        return Ref::borrow(dflt ? dflt : Py_None);
    }
    if (dflt) return call_method((*ctx)[Name::get], {mapping, key, dflt});
    return call_method((*ctx)[Name::get], {mapping, key});
}

}  // namespace norvix
