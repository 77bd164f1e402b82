#include "common/py.h"

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
