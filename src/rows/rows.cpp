// Database rows of vn.py records, built natively where that is the same as
// the writer's own row function.
//
// The rules, and why each is exact for the values it accepts:
//   text     text(v) returns a str unchanged;
//   value    v._value_ of an enum member is the member's own attribute (and
//            `.value` of a member of an exact enum class returns it);
//   moment   convert_tz(v) is v.astimezone(DB_TZ).replace(tzinfo=None), and
//            astimezone to the zone v already has returns v itself: the
//            naive wall time is v's fields, fold included (isoformat, which
//            sqlite3's registered adapter and str() call, leaves fold out);
//   real     float(v) returns a float unchanged, and for an int the float
//            int.__float__ makes (PyLong_AsDouble: exact or rounded to nearest);
//   as given moment(v) returns None and a datetime unchanged.
// Reading the attributes of an instance of exactly the record class runs no
// code of the caller's, so a record that does not qualify can go whole to the
// fallback after some of its attributes were read.
#include "rows/rows.h"

namespace norvix::rows {

const char* const kRuleNames[kRuleCount] = {"ROW_TEXT", "ROW_VALUE", "ROW_MOMENT", "ROW_REAL",
                                            "ROW_AS_GIVEN"};

namespace {

struct Column {
    PyObject* name;  // borrowed from the plan
    Rule rule;
    PyObject* cls;  // the enum class of a value rule, borrowed from the plan
};

struct Plan {
    Column columns[kMaxColumns];
    Py_ssize_t n = 0;
};

int read_plan(PyObject* plan, Plan& out) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(plan);
    if (n > kMaxColumns) {
        PyErr_Format(PyExc_ValueError, "rows() takes at most %zd columns", kMaxColumns);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(plan, i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ||
            !PyLong_Check(PyTuple_GET_ITEM(item, 1))) {
            PyErr_SetString(PyExc_TypeError,
                            "rows() plan items must be (attribute, rule, enum class or None)");
            return -1;
        }
        const long rule = PyLong_AsLong(PyTuple_GET_ITEM(item, 1));
        if (rule == -1 && PyErr_Occurred()) return -1;
        if (rule < 0 || rule >= kRuleCount) {
            PyErr_Format(PyExc_ValueError, "no such row rule: %ld", rule);
            return -1;
        }
        PyObject* cls = PyTuple_GET_ITEM(item, 2);
        if (rule == kValue && !PyType_Check(cls)) {
            PyErr_SetString(PyExc_TypeError, "a value rule needs its enum class");
            return -1;
        }
        out.columns[out.n++] = {PyTuple_GET_ITEM(item, 0), static_cast<Rule>(rule), cls};
    }
    return 0;
}

Ref wall_text(PyObject* v) noexcept {
    char buf[kWallChars];
    return Ref::steal(PyUnicode_FromStringAndSize(buf, wall_chars(v, buf) - buf));
}

class Builder {
public:
    Builder(Context* ctx, const Plan& plan, PyObject* zone, bool text_times,
            PyObject* value_name) noexcept
        : ctx_(ctx), plan_(plan), zone_(zone), text_times_(text_times), value_(value_name) {}

