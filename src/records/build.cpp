// Building vn.py records from decoded parsed.
//
// vn.py's BarData and TickData are dataclasses: calling one runs type.__call__,
// object.__new__, the generated __init__ (one `self.<field> = <value>` per
// init field, in field order) and __post_init__
// (`self.vt_symbol = f"{self.symbol}.{self.exchange.value}"`).  While the
// class is vn.py's, with all of these untouched, the record is built here
// with the same attribute stores in the same order; otherwise the class is
// called.
#include <cstdio>
#include <cstring>
#include <new>

#include "records/decode.h"
#include "records/pycheck.h"

namespace norvix::decode {

namespace {

constexpr int kMaxSlots = 48;

// Interned names this file needs beyond the Context's.
struct Names {
    Ref value, value_attr, vt_symbol, init, post_init, fields, field_init, default_factory;
    bool make() noexcept {
        struct {
            Ref* ref;
            const char* text;
        } all[] = {{&value, "value"},
                   {&value_attr, "_value_"},
                   {&vt_symbol, "vt_symbol"},
                   {&init, "__init__"},
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

bool utf8_is(PyObject* s, const char* text) noexcept {
    Py_ssize_t n;
    const char* p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return false;
    }
    return static_cast<size_t>(n) == std::strlen(text) && std::memcmp(p, text, n) == 0;
}

// Right after load_global(ctx, n) gave `value`: whether it came from (or
// went into) the globals cache, so that the next lookup of `n` with no code
// run in between is a cache hit giving `value` again, with no side effect.
bool answered_from_cache(const Context* ctx, Name n, PyObject* value) noexcept {
    return ctx->watcher && ctx->cacheable && ctx->cache[static_cast<int>(n)] == value;
}

}  // namespace

// The validated class: what its __init__ stores, in order.
struct Converter::Direct {
    Names names;
    PyTypeObject* cls = nullptr;  // strong
    unsigned int tag = 0;
    Ref init, post;
    PyObject* init_code = nullptr;
    PyObject* post_code = nullptr;
    Ref defaults;  // the __init__ defaults validated, which hold `dflt`
    struct Store {
        Ref name;
        int kw;          // index into the keyword values, or -1
        PyObject* dflt;  // the parameter's default when kw < 0
    } stores[kMaxSlots];
    int nstores = 0;
    int symbol_kw = -1, exchange_kw = -1;

    // f"{symbol}.{exchange.value}" for the last pair seen, valid while the
    // exchange's enum class is unchanged: its `value` is then Enum's own
    // property, which returns the member's `_value_`.
    struct {
        Ref exchange, symbol, value, text;
        unsigned int tag = 0;
    } vt;

