#include "runtime/as_python/function.h"

#include <structmember.h>

#include <algorithm>
#include <cstring>

#include "runtime/as_python/frames.h"

namespace norvix {
namespace {

FunctionObject* as_func(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

// ---------------------------------------------------------------------------
// Keyword suggestions ("Did you mean ...?"), as the interpreter computes them
// for an unexpected keyword argument: a Levenshtein distance over UTF-8 bytes
// in which a case flip costs half a move.

constexpr size_t kMaxStringSize = 40;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) noexcept {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t levenshtein(const char* a, size_t na, const char* b, size_t nb, size_t max_cost) noexcept {
    if (a == b) return 0;
    while (na && nb && a[0] == b[0]) ++a, ++b, --na, --nb;
    while (na && nb && a[na - 1] == b[nb - 1]) --na, --nb;
    if (na == 0 || nb == 0) return (na + nb) * kMoveCost;
    if (na > kMaxStringSize || nb > kMaxStringSize) return max_cost + 1;
    if (nb < na) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if ((nb - na) * kMoveCost > max_cost) return max_cost + 1;
    size_t buffer[kMaxStringSize];
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < na; ++i, tmp += kMoveCost) buffer[i] = tmp;
    size_t result = 0;
    for (size_t bi = 0; bi < nb; ++bi) {
        char code = b[bi];
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < na; ++i) {
            size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// Borrowed reference to the best suggestion among the parameter names, or
// nullptr (never with an exception set).
PyObject* suggest(PyObject* params, PyObject* keyword) noexcept {
    Py_ssize_t nsize;
    const char* nstr = PyUnicode_AsUTF8AndSize(keyword, &nsize);
    if (!nstr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(params); ++i) {
        PyObject* item = PyTuple_GET_ITEM(params, i);
        Py_ssize_t isize;
        const char* istr = PyUnicode_AsUTF8AndSize(item, &isize);
        if (!istr) {
            PyErr_Clear();
            return nullptr;
        }
        if (isize == nsize && std::memcmp(istr, nstr, nsize) == 0) continue;
        size_t max_distance = (size_t(nsize) + size_t(isize) + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
        size_t d = levenshtein(nstr, nsize, istr, isize, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// Argument binding with the interpreter's messages.

void too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t ndefaults) noexcept {
    Py_ssize_t total = f->spec->nparams;
    Ref sig = ndefaults
                  ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", total - ndefaults, total))
                  : Ref::steal(PyUnicode_FromFormat("%zd", total));
    if (!sig) return;
    bool plural = ndefaults ? true : total != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 f->qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(FunctionObject* f, PyObject* const* bound, Py_ssize_t from,
                       Py_ssize_t to) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = from; i < to; ++i) {
        if (bound[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->params, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref listed;
    if (n == 1) {
        listed = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        listed = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                                 PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail =
            Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2),
                                            PyList_GET_ITEM(names.get(), n - 1)));
        if (!tail || PyList_SetSlice(names.get(), n - 2, n, nullptr) < 0) return;
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        if (!sep) return;
        Ref head = Ref::steal(PyUnicode_Join(sep.get(), names.get()));
        if (!head) return;
        listed = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", f->qualname,
                 int(n), n == 1 ? "" : "s", listed.get());
}

constexpr int kMaxParams = 8;

// The body, with the function as the running method of this thread and, as
// an exception leaves it, the function's own traceback entry.
PyObject* run_body(FunctionObject* f, PyObject* const* args) noexcept {
    return run_as(f->ctx, f->spec->method, [&] { return Ref::steal(f->spec->impl(f, args)); })
        .release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_func(self);
    const Py_ssize_t total = f->spec->nparams;
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (!kwnames && given == total) return run_body(f, args);

    // Keep the defaults alive for the whole call: a callee may reassign them.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    PyObject* bound[kMaxParams] = {};
    const Py_ssize_t npos = given < total ? given : total;
    for (Py_ssize_t i = 0; i < npos; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return nullptr;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < total; ++i)
            if (PyTuple_GET_ITEM(f->params, i) == key) {
                index = i;
                break;
            }
        if (index < 0) {
            for (Py_ssize_t i = 0; i < total; ++i) {
                int eq = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(f->params, i), Py_EQ);
                if (eq < 0) return nullptr;
                if (eq) {
                    index = i;
                    break;
                }
            }
        }
        if (index < 0) {
            if (PyObject* s = suggest(f->params, key))
                PyErr_Format(PyExc_TypeError,
                             "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                             f->qualname, key, s);
            else
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, key);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         key);
            return nullptr;
        }
        bound[index] = args[given + k];
    }
    if (given > total) {
        too_many_positional(f, given, ndefaults);
        return nullptr;
    }
    const Py_ssize_t first_default = total - ndefaults;
    for (Py_ssize_t i = given; i < first_default; ++i) {
        if (!bound[i]) {
            missing_arguments(f, bound, given, first_default);
            return nullptr;
        }
    }
    for (Py_ssize_t i = first_default > given ? first_default : given; i < total; ++i)
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(defaults.get(), i - first_default);
    return run_body(f, bound);
}

// ---------------------------------------------------------------------------
// Attributes.

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_func(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) noexcept {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_func(self)->name, Py_NewRef(v));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* v, void*) noexcept {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_func(self)->qualname, Py_NewRef(v));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) noexcept {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_func(self)->defaults, Py_XNewRef(v));
    return 0;
}
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
// A Python function's __doc__ and __module__ read None after `del`.
PyObject* get_doc(PyObject* self, void*) noexcept {
    PyObject* d = as_func(self)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject* self, PyObject* v, void*) noexcept {
    Py_XSETREF(as_func(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_module(PyObject* self, void*) noexcept {
    PyObject* m = as_func(self)->module;
    return Py_NewRef(m ? m : Py_None);
}
int set_module(PyObject* self, PyObject* v, void*) noexcept {
    Py_XSETREF(as_func(self)->module, Py_XNewRef(v));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_func(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) noexcept {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(v));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->ctx->globals);
}
PyObject* get_builtins(PyObject* self, void*) noexcept {
    return Py_NewRef(as_func(self)->ctx->builtins);
}

// inspect.Signature built from the current defaults and annotations, the
// way inspect derives it for a function defined in Python.
PyObject* get_signature(PyObject* self, void*) noexcept {
    FunctionObject* f = as_func(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!positional) return nullptr;
    Ref ann = Ref::steal(get_annotations(self, nullptr));
    if (!ann) return nullptr;
    const Py_ssize_t total = f->spec->nparams;
    // Our own reference for the whole computation: creating the parameters
    // runs Python code, which may reassign __defaults__ meanwhile.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    // inspect gives the defaults to positional[total - ndefaults:], a Python
    // slice: with more defaults than parameters it counts from the end.
    const Py_ssize_t split = total - ndefaults;
    const Py_ssize_t first_default = split >= 0 ? split : std::max<Py_ssize_t>(total + split, 0);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* pname = PyTuple_GET_ITEM(f->params, i);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        if (i >= first_default &&
            PyDict_SetItemString(kwargs.get(), "default",
                                 PyTuple_GET_ITEM(defaults.get(), i - first_default)) < 0)
            return nullptr;
        PyObject* a;
        if (PyDict_GetItemRef(ann.get(), pname, &a) < 0) return nullptr;
        if (a) {
            Ref hold = Ref::steal(a);
            if (PyDict_SetItemString(kwargs.get(), "annotation", a) < 0) return nullptr;
        }
        Ref pargs = Ref::steal(PyTuple_Pack(2, pname, positional.get()));
        if (!pargs) return nullptr;
        Ref p = Ref::steal(PyObject_Call(parameter.get(), pargs.get(), kwargs.get()));
        if (!p || PyList_Append(list.get(), p.get()) < 0) return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject* ret;
    if (PyDict_GetItemStringRef(ann.get(), "return", &ret) < 0) return nullptr;
    if (ret) {
        Ref hold = Ref::steal(ret);
        if (PyDict_SetItemString(kwargs.get(), "return_annotation", ret) < 0) return nullptr;
    }
    Ref sargs = Ref::steal(PyTuple_Pack(1, list.get()));
    if (!sargs) return nullptr;
    return PyObject_Call(signature.get(), sargs.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled, copied and deep-copied as Python functions are: by reference,
// as the attribute its qualified name gives in its module.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_func(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->ctx);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->classcell);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_func(self);
    Py_CLEAR(f->ctx);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->classcell);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = as_func(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "norvix_datafeed.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

Ref make_function_type(PyObject* module) noexcept {
    return Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref new_function(Context* ctx, const FunctionSpec* spec, PyObject* module_name, PyObject* defaults,
                 PyObject* annotations, PyObject* classcell) noexcept {
    auto* tp = reinterpret_cast<PyTypeObject*>(ctx->function_type);
    Ref self = Ref::steal(PyType_GenericAlloc(tp, 0));
    if (!self) return {};
    FunctionObject* f = as_func(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->ctx = reinterpret_cast<Context*>(Py_NewRef(reinterpret_cast<PyObject*>(ctx)));
    f->module = Py_NewRef(module_name);
    f->defaults = Py_XNewRef(defaults);
    f->annotations = Py_XNewRef(annotations);
    f->classcell = Py_XNewRef(classcell);
    f->doc = spec->doc ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    f->name = PyUnicode_InternFromString(spec->name);
    f->qualname = PyUnicode_FromString(spec->qualname);
    f->params = PyTuple_New(spec->nparams);
    if (!f->doc || !f->name || !f->qualname || !f->params) return {};
    if (make_frame(ctx, spec->method, spec->name, spec->qualname) < 0) return {};
    for (int i = 0; i < spec->nparams; ++i) {
        PyObject* p = PyUnicode_InternFromString(spec->params[i]);
        if (!p) return {};
        PyTuple_SET_ITEM(f->params, i, p);
    }
    return self;
}

}  // namespace norvix