    // The row of `record`: a new tuple, or an empty Ref without an exception
    // set when the record does not qualify (or with one when memory ran out).
    Ref row(PyObject* record) noexcept {
        Ref out = Ref::steal(PyTuple_New(plan_.n));
        if (!out) return out;
        for (Py_ssize_t i = 0; i < plan_.n; ++i) {
            PyObject* v = take(plan_.columns[i], record);
            if (!v) {
                if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
                return {};
            }
            PyTuple_SET_ITEM(out.get(), i, v);
        }
        return out;
    }

private:
    // A new reference to the column's value, or NULL when it does not qualify.
    PyObject* take(const Column& c, PyObject* record) noexcept {
        Ref v = Ref::steal(PyObject_GetAttr(record, c.name));
        if (!v) return nullptr;
        switch (c.rule) {
            case kText:
                return PyUnicode_CheckExact(v.get()) ? v.release() : nullptr;
            case kReal: {
                if (PyFloat_CheckExact(v.get())) return v.release();
                if (!PyLong_CheckExact(v.get())) return nullptr;
                // float(int): int.__float__, an OverflowError beyond the floats.
                const double d = PyLong_AsDouble(v.get());
                return d == -1.0 && PyErr_Occurred() ? nullptr : PyFloat_FromDouble(d);
            }
            case kAsGiven:
                return v.get() == Py_None || Py_IS_TYPE(v.get(), ctx_->dt->DateTimeType)
                           ? v.release()
                           : nullptr;
            case kValue: {
                if (Py_TYPE(v.get()) != reinterpret_cast<PyTypeObject*>(c.cls)) return nullptr;
                PyObject* s = PyObject_GetAttr(v.get(), value_);
                if (s && !PyUnicode_CheckExact(s)) Py_CLEAR(s);
                return s;
            }
            case kMoment: {
                PyObject* t = v.get();
                if (!Py_IS_TYPE(t, ctx_->dt->DateTimeType) || zone_ == Py_None ||
                    PyDateTime_DATE_GET_TZINFO(t) != zone_)
                    return nullptr;
                if (text_times_) return wall_text(t).release();
                return ctx_->dt->DateTime_FromDateAndTimeAndFold(
                    PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t),
                    PyDateTime_DATE_GET_HOUR(t), PyDateTime_DATE_GET_MINUTE(t),
                    PyDateTime_DATE_GET_SECOND(t), PyDateTime_DATE_GET_MICROSECOND(t), Py_None,
                    PyDateTime_DATE_GET_FOLD(t), ctx_->dt->DateTimeType);
            }
            case kRuleCount:
                break;
        }
        return nullptr;
    }

    Context* ctx_;
    const Plan& plan_;
    PyObject* zone_;
    bool text_times_;
    PyObject* value_;
};

}  // namespace

Ref build(Context* ctx, PyObject* records, PyObject* cls, PyObject* plan, PyObject* fallback,
          PyObject* zone, bool text_times) noexcept {
    Plan columns;
    if (read_plan(plan, columns) < 0) return {};
    // A list of our own: the fallback may change the caller's.
    Ref items = Ref::steal(PySequence_List(records));
    if (!items) return {};
    Ref value_name = Ref::steal(PyUnicode_InternFromString("_value_"));
    if (!value_name) return {};
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return {};
    Builder builder(ctx, columns, zone, text_times, value_name.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* record = PyList_GET_ITEM(items.get(), i);  // kept alive by `items`
        Ref row;
        if (Py_TYPE(record) == reinterpret_cast<PyTypeObject*>(cls)) {
            row = builder.row(record);
            if (!row && PyErr_Occurred()) return {};
        }
        if (!row) {
            row = Ref::steal(PyObject_CallOneArg(fallback, record));
            if (!row) return {};
        }
        PyList_SET_ITEM(out.get(), i, row.release());
    }
    return out;
}

namespace {

// Writes `value` as `width` decimal digits, zero-padded (value < 10^width).
char* digits(char* p, int value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
    return p + width;
}

}  // namespace

char* wall_chars(PyObject* v, char* buf) noexcept {
    char* p = digits(buf, PyDateTime_GET_YEAR(v), 4);  // years 1 to 9999
    *p++ = '-';
    p = digits(p, PyDateTime_GET_MONTH(v), 2);
    *p++ = '-';
    p = digits(p, PyDateTime_GET_DAY(v), 2);
    *p++ = ' ';
    p = digits(p, PyDateTime_DATE_GET_HOUR(v), 2);
    *p++ = ':';
    p = digits(p, PyDateTime_DATE_GET_MINUTE(v), 2);
    *p++ = ':';
    p = digits(p, PyDateTime_DATE_GET_SECOND(v), 2);
    if (const int us = PyDateTime_DATE_GET_MICROSECOND(v)) {
        *p++ = '.';
        p = digits(p, us, 6);
    }
    return p;
}

}  // namespace norvix::rows
