#include "records/convert.h"

#include <cstring>

namespace norvix {
namespace {

bool digits(const unsigned char* s, int n, int& value) noexcept {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        unsigned d = s[i] - '0';
        if (d > 9) return false;
        v = v * 10 + int(d);
    }
    value = v;
    return true;
}

int days_in_month(int year, int month) noexcept {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
    return kDays[month - 1];
}

// The text of a str when it is ASCII, for canonical_time.
bool parse_canonical(PyObject* text, bool with_time, TimeFields& f) noexcept {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
    return canonical_time(static_cast<const unsigned char*>(PyUnicode_DATA(text)),
                          static_cast<size_t>(PyUnicode_GET_LENGTH(text)), with_time, f);
}

// KeyError(key), as a dict raises it for a missing key.
void raise_key_error(PyObject* key) noexcept {
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
}

// Types json.loads produces; float() of any of them runs no Python code.
bool plain_json(PyObject* v) noexcept {
    return PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyBool_Check(v) || v == Py_None || PyDict_CheckExact(v) || PyList_CheckExact(v);
}

// float(v) for the builtin float, i.e. PyNumber_Float, with the two common
// cases taken directly.
Ref native_float(PyObject* v) noexcept {
    if (PyFloat_CheckExact(v)) return Ref::borrow(v);
    if (PyLong_CheckExact(v)) {
        double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return {};
        return Ref::steal(PyFloat_FromDouble(d));
    }
    return Ref::steal(PyNumber_Float(v));
}

// record[key]: a missing key in an exact dict raises KeyError(key) as the
// dict would; other objects are subscripted.
Ref subscript(PyObject* record, PyObject* key) noexcept {
    if (!PyDict_CheckExact(record)) return Ref::steal(PyObject_GetItem(record, key));
    PyObject* v;
    if (PyDict_GetItemRef(record, key, &v) < 0) return {};
    if (v) return Ref::steal(v);
    raise_key_error(key);
    return {};
}

// float(read()), with `float` read from the module globals before the member,
// as LOAD_GLOBAL comes first in `float(d[key])`.
template <class Read>
Ref float_of(Context* ctx, Read&& read) noexcept {
    Ref fn = load_global(ctx, Name::float_);
    if (!fn) return {};
    Ref value = read();
    if (!value) return {};
    if (fn.get() != reinterpret_cast<PyObject*>(&PyFloat_Type))
        return Ref::steal(PyObject_CallOneArg(fn.get(), value.get()));
    return native_float(value.get());
}

// float(record.get(key, 0))
Ref member_float(Context* ctx, PyObject* record, Name key) noexcept {
    return float_of(ctx, [&] { return get_member(ctx, record, (*ctx)[key], (*ctx)[Const::zero]); });
}

// float(record[key])
Ref required_float(Context* ctx, PyObject* record, Name key) noexcept {
    return float_of(ctx, [&] { return subscript(record, (*ctx)[key]); });
}

}  // namespace

bool canonical_time(const unsigned char* s, size_t n, bool with_time, TimeFields& f) noexcept {
    if (n != (with_time ? 19u : 10u)) return false;
    if (s[4] != '-' || s[7] != '-') return false;
    if (!digits(s, 4, f.year) || !digits(s + 5, 2, f.month) || !digits(s + 8, 2, f.day))
        return false;
    if (f.year < 1 || f.month < 1 || f.month > 12 || f.day < 1 ||
        f.day > days_in_month(f.year, f.month))
        return false;
    return !with_time || canonical_clock(s, f);
}

