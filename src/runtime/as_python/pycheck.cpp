#include "runtime/as_python/pycheck.h"

#include <cstring>

namespace norvix {
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

bool standard_response(PyObject* response) noexcept {
    Ref models = loaded_module("requests.models");
    Ref cls = module_member(models.get(), "Response");
    PyTypeObject* tp = Py_TYPE(response);
    if (!cls || reinterpret_cast<PyObject*>(tp) != cls.get()) return false;
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref name = Ref::steal(PyUnicode_InternFromString("json"));
    if (!name) return false;
    if (!function_from(type_lookup(tp, name.get()), models.get(), "Response.json")) return false;
    struct Property {
        const char* name;
        const char* qualname;
    };
    for (const Property& prop :
         {Property{"content", "Response.content"}, Property{"text", "Response.text"}}) {
        Ref pname = Ref::steal(PyUnicode_InternFromString(prop.name));
        if (!pname) return false;
        PyObject* p = type_lookup(tp, pname.get());
        if (!p || !Py_IS_TYPE(p, &PyProperty_Type)) return false;
        Ref fget = Ref::steal(PyObject_GetAttrString(p, "fget"));
        if (!fget) return false;
        if (!function_from(fget.get(), models.get(), prop.qualname)) return false;
    }
    // json is a plain method: the instance dict could shadow it.
    Ref dict = Ref::steal(PyObject_GenericGetDict(response, nullptr));
    if (!dict) return false;
    int shadowed = PyDict_Contains(dict.get(), name.get());
    if (shadowed != 0) return false;
    Ref json = loaded_module("json");
    Ref complexjson = module_member(models.get(), "complexjson");
    if (!json || complexjson.get() != json.get()) return false;
    return function_from(module_member(json.get(), "loads").get(), json.get(), "loads");
}

bool real_requests_post(PyObject* requests, PyObject* send) noexcept {
    Ref package = loaded_module("requests");
    Ref api = loaded_module("requests.api");
    Ref post = module_member(api.get(), "post");
    return package && package.get() == requests && post && post.get() == send &&
           function_from(send, api.get(), "post");
}

}  // namespace norvix