    ~Direct() { Py_XDECREF(cls); }
};

namespace {

// `cls` is vn.py's dataclass `name`, untouched: the metaclass, __new__,
// __setattr__, __getattribute__, __init__ and __post_init__ are the ones
// Python and dataclasses give it, and none of its fields is a data
// descriptor.  Fills `d` from the class's fields and `kwnames`.
bool validate(Context* ctx, Name name, PyObject* cls, PyObject* kwnames,
              Converter::Direct& d) noexcept {
    Ref objects = loaded_module("vnpy.trader.object");
    Py_ssize_t len;
    const char* cname = PyUnicode_AsUTF8AndSize((*ctx)[name], &len);
    if (!cname) return false;
    Ref vn = module_member(objects.get(), cname);
    if (!vn || vn.get() != cls || !PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_alloc != PyType_GenericAlloc ||
        tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_getattro != PyObject_GenericGetAttr ||
        !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
        return false;

    char qual[64];
    PyObject* init = type_lookup(tp, d.names.init.get());
    std::snprintf(qual, sizeof qual, "%s.__init__", cname);
    if (!function_from(init, objects.get(), qual, "<string>")) return false;
    PyObject* post = type_lookup(tp, d.names.post_init.get());
    std::snprintf(qual, sizeof qual, "%s.__post_init__", cname);
    if (!function_from(post, objects.get(), qual)) return false;

    Ref dataclasses = loaded_module("dataclasses");
    Ref missing = module_member(dataclasses.get(), "MISSING");
    PyObject* fields = type_lookup(tp, d.names.fields.get());
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
        Ref is_init = Ref::steal(PyObject_GetAttr(field, d.names.field_init.get()));
        if (!is_init) return false;
        if (is_init.get() != Py_True) {
            // Not set by __init__ unless built by a factory.
            Ref factory = Ref::steal(PyObject_GetAttr(field, d.names.default_factory.get()));
            if (!factory || factory.get() != missing.get() || is_init.get() != Py_False)
                return false;
            continue;
        }
        if (param >= nparams || d.nstores >= kMaxSlots) return false;
        if (PyUnicode_Compare(PyTuple_GET_ITEM(varnames.get(), param), fname) != 0) return false;
        Converter::Direct::Store& s = d.stores[d.nstores++];
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
        if (utf8_is(fname, "symbol")) d.symbol_kw = s.kw;
        if (utf8_is(fname, "exchange")) d.exchange_kw = s.kw;
        if (!plain_attribute(tp, fname)) return false;
        ++param;
    }
    if (PyErr_Occurred() || param != nparams || d.symbol_kw < 0 || d.exchange_kw < 0) return false;
    // Every keyword given is a parameter.
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        bool found = false;
        for (int i = 0; i < d.nstores; ++i) found |= d.stores[i].kw == k;
        if (!found) return false;
    }
    if (!plain_attribute(tp, d.names.vt_symbol.get())) return false;

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

// `exchange.value` is `exchange._value_`: the member's class reads attributes
// generically and its `value` is the enum module's own property over Enum's
// own `value`.  Returns the class's version tag, 0 when not.
unsigned int enum_value_tag(PyObject* exchange, const Names& names) noexcept {
    PyTypeObject* tp = Py_TYPE(exchange);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
    Ref enum_mod = loaded_module("enum");
    Ref enum_cls = module_member(enum_mod.get(), "Enum");
    Ref prop_cls = module_member(enum_mod.get(), "property");
    if (!enum_cls || !PyType_Check(enum_cls.get()) || !prop_cls) return 0;
    PyObject* desc = type_lookup(tp, names.value.get());
    if (!desc ||
        desc != type_lookup(reinterpret_cast<PyTypeObject*>(enum_cls.get()), names.value.get()))
        return 0;
    if (reinterpret_cast<PyObject*>(Py_TYPE(desc)) != prop_cls.get()) return 0;
    Ref get = Ref::steal(PyUnicode_InternFromString("__get__"));
    if (!get ||
        !function_from(type_lookup(Py_TYPE(desc), get.get()), enum_mod.get(), "property.__get__"))
        return 0;
    Ref fget = Ref::steal(PyObject_GetAttrString(desc, "fget"));
    if (!fget || !function_from(fget.get(), enum_mod.get(), "Enum.value")) return 0;
    if (!plain_attribute(tp, names.value_attr.get())) return 0;
    return version_tag(tp);
}

}  // namespace

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

Converter::Converter(Context* ctx, const Decoder& decoder, Name cls_name,
                     PyObject* kwnames) noexcept
    : ctx_(ctx), decoder_(decoder), cls_name_(cls_name), kwnames_(kwnames) {}

Converter::~Converter() {
    if (floats_)
        for (size_t i = 0, n = size_t(1) << (64 - float_shift_); i < n; ++i)
            Py_XDECREF(floats_[i].value);
}

// float(d), or an equal float made for an earlier record; borrowed from the
// table, where it stays until its slot is taken by another value.
PyObject* Converter::float_of(double d) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    if (!floats_) {
        int log2 = 8;
        while (log2 < 12 && (size_t(1) << log2) < decoder_.parsed().count) ++log2;
        floats_.reset(new (std::nothrow) FloatSlot[size_t(1) << log2]());
        if (!floats_) {
            PyErr_NoMemory();
            return nullptr;
        }
        float_shift_ = 64 - log2;
    }
    FloatSlot& slot = floats_[(bits * 0x9E3779B97F4A7C15ull) >> float_shift_];
    if (slot.value && slot.bits == bits) return slot.value;
    PyObject* made = PyFloat_FromDouble(d);
    if (!made) return nullptr;
    Py_XSETREF(slot.value, made);
    slot.bits = bits;
    return made;
}

int Converter::setup() noexcept {
    std::unique_ptr<Direct> d(new (std::nothrow) Direct);
    if (!d) return 0;  // built by calling the class, then
    if (!d->names.make()) return -1;
    Ref cls = load_global(ctx_, cls_name_);
    if (cls && validate(ctx_, cls_name_, cls.get(), kwnames_, *d)) direct_ = std::move(d);
    // Whatever the checks could not read only means no direct construction;
    // the records' own lookups raise what Python would raise.
    PyErr_Clear();
    return 0;
}

bool Converter::direct_ok(PyObject* cls) const noexcept {
    const Direct* d = direct_.get();
    return d && cls == reinterpret_cast<PyObject*>(d->cls) && d->cls->tp_version_tag == d->tag &&
           PyFunction_GET_CODE(d->init.get()) == d->init_code &&
           PyFunction_GET_DEFAULTS(d->init.get()) == d->defaults.get() &&
           PyFunction_GET_CODE(d->post.get()) == d->post_code;
}

Ref Converter::time(size_t r) noexcept {
    const RecordMembers& members = decoder_.members();
    const uint64_t t = decoder_.parsed().record(r)[0].u;
    const TimeFields f = unpack_time(t);
    Ref cls = load_global(ctx_, Name::datetime);
    if (!cls) return {};
    if (cls.get() == reinterpret_cast<PyObject*>(ctx_->dt->DateTimeType)) {
        Ref tz = load_global(ctx_, Name::CHINA_TZ);
        if (!tz) return {};
        if (direct_tz(ctx_, tz.get())) {
            if (last_dt_ && t == last_time_ && tz.get() == last_tz_.get())
                return Ref::borrow(last_dt_.get());
            last_dt_ = make_datetime(ctx_, f, tz.get());
            if (!last_dt_) return {};
            last_time_ = t;
            last_tz_ = std::move(tz);
            return Ref::borrow(last_dt_.get());
        }
    }
    // The record's own conversion, from the text the answer held.
    Ref text = Ref::steal(members.with_time
                              ? PyUnicode_FromFormat("%04d-%02d-%02d %02d:%02d:%02d", f.year,
                                                     f.month, f.day, f.hour, f.minute, f.second)
                              : PyUnicode_FromFormat("%04d-%02d-%02d", f.year, f.month, f.day));
    if (!text) return {};
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), (*ctx_)[members.time_field], text.get()) < 0)
        return {};
    return record_time(ctx_, record.get(), members.time_field, members.with_time);
}

