#include "runtime/as_python/frames.h"

// PyTracebackObject and PyFrame_New.
#include <frameobject.h>

namespace norvix {
namespace {

// Per thread, as frames are: a query running on a worker thread writes its
// lines from its own method's frame.  An index, not an object: the frames
// themselves belong to each import's Context.
thread_local Method t_running = Method::module_body;

constexpr const char kFrameSource[] = "lambda log, message: log(message)";

// The code of kFrameSource's lambda.
Ref compile_frame_code() noexcept {
    Ref module = Ref::steal(Py_CompileString(kFrameSource, "<norvix_datafeed>", Py_eval_input));
    if (!module) return {};
    Ref consts = Ref::steal(PyObject_GetAttrString(module.get(), "co_consts"));
    if (!consts) return {};
    if (PyTuple_Check(consts.get()))
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
            if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)))
                return Ref::borrow(PyTuple_GET_ITEM(consts.get(), i));
    PyErr_SetString(PyExc_SystemError, "frame code not found");
    return {};
}

// The module's file, as its own functions' code would carry it.
Ref module_file(Context* ctx, PyObject* fallback) noexcept {
    Ref file;
    if (PyDict_GetItemStringRef(ctx->globals, "__file__", file.out()) < 0) return {};
    if (file && PyUnicode_Check(file.get())) return file;
    return Ref::borrow(fallback);
}

}  // namespace

MethodScope::MethodScope(Method m) noexcept : saved_(t_running) { t_running = m; }
MethodScope::~MethodScope() { t_running = saved_; }

int make_frame(Context* ctx, Method m, const char* name, const char* qualname) noexcept {
    PyObject*& slot = ctx->frames[static_cast<int>(m)];
    if (slot) return 0;
    Ref code;
    for (PyObject* made : ctx->frames)
        if (made) {
            code = Ref::borrow(PyFunction_GetCode(made));
            break;
        }
    if (!code && !(code = compile_frame_code())) return -1;
    Ref file = module_file(ctx, reinterpret_cast<PyCodeObject*>(code.get())->co_filename);
    if (!file) return -1;
    Ref n = Ref::steal(PyUnicode_InternFromString(name));
    Ref q = Ref::steal(PyUnicode_FromString(qualname));
    Ref line = Ref::steal(PyLong_FromLong(1));
    Ref kwnames = Ref::steal(
        Py_BuildValue("(ssss)", "co_name", "co_qualname", "co_filename", "co_firstlineno"));
    Ref replace = Ref::steal(PyUnicode_InternFromString("replace"));
    if (!n || !q || !line || !kwnames || !replace) return -1;
    PyObject* args[] = {code.get(), n.get(), q.get(), file.get(), line.get()};
    Ref named = Ref::steal(PyObject_VectorcallMethod(replace.get(), args, 1, kwnames.get()));
    if (!named) return -1;
    slot = PyFunction_New(named.get(), ctx->globals);
    return slot ? 0 : -1;
}

int write_log(Context* ctx, PyObject* fn, PyObject* message) noexcept {
    PyObject* frame_fn = (*ctx)[t_running];
    PyObject* args[3] = {nullptr, fn, message};
    if (!frame_fn) {
        Ref r = Ref::steal(
            PyObject_Vectorcall(fn, args + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return r ? 0 : -1;
    }
    Ref r = Ref::steal(
        PyObject_Vectorcall(frame_fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (r) return 0;
    // The frame stands for the method, which adds its own entry as the
    // exception leaves it: drop the frame's, so that the method shows once,
    // as it would in Python.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    if (tb && PyTraceBack_Check(tb.get())) {
        auto* entry = reinterpret_cast<PyTracebackObject*>(tb.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
        if (code.get() == PyFunction_GetCode(frame_fn))
            PyException_SetTraceback(
                exc.get(), entry->tb_next ? reinterpret_cast<PyObject*>(entry->tb_next) : Py_None);
    }
    PyErr_SetRaisedException(exc.release());
    return -1;
}

void add_traceback(Context* ctx, Method m) noexcept {
    PyObject* frame_fn = (*ctx)[m];
    if (!frame_fn || !PyErr_Occurred()) return;
    PyObject* exc = PyErr_GetRaisedException();
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(frame_fn));
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, ctx->globals, nullptr);
    // Without memory for the entry the exception goes on without it.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace norvix
