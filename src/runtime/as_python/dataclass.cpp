#include "runtime/as_python/dataclass.h"

#include <cstdio>

#include "runtime/as_python/pycheck.h"

namespace norvix {
namespace {

// The interned names the checks read.
struct InitNames {
    Ref init, post_init, fields, field_init, default_factory;
    bool make() noexcept {
        struct {
            Ref* ref;
            const char* text;
        } all[] = {{&init, "__init__"},
                   {&post_init, "__post_init__"},
                   {&fields, "__dataclass_fields__"},
                   {&field_init, "init"},
                   {&default_factory, "default_factory"}};
        for (auto& n : all) {
            *n.ref = Ref::steal(PyUnicode_InternFromString(n.text));
            if (!*n.ref) return false;
        }
        return true;
    }
};

}  // namespace

DataclassInit::~DataclassInit() { Py_XDECREF(cls); }

bool DataclassInit::current(PyObject* c) const noexcept {
    return c == reinterpret_cast<PyObject*>(cls) && cls->tp_version_tag == tag &&
           PyFunction_GET_CODE(init.get()) == init_code &&
           PyFunction_GET_DEFAULTS(init.get()) == defaults.get() &&
           PyFunction_GET_CODE(post.get()) == post_code;
}

bool read_dataclass(const char* module, const char* cname, PyObject* cls, PyObject* kwnames,
                    DataclassInit& d) noexcept {
    InitNames names;
    if (!names.make()) return false;
    Ref objects = loaded_module(module);
    Ref vn = module_member(objects.get(), cname);
    if (!vn || vn.get() != cls || !PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_alloc != PyType_GenericAlloc ||
        tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_getattro != PyObject_GenericGetAttr ||
        !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
        return false;

    char qual[64];
    PyObject* init = type_lookup(tp, names.init.get());
    std::snprintf(qual, sizeof qual, "%s.__init__", cname);
    if (!function_from(init, objects.get(), qual, "<string>")) return false;
    PyObject* post = type_lookup(tp, names.post_init.get());
    std::snprintf(qual, sizeof qual, "%s.__post_init__", cname);
    if (!function_from(post, objects.get(), qual)) return false;

    Ref dataclasses = loaded_module("dataclasses");
    Ref missing = module_member(dataclasses.get(), "MISSING");
    PyObject* fields = type_lookup(tp, names.fields.get());
    if (!missing || !fields || !PyDict_CheckExact(fields)) return false;

    // __init__(self, <init fields in order>) with defaults for the last ones.
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(init));
    PyObject* defaults = PyFunction_GET_DEFAULTS(init);
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (code->co_kwonlyargcount != 0 || (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)))
        return false;
    Ref varnames =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(code), "co_varnames"));
    if (!varnames || !PyTuple_Check(varnames.get())) return false;
    const int nparams = code->co_argcount;

    Py_ssize_t pos = 0;
    PyObject *fname, *field;
    int param = 1;
    while (PyDict_Next(fields, &pos, &fname, &field)) {
        Ref is_init = Ref::steal(PyObject_GetAttr(field, names.field_init.get()));
        if (!is_init) return false;
        if (is_init.get() != Py_True) {
            // Not set by __init__ unless built by a factory.
            Ref factory = Ref::steal(PyObject_GetAttr(field, names.default_factory.get()));
            if (!factory || factory.get() != missing.get() || is_init.get() != Py_False)
                return false;
            continue;
        }
        if (param >= nparams || d.nstores >= DataclassInit::kMaxStores) return false;
        if (PyUnicode_Compare(PyTuple_GET_ITEM(varnames.get(), param), fname) != 0) return false;
        DataclassInit::Store& s = d.stores[d.nstores++];
        s.name = Ref::borrow(fname);
        s.kw = -1;
        s.dflt = nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), fname) == 0) s.kw = int(k);
        if (s.kw < 0) {
            Py_ssize_t first_default = nparams - ndefaults;
            if (param < first_default) return false;  // a required argument not given
            s.dflt = PyTuple_GET_ITEM(defaults, param - first_default);
        }
        if (!plain_attribute(tp, fname)) return false;
        ++param;
    }
    if (PyErr_Occurred() || param != nparams) return false;
    // Every keyword given is a parameter.
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        bool found = false;
        for (int i = 0; i < d.nstores; ++i) found |= d.stores[i].kw == k;
        if (!found) return false;
    }

    d.tag = version_tag(tp);
    if (!d.tag) return false;
    d.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    d.defaults = Ref::borrow(defaults);
    d.init = Ref::borrow(init);
    d.post = Ref::borrow(post);
    d.init_code = PyFunction_GET_CODE(init);
    d.post_code = PyFunction_GET_CODE(post);
    return true;
}

unsigned int enum_value_tag(PyObject* member, PyObject* value, PyObject* value_attr) noexcept {
    PyTypeObject* tp = Py_TYPE(member);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
    Ref enum_mod = loaded_module("enum");
    Ref enum_cls = module_member(enum_mod.get(), "Enum");
    Ref prop_cls = module_member(enum_mod.get(), "property");
    if (!enum_cls || !PyType_Check(enum_cls.get()) || !prop_cls) return 0;
    PyObject* desc = type_lookup(tp, value);
    if (!desc || desc != type_lookup(reinterpret_cast<PyTypeObject*>(enum_cls.get()), value))
        return 0;
    if (reinterpret_cast<PyObject*>(Py_TYPE(desc)) != prop_cls.get()) return 0;
    Ref get = Ref::steal(PyUnicode_InternFromString("__get__"));
    if (!get ||
        !function_from(type_lookup(Py_TYPE(desc), get.get()), enum_mod.get(), "property.__get__"))
        return 0;
    Ref fget = Ref::steal(PyObject_GetAttrString(desc, "fget"));
    if (!fget || !function_from(fget.get(), enum_mod.get(), "Enum.value")) return 0;
    if (!plain_attribute(tp, value_attr)) return 0;
    return version_tag(tp);
}

}  // namespace norvix