Ref member_value(const Parsed& parsed, size_t r, int field) noexcept {
    const Slot* rec = parsed.record(r);
    const uint64_t masks = rec[1].u;
    if (!(masks >> field & 1)) return {};
    const Slot& v = rec[2 + field];
    if (masks >> (32 + field) & 1) return Ref::steal(PyLong_FromLongLong(v.i));
    return Ref::steal(PyFloat_FromDouble(v.d));
}

int Converter::fields(size_t r, PyObject** args, Ref* hold) noexcept {
    const RecordMembers& members = decoder_.members();
    const Parsed& parsed = decoder_.parsed();
    const Slot* rec = parsed.record(r);
    const uint64_t masks = rec[1].u;
    // `float` as the last lookup found it, while every further lookup of it
    // would be answered from the globals cache with no code run in between:
    // then reading it again could only give the same, so it is not read again.
    bool float_known = false;
    for (int j = 0; j < members.n; ++j) {
        const bool present = masks >> j & 1;
        if (members.fields[j].conversion == Conversion::text) {
            // record.get(key, "")
            args[j] =
                present ? PyList_GET_ITEM(parsed.texts.get(), rec[2 + j].i) : (*ctx_)[Const::empty];
            continue;
        }
        // float(record.get(key, 0)) or float(record[key]), with `float` read
        // from the module globals for every member.
        Ref fn;
        if (!float_known) {
            fn = load_global(ctx_, Name::float_);
            if (!fn) return -1;
            float_known = fn.get() == reinterpret_cast<PyObject*>(&PyFloat_Type) &&
                          answered_from_cache(ctx_, Name::float_, fn.get());
        }
        if (float_known || fn.get() == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
            const Slot& v = rec[2 + j];
            double d = !present ? 0.0 : masks >> (32 + j) & 1 ? static_cast<double>(v.i) : v.d;
            // Held for the record: a later member may take its slot.
            hold[j] = Ref::borrow(float_of(d));
            if (!hold[j]) return -1;
            args[j] = hold[j].get();
            continue;
        }
        Ref value = present ? member_value(parsed, r, j) : Ref::borrow((*ctx_)[Const::zero]);
        if (!value) return -1;
        hold[j] = Ref::steal(PyObject_CallOneArg(fn.get(), value.get()));
        if (!hold[j]) return -1;
        args[j] = hold[j].get();
    }
    return 0;
}

