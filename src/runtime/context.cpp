#include "runtime/context.h"

#include <atomic>

#include "runtime/as_python/watchers.h"

namespace norvix {
namespace {

#define NORVIX_FIRST(a, ...) a
#define NORVIX_NAME_TEXT(id, ...) NORVIX_FIRST(__VA_ARGS__ __VA_OPT__(, ) #id),
constexpr const char* kNameText[] = {NORVIX_NAMES(NORVIX_NAME_TEXT)};
#undef NORVIX_NAME_TEXT
#undef NORVIX_FIRST

static_assert(sizeof(kNameText) / sizeof(kNameText[0]) == static_cast<int>(Name::count_));

constexpr const char* kBarKeywords[] = {
    "symbol",    "exchange",    "interval", "datetime", "open_price",    "high_price",
    "low_price", "close_price", "volume",   "turnover", "open_interest", "gateway_name",
};

constexpr const char* kTickKeywords[] = {
    "symbol",        "exchange",     "datetime",     "name",         "volume",       "turnover",
    "open_interest", "last_price",   "last_volume",  "limit_up",     "limit_down",   "open_price",
    "high_price",    "low_price",    "pre_close",    "bid_price_1",  "bid_price_2",  "bid_price_3",
    "bid_price_4",   "bid_price_5",  "ask_price_1",  "ask_price_2",  "ask_price_3",  "ask_price_4",
    "ask_price_5",   "bid_volume_1", "bid_volume_2", "bid_volume_3", "bid_volume_4", "bid_volume_5",
    "ask_volume_1",  "ask_volume_2", "ask_volume_3", "ask_volume_4", "ask_volume_5", "gateway_name",
};
static_assert(sizeof(kTickKeywords) / sizeof(kTickKeywords[0]) == 36);

template <size_t N>
PyObject* keyword_tuple(const char* const (&names)[N]) noexcept {
    PyObject* t = PyTuple_New(N);
    if (!t) return nullptr;
    for (size_t i = 0; i < N; ++i) {
        PyObject* s = PyUnicode_InternFromString(names[i]);
        if (!s) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, s);
    }
    return t;
}

int context_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* c = reinterpret_cast<Context*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->globals);
    Py_VISIT(c->builtins);
    Py_VISIT(c->function_type);
    Py_VISIT(c->watcher);
    for (PyObject* p : c->frames) Py_VISIT(p);
    return 0;
}

int context_clear(PyObject* self) noexcept {
    auto* c = reinterpret_cast<Context*>(self);
    stop_watching(c);
    Py_CLEAR(c->globals);
    Py_CLEAR(c->builtins);
    Py_CLEAR(c->function_type);
    for (PyObject*& p : c->frames) Py_CLEAR(p);
    return 0;
}