bool canonical_clock(const unsigned char* s, TimeFields& f) noexcept {
    if (s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
    if (!digits(s + 11, 2, f.hour) || !digits(s + 14, 2, f.minute) || !digits(s + 17, 2, f.second))
        return false;
    return f.hour <= 23 && f.minute <= 59 && f.second <= 59;
}

bool TimeTexts::read_new(const unsigned char* s, size_t n, bool with_time, TimeFields& f) noexcept {
    if (!canonical_time(s, n, with_time, f)) return false;
    if (with_time) {
        std::memcpy(&head_, s, 8);
        std::memcpy(&tail_, s + 7, 4);
        date_ = f;
        have_ = true;
    }
    return true;
}

Ref record_time(Context* ctx, PyObject* record, Name field, bool with_time) noexcept {
    Ref cls = load_global(ctx, Name::datetime);
    if (!cls) return {};
    const bool native = cls.get() == reinterpret_cast<PyObject*>(ctx->dt->DateTimeType);
    // The class's strptime is fetched before the member is read, as Python
    // evaluates `datetime.strptime(d[field], fmt)`; the builtin class's
    // attribute cannot fail or run code, so it is fetched only when needed.
    Ref strptime;
    if (!native) {
        strptime = Ref::steal(PyObject_GetAttr(cls.get(), (*ctx)[Name::strptime]));
        if (!strptime) return {};
    }
    Ref text = subscript(record, (*ctx)[field]);
    if (!text) return {};

    TimeFields f;
    if (native && parse_canonical(text.get(), with_time, f)) {
        Ref tz = load_global(ctx, Name::CHINA_TZ);
        if (!tz) return {};
        if (direct_tz(ctx, tz.get())) return make_datetime(ctx, f, tz.get());
        // An unusual CHINA_TZ: the general path below lets replace() judge it.
    }
    if (!strptime) {
        strptime = Ref::steal(PyObject_GetAttr(cls.get(), (*ctx)[Name::strptime]));
        if (!strptime) return {};
    }
    PyObject* args[3] = {nullptr, text.get(),
                         (*ctx)[with_time ? Const::time_fmt : Const::date_fmt]};
    Ref parsed = Ref::steal(
        PyObject_Vectorcall(strptime.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!parsed) return {};
    Ref replace = Ref::steal(PyObject_GetAttr(parsed.get(), (*ctx)[Name::replace]));
    if (!replace) return {};
    Ref tz = load_global(ctx, Name::CHINA_TZ);
    if (!tz) return {};
    PyObject* rargs[2] = {nullptr, tz.get()};
    return Ref::steal(PyObject_Vectorcall(replace.get(), rargs + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          (*ctx)[Kw::replace]));
}

MemberReader::~MemberReader() { forget(); }

void MemberReader::forget() noexcept {
    keys_.forget();
    size_ = -1;
}

void MemberReader::learn(PyObject* record) noexcept {
    forget();
    if (learns_ >= kMaxLearns || PyDict_GET_SIZE(record) > KeyMatcher<Ref>::kPositions) return;
    ++learns_;
    Py_ssize_t pos = 0;
    int i = 0;
    PyObject *key, *value;
    while (PyDict_Next(record, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            forget();
            return;
        }
        int field = -1;
        for (int j = 0; j < n_; ++j) {
            PyObject* name = (*ctx_)[fields_[j].key];
            if (key == name || PyUnicode_Compare(key, name) == 0) {
                field = j;
                break;
            }
        }
        keys_.learn(i++, Ref::borrow(key), field);
    }
    size_ = i;
}

MemberReader::Read MemberReader::read(PyObject* record, PyObject** values) noexcept {
    for (int j = 0; j < n_; ++j) values[j] = nullptr;
    if (PyDict_GET_SIZE(record) == size_) {
        Py_ssize_t pos = 0;
        int i = 0;
        PyObject *key, *value;
        bool matched = true;
        while (PyDict_Next(record, &pos, &key, &value)) {
            const int j = keys_.recall(i++, [&](const Ref& k) { return k.get() == key; });
            if (j == KeyMatcher<Ref>::kUnknown) {
                matched = false;
                break;
            }
            if (j >= 0) {
                if (!plain_json(value)) return Read::foreign;
                values[j] = value;
            }
        }
        if (matched) return Read::plain;
    }

    learn(record);
    for (int j = 0; j < n_; ++j) {
        if (PyDict_GetItemRef(record, (*ctx_)[fields_[j].key], held_[j].out()) < 0)
            return Read::error;
        values[j] = held_[j].get();
        if (values[j] && !plain_json(values[j])) return Read::foreign;
    }
    return Read::plain;
}

int convert_fields(Context* ctx, MemberReader& reader, PyObject* record, const Field* fields, int n,
                   Ref* out) noexcept {
    PyObject* values[MemberReader::kMaxFields];
    bool fast = false;
    if (n <= MemberReader::kMaxFields && PyDict_CheckExact(record)) {
        Ref fn = load_global(ctx, Name::float_);
        if (!fn) return -1;
        if (fn.get() == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
            const MemberReader::Read read = reader.read(record, values);
            if (read == MemberReader::Read::error) return -1;
            fast = read == MemberReader::Read::plain;
        }
    }
    for (int i = 0; i < n; ++i) {
        const Field& f = fields[i];
        if (!fast) {
            out[i] = f.conversion == Conversion::required ? required_float(ctx, record, f.key)
                     : f.conversion == Conversion::optional
                         ? member_float(ctx, record, f.key)
                         : get_member(ctx, record, (*ctx)[f.key], (*ctx)[Const::empty]);
        } else if (f.conversion == Conversion::text) {
            out[i] = Ref::borrow(values[i] ? values[i] : (*ctx)[Const::empty]);
        } else if (values[i]) {
            out[i] = native_float(values[i]);
        } else if (f.conversion == Conversion::required) {
            raise_key_error((*ctx)[f.key]);
            return -1;
        } else {
            out[i] = Ref::steal(PyFloat_FromDouble(0.0));
        }
        if (!out[i]) return -1;
    }
    return 0;
}

Skip skip_bad_record(Context* ctx, SkipSink& sink) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.get());
    Skip result = [&]() -> Skip {
        Ref key_error = load_global(ctx, Name::KeyError);
        if (!key_error) return Skip::error;
        Ref value_error = load_global(ctx, Name::ValueError);
        if (!value_error) return Skip::error;
        int m = except_matches(exc.get(), {key_error.get(), value_error.get()});
        if (m < 0) return Skip::error;
        if (m == 0) return Skip::propagates;
        return sink.take(exc.get()) < 0 ? Skip::error : Skip::skipped;
    }();
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (result == Skip::propagates) PyErr_SetRaisedException(exc.release());
    return result;
}

}  // namespace norvix
