// Database rows of vn.py records, for the bulk writers of vn.py's SQLite,
// PostgreSQL and MySQL tables.
//
// A writer turns every record into a tuple of column values, as the Python
// function `fallback(record)` does.  Built here instead, without that
// function's per-value calls, wherever the result is provably the same: a
// record of exactly the class given whose every value has the exact type the
// column's rule expects.  Any other record goes to `fallback`.
#pragma once

#include "runtime/context.h"

namespace norvix::rows {

// The most columns a row of the builders here has (a tick row has 48).
constexpr Py_ssize_t kMaxColumns = 64;

// How a column's value is taken from the record's attribute of that name.
enum Rule : int {
    kText,     // a str as it is
    kValue,    // a member of the enum class given: its `_value_`, a str
    kMoment,   // an aware datetime in the zone given: its wall time, naive
    kReal,     // a float as it is, an int as float(int)
    kAsGiven,  // None or a datetime as it is
    kRuleCount
};

// The rule names, in Rule order, as the module exports them.
extern const char* const kRuleNames[kRuleCount];

// [fallback(r) for r in records], with the rows of the records that qualify
// built natively; `plan` is a tuple of (attribute, Rule, enum class or None)
// in column order.  With `zone` None no time qualifies; with `text_times`
// the wall times come as `isoformat(" ")` texts instead of naive datetimes.
Ref build(Context* ctx, PyObject* records, PyObject* cls, PyObject* plan, PyObject* fallback,
          PyObject* zone, bool text_times) noexcept;

// The text csv.writer(f, quoting=csv.QUOTE_STRINGS, lineterminator="\n")
// writes for `rows` (a list of tuples), for rows of None, str, float, int
// and datetime values; None (no exception set) when a row holds anything
// else or a text UTF-8 cannot hold, which the caller leaves to csv.writer.
Ref csv_text(Context* ctx, PyObject* rows) noexcept;

// The longest text wall_chars writes.
constexpr int kWallChars = 26;

// str(naive datetime) / isoformat(" ") of the datetime `v`'s fields,
// "YYYY-MM-DD HH:MM:SS[.ffffff]", written at `buf`; returns its end.
char* wall_chars(PyObject* v, char* buf) noexcept;

// The rows (a list of tuples) as MySQL's multi-row VALUES text, each row
// "(" its values' literals joined by "," ")" as pymysql writes them, the rows
// joined by "," into pieces of at most `limit` UTF-8 bytes (a longer row in a
// piece of its own): a list of str.  None (no exception set) when a row holds
// a value not written here (see mysql.cpp), a NaN or an infinity included,
// which the caller leaves to the driver's own literals.
Ref mysql_values(Context* ctx, PyObject* rows, Py_ssize_t limit) noexcept;

// [tuple(values) for values in zip(*columns)] for `columns` (a list) each a
// list of `count` values, a tuple of one value (that value in every row) or a
// buffer of `count` doubles (a float each, shared by a repeat just below it);
// see columns.cpp.
Ref column_rows(PyObject* columns, Py_ssize_t count) noexcept;

// Whether mysql_values writes the text of `rows` (a list): every row a tuple of
// values it writes, so that none of them is one the driver refuses.
bool mysql_written(Context* ctx, PyObject* rows) noexcept;

}  // namespace norvix::rows