void context_dealloc(PyObject* self) noexcept {
    auto* c = reinterpret_cast<Context*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    context_clear(self);
    for (PyObject*& p : c->names) Py_CLEAR(p);
    for (PyObject*& p : c->kw) Py_CLEAR(p);
    for (PyObject*& p : c->consts) Py_CLEAR(p);
    if (Kept* kept = c->parser.exchange(nullptr)) kept->release(kept);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot context_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(context_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(context_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
    {0, nullptr},
};

PyType_Spec context_spec = {
    "norvix_datafeed._Context",
    sizeof(Context),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    context_slots,
};

PyObject* make_const(Const c) noexcept {
    switch (c) {
        case Const::empty:
            return PyUnicode_FromStringAndSize("", 0);
        case Const::zero:
            return PyLong_FromLong(0);
        case Const::ten:
            return PyLong_FromLong(10);
        case Const::post:
            return PyUnicode_InternFromString("POST");
        case Const::get:
            return PyUnicode_InternFromString("GET");
        case Const::gateway:
            return PyUnicode_InternFromString("NorviX");
        case Const::date_fmt:
            return PyUnicode_InternFromString("%Y-%m-%d");
        case Const::time_fmt:
            return PyUnicode_InternFromString("%Y-%m-%d %H:%M:%S");
        case Const::daybar:
            return PyUnicode_InternFromString("/daybar/query");
        case Const::minutebar:
            return PyUnicode_InternFromString("/minutebar/query");
        case Const::tickdata:
            return PyUnicode_InternFromString("/tickdata/query");
        case Const::dominant:
            return PyUnicode_InternFromString("/dominant/query");
        case Const::current:
            return PyUnicode_InternFromString("/current/query");
        case Const::exfactor:
            return PyUnicode_InternFromString("/exfactor/query");
        case Const::multiplier:
            return PyUnicode_InternFromString("/multiplier/query");
        case Const::day_limit:
            return PyLong_FromLong(2000);
        case Const::minute_limit:
            return PyLong_FromLong(40000);
        case Const::content_type_header:
            return PyUnicode_InternFromString("Content-Type");
        case Const::content_type:
            return PyUnicode_InternFromString("application/json");
        case Const::user_agent_header:
            return PyUnicode_InternFromString("User-Agent");
        case Const::user_agent:
            return PyUnicode_InternFromString("Python/requests (JSON POST)");
        case Const::mobile_header:
            return PyUnicode_InternFromString("mobile");
        case Const::token_header:
            return PyUnicode_InternFromString("token");
        case Const::count_:
            break;
    }
    return nullptr;
}

}  // namespace

Ref make_context(PyObject* module) noexcept {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &context_spec, nullptr));
    if (!type) return {};
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) return {};
    auto* c = reinterpret_cast<Context*>(self.get());
    new (&c->parser) std::atomic<Kept*>(nullptr);  // the rest is plain data, zeroed

    c->globals = Py_NewRef(PyModule_GetDict(module));
    // A Python function takes its builtins from the globals' __builtins__
    // when present, else from the running frame; do the same once here.
    PyObject* b = nullptr;
    if (PyDict_GetItemStringRef(c->globals, "__builtins__", &b) < 0) return {};
    if (b && PyModule_Check(b)) {
        PyObject* d = Py_NewRef(PyModule_GetDict(b));
        Py_SETREF(b, d);
    }
    c->builtins = b ? b : Py_NewRef(PyEval_GetBuiltins());
    start_watching(c);

    c->dt = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!c->dt) return {};

    for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
        c->names[i] = PyUnicode_InternFromString(kNameText[i]);
        if (!c->names[i]) return {};
    }
    static constexpr const char* kMakeRequest[] = {"method", "endpoint", "json_data", "timeout"};
    static constexpr const char* kGet[] = {"url", "params", "headers", "timeout"};
    static constexpr const char* kPost[] = {"url", "json", "headers", "timeout"};
    static constexpr const char* kReplace[] = {"tzinfo"};
    c->kw[static_cast<int>(Kw::make_request)] = keyword_tuple(kMakeRequest);
    c->kw[static_cast<int>(Kw::get)] = keyword_tuple(kGet);
    c->kw[static_cast<int>(Kw::post)] = keyword_tuple(kPost);
    c->kw[static_cast<int>(Kw::replace)] = keyword_tuple(kReplace);
    c->kw[static_cast<int>(Kw::bar)] = keyword_tuple(kBarKeywords);
    c->kw[static_cast<int>(Kw::tick)] = keyword_tuple(kTickKeywords);
    for (PyObject* k : c->kw)
        if (!k) return {};
    for (int i = 0; i < static_cast<int>(Const::count_); ++i) {
        c->consts[i] = make_const(static_cast<Const>(i));
        if (!c->consts[i]) return {};
    }
    return self;
}

void raise_name_error(PyObject* name) noexcept {
    Ref msg = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!msg) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_NameError, msg.get()));
    if (!exc) return;
    if (PyObject_SetAttrString(exc.get(), "name", name) < 0) return;
    // SetObject, unlike SetRaisedException, chains the exception being
    // handled as __context__, as a NameError raised in an except block has.
    PyErr_SetObject(PyExc_NameError, exc.get());
}

Ref load_global(Context* ctx, Name n) noexcept {
    const int i = static_cast<int>(n);
    if (!ctx->watcher) return load_global(ctx, ctx->names[i]);
    const unsigned long long now = namespace_epoch();
    if (now != ctx->cache_epoch) {
        for (PyObject*& p : ctx->cache) p = nullptr;
        ctx->cache_epoch = now;
        ctx->cacheable = str_keys_only(ctx->globals) && str_keys_only(ctx->builtins);
    } else if (ctx->cache[i]) {
        return Ref::borrow(ctx->cache[i]);
    }
    Ref v = load_global(ctx, ctx->names[i]);
    // With exact str keys only the lookup ran no Python code, so nothing
    // changed since the epoch was read and the dict still holds the value;
    // otherwise every lookup goes to the dicts, as LOAD_GLOBAL does.
    if (v && ctx->cacheable) ctx->cache[i] = v.get();
    return v;
}

Ref load_global(Context* ctx, PyObject* name) noexcept {
    PyObject* v;
    if (PyDict_GetItemRef(ctx->globals, name, &v) < 0) return {};
    if (v) return Ref::steal(v);
    int r = PyDict_CheckExact(ctx->builtins) ? PyDict_GetItemRef(ctx->builtins, name, &v)
                                             : PyMapping_GetOptionalItem(ctx->builtins, name, &v);
    if (r < 0) return {};
    if (v) return Ref::steal(v);
    raise_name_error(name);
    return {};
}

}  // namespace norvix
