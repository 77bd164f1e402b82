#include "runtime/as_python/class_attr.h"

#include <cstring>

#include "runtime/as_python/pycheck.h"

namespace norvix {

Ref ClassAttr::get(PyObject* cls, PyObject* name) noexcept {
    if (value_ && cls == cls_.get() &&
        reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag == tags_[0] &&
        Py_TYPE(cls)->tp_version_tag == tags_[1] &&
        Py_TYPE(value_.get())->tp_version_tag == tags_[2])
        return Ref::borrow(value_.get());
    value_ = Ref();
    Ref value = Ref::steal(PyObject_GetAttr(cls, name));
    if (!value || !PyType_Check(cls) || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro)
        return value;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    PyTypeObject* value_type = Py_TYPE(value.get());
    const unsigned int tags[3] = {version_tag(type), version_tag(meta), version_tag(value_type)};
    // type.__getattribute__: no metaclass attribute of that name, and the
    // class's own is this value, which is no descriptor.
    if (tags[0] && tags[1] && tags[2] && !type_lookup(meta, name) &&
        type_lookup(type, name) == value.get() && !value_type->tp_descr_get) {
        cls_ = Ref::borrow(cls);
        value_ = Ref::borrow(value.get());
        std::memcpy(tags_, tags, sizeof tags);
    }
    return value;
}

}  // namespace norvix