// What __post_init__ computes: f"{self.symbol}.{self.exchange.value}".
Ref Converter::vt_symbol(PyObject* symbol, PyObject* exchange) noexcept {
    auto& vt = direct_->vt;
    const Names& names = direct_->names;
    if (PyUnicode_CheckExact(symbol) && vt.tag && exchange == vt.exchange.get() &&
        Py_TYPE(exchange)->tp_version_tag == vt.tag) {
        Ref value = Ref::steal(PyObject_GenericGetAttr(exchange, names.value_attr.get()));
        if (!value) return {};
        if (value.get() == vt.value.get() && symbol == vt.symbol.get())
            return Ref::borrow(vt.text.get());
    }
    Ref head = text_of(ctx_, symbol);
    if (!head) return {};
    Ref value = Ref::steal(PyObject_GetAttr(exchange, names.value.get()));
    if (!value) return {};
    Ref tail = text_of(ctx_, value.get());
    if (!tail) return {};
    Ref text = message(ctx_, {head, ".", tail});
    if (!text) return {};
    if (PyUnicode_CheckExact(symbol) && PyUnicode_CheckExact(value.get())) {
        if (exchange != vt.exchange.get()) {
            vt.tag = enum_value_tag(exchange, names);
            PyErr_Clear();
            vt.exchange = Ref::borrow(exchange);
        }
        vt.symbol = Ref::borrow(symbol);
        vt.value = std::move(value);
        vt.text = Ref::borrow(text.get());
    }
    return text;
}

Ref Converter::direct(PyObject* const* args) noexcept {
    Direct& d = *direct_;
    // type.__call__ -> object.__new__: a bare instance.
    Ref obj = Ref::steal(d.cls->tp_alloc(d.cls, 0));
    if (!obj) return {};
    // __init__: self.<field> = <value>, in field order.
    for (int i = 0; i < d.nstores; ++i) {
        const Direct::Store& s = d.stores[i];
        if (PyObject_GenericSetAttr(obj.get(), s.name.get(), s.kw >= 0 ? args[s.kw] : s.dflt) < 0)
            return {};
    }
    // __post_init__
    Ref vt = vt_symbol(args[d.symbol_kw], args[d.exchange_kw]);
    if (!vt || PyObject_GenericSetAttr(obj.get(), d.names.vt_symbol.get(), vt.get()) < 0) return {};
    return obj;
}

Ref Converter::build(PyObject* cls, PyObject* const* args) noexcept {
    if (direct_ok(cls)) return direct(args);
    return Ref::steal(PyObject_Vectorcall(cls, args, 0, kwnames_));
}

}  // namespace norvix::decode
