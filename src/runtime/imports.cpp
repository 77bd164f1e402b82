#include "runtime/imports.h"

namespace norvix {
namespace {

// IMPORT_FROM: the attribute, else the submodule from sys.modules, else
// ImportError "cannot import name ...".
Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref v;
    int r = PyObject_GetOptionalAttr(module, name, v.out());
    if (r != 0) return r < 0 ? Ref{} : std::move(v);
    Ref pkgname;
    if (PyObject_GetOptionalAttrString(module, "__name__", pkgname.out()) < 0) return {};
    if (pkgname && PyUnicode_Check(pkgname.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
        if (!full) return {};
        Ref sub = Ref::steal(PyImport_GetModule(full.get()));
        if (sub) return sub;
        if (PyErr_Occurred()) return {};
    } else {
        pkgname = Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!pkgname) return {};
    }
    Ref path = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
    if (!path) PyErr_Clear();
    Ref msg = path ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                     pkgname.get(), path.get()))
                   : Ref::steal(PyUnicode_FromFormat(
                         "cannot import name %R from %R (unknown location)", name, pkgname.get()));
    if (!msg) return {};
    PyErr_SetImportError(msg.get(), pkgname.get(), path ? path.get() : Py_None);
    return {};
}

}  // namespace

// `import name` (bind_as given) or `from name import a, b, ...`.
int import_module(PyObject* globals, const char* name, const char* bind_as) noexcept {
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return -1;
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, nullptr, 0));
    if (!m) return -1;
    return PyDict_SetItemString(globals, bind_as, m.get());
}

int import_from_names(PyObject* globals, const char* module_name,
                      std::initializer_list<const char*> names) noexcept {
    Ref n = Ref::steal(PyUnicode_FromString(module_name));
    if (!n) return -1;
    Ref fromlist = Ref::steal(PyTuple_New(names.size()));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (const char* s : names) {
        PyObject* item = PyUnicode_InternFromString(s);
        if (!item) return -1;
        PyTuple_SET_ITEM(fromlist.get(), i++, item);
    }
    Ref m =
        Ref::steal(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, fromlist.get(), 0));
    if (!m) return -1;
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref v = import_from(m.get(), name);
        if (!v || PyDict_SetItem(globals, name, v.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace norvix
