// Building vn.py records from a parsed answer.
//
// vn.py's BarData and TickData are dataclasses: calling one runs type.__call__,
// object.__new__, the generated __init__ (one `self.<field> = <value>` per
// init field, in field order) and __post_init__
// (`self.vt_symbol = f"{self.symbol}.{self.exchange.value}"`).  While the
// class is vn.py's, with all of these untouched, the record is built here
// with the same attribute stores in the same order; otherwise the class is
// called.
#include <cstring>
#include <new>

#include "records/decode.h"
#include "runtime/as_python/dataclass.h"
#include "runtime/as_python/pycheck.h"

namespace norvix::decode {

namespace {

// Interned names this file needs beyond the Context's.
struct Names {
    Ref value, value_attr, vt_symbol;
    bool make() noexcept {
        struct {
            Ref* ref;
            const char* text;
        } all[] = {{&value, "value"}, {&value_attr, "_value_"}, {&vt_symbol, "vt_symbol"}};
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

// The validated class: what its __init__ stores, in order, and where its
// __post_init__ finds the symbol and the exchange.
struct Converter::Direct {
    Names names;
    DataclassInit init;
    int symbol_kw = -1, exchange_kw = -1;

    // f"{symbol}.{exchange.value}" for the last pair seen, valid while the
    // exchange's enum class is unchanged: its `value` is then Enum's own
    // property, which returns the member's `_value_`.
    struct {
        Ref exchange, symbol, value, text;
        unsigned int tag = 0;
    } vt;
};

namespace {

// Where __post_init__ finds the symbol and the exchange among the keyword
// values, and whether the vt_symbol it stores goes to the instance dict.
bool find_post_init_args(Converter::Direct& d) noexcept {
    for (int i = 0; i < d.init.nstores; ++i) {
        const DataclassInit::Store& s = d.init.stores[i];
        if (utf8_is(s.name.get(), "symbol")) d.symbol_kw = s.kw;
        if (utf8_is(s.name.get(), "exchange")) d.exchange_kw = s.kw;
    }
    return d.symbol_kw >= 0 && d.exchange_kw >= 0 &&
           plain_attribute(d.init.cls, d.names.vt_symbol.get());
}

}  // namespace

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
    const char* cname = cls ? PyUnicode_AsUTF8((*ctx_)[cls_name_]) : nullptr;
    if (cname && read_dataclass("vnpy.trader.object", cname, cls.get(), kwnames_, d->init) &&
        find_post_init_args(*d))
        direct_ = std::move(d);
    // Whatever the checks could not read only means no direct construction;
    // the records' own lookups raise what Python would raise.
    PyErr_Clear();
    return 0;
}

bool Converter::direct_ok(PyObject* cls) const noexcept {
    return direct_ && direct_->init.current(cls);
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
            vt.tag = enum_value_tag(exchange, names.value.get(), names.value_attr.get());
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
    PyTypeObject* cls = d.init.cls;
    // type.__call__ -> object.__new__: a bare instance.
    Ref obj = Ref::steal(cls->tp_alloc(cls, 0));
    if (!obj) return {};
    // __init__: self.<field> = <value>, in field order.
    for (int i = 0; i < d.init.nstores; ++i) {
        const DataclassInit::Store& s = d.init.stores[i];
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
