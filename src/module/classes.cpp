#include "module/classes.h"

#include <cstring>

#include "client/client.h"
#include "history/history.h"
#include "reference/reference.h"
#include "runtime/as_python/class_statement.h"
#include "runtime/as_python/function.h"
#include "runtime/py.h"

namespace norvix {
namespace {

// Evaluates an annotation or default written as a small expression:
// a name, "list[NAME]", "EXPR|None", "None", or a decimal integer.
Ref eval_expr(Context* ctx, PyObject* ns, const char* expr) noexcept {
    size_t n = std::strlen(expr);
    constexpr const char kOrNone[] = "|None";
    constexpr size_t kOrNoneLen = sizeof(kOrNone) - 1;
    if (n > kOrNoneLen && std::strcmp(expr + n - kOrNoneLen, kOrNone) == 0) {
        char left[64];
        if (n - kOrNoneLen >= sizeof(left)) return {};
        std::memcpy(left, expr, n - kOrNoneLen);
        left[n - kOrNoneLen] = '\0';
        Ref l = eval_expr(ctx, ns, left);
        if (!l) return {};
        return Ref::steal(PyNumber_Or(l.get(), Py_None));
    }
    if (std::strcmp(expr, "None") == 0) return Ref::borrow(Py_None);
    if (expr[0] >= '0' && expr[0] <= '9') return Ref::steal(PyLong_FromString(expr, nullptr, 10));
    if (std::strncmp(expr, "list[", 5) == 0 && expr[n - 1] == ']') {
        char inner[64];
        if (n - 6 >= sizeof(inner)) return {};
        std::memcpy(inner, expr + 5, n - 6);
        inner[n - 6] = '\0';
        Ref list = load_name(ctx, ns, "list");
        if (!list) return {};
        Ref item = load_name(ctx, ns, inner);
        if (!item) return {};
        return Ref::steal(PyObject_GetItem(list.get(), item.get()));
    }
    return load_name(ctx, ns, expr);
}

// One method of a class body: defaults, annotations, then the function.
struct MethodDef {
    FunctionSpec spec;
    const char* defaults[2];     // expressions, in parameter order
    const char* annotations[6];  // per parameter after self; nullptr: none
    const char* returns;         // nullptr: no return annotation
    bool uses_class_cell;
};

int define_method(Context* ctx, PyObject* ns, PyObject* module_name, const MethodDef& m,
                  PyObject* classcell) noexcept {
    Ref defaults;
    int ndefaults = 0;
    while (ndefaults < 2 && m.defaults[ndefaults]) ++ndefaults;
    if (ndefaults) {
        defaults = Ref::steal(PyTuple_New(ndefaults));
        if (!defaults) return -1;
        for (int i = 0; i < ndefaults; ++i) {
            Ref v = eval_expr(ctx, ns, m.defaults[i]);
            if (!v) return -1;
            PyTuple_SET_ITEM(defaults.get(), i, v.release());
        }
    }
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return -1;
    for (int i = 1; i < m.spec.nparams; ++i) {
        if (!m.annotations[i - 1]) continue;
        Ref v = eval_expr(ctx, ns, m.annotations[i - 1]);
        if (!v || PyDict_SetItemString(annotations.get(), m.spec.params[i], v.get()) < 0) return -1;
    }
    if (m.returns) {
        Ref v = eval_expr(ctx, ns, m.returns);
        if (!v || PyDict_SetItemString(annotations.get(), "return", v.get()) < 0) return -1;
    }
    Ref fn = new_function(ctx, &m.spec, module_name, defaults.get(), annotations.get(),
                          m.uses_class_cell ? classcell : nullptr);
    if (!fn) return -1;
    return store_name(ns, m.spec.name, fn.get());
}

const MethodDef kBarPostInit = {
    {"__post_init__",
     "NorvixBarData.__post_init__",
     "",
     1,
     {"self"},
     bar_post_init,
     Method::bar_post_init},
    {},
    {},
    "None",
    false,
};

#define NDF "NorvixDatafeed."
const MethodDef kDatafeedMethods[] = {
    {{"__init__", NDF "__init__", "构造函数", 1, {"self"}, datafeed_init, Method::init},
     {},
     {},
     "None",
     true},
    {{"initialize",
      NDF "initialize",
      "设置账户、密码",
      3,
      {"self", "username", "password"},
      datafeed_initialize,
      Method::initialize},
     {},
     {"str", "str"},
     "None",
     false},
    {{"_make_request",
      NDF "_make_request",
      nullptr,
      5,
      {"self", "method", "endpoint", "json_data", "timeout"},
      datafeed_make_request,
      Method::make_request},
     {"10"},
     {"str", "str", "dict", "int"},
     "dict",
     false},
    {{"query_bar_history",
      NDF "query_bar_history",
      nullptr,
      3,
      {"self", "req", "output"},
      query_bar_history,
      Method::query_bar_history},
     {"print"},
     {"HistoryRequest", "Callable"},
     "list[BarData]|None",
     false},
    {{"query_day_bar_history",
      NDF "query_day_bar_history",
      "查询日K线数据",
      5,
      {"self", "symbol", "exchange", "start_str", "end_str"},
      query_day_bar_history,
      Method::query_day_bar_history},
     {},
     {"str", "Exchange", "str", "str"},
     "list[BarData]|None",
     false},
    {{"query_minute_bar_history",
      NDF "query_minute_bar_history",
      "查询K线数据",
      5,
      {"self", "symbol", "exchange", "start_str", "end_str"},
      query_minute_bar_history,
      Method::query_minute_bar_history},
     {},
     {"str", "Exchange", "str", "str"},
     "list[BarData]|None",
     false},
    {{"query_tick_history",
      NDF "query_tick_history",
      "查询Tick数据",
      3,
      {"self", "req", "output"},
      query_tick_history,
      Method::query_tick_history},
     {"print"},
     {"HistoryRequest", "Callable"},
     "list[TickData]|None",
     false},
    {{"query_dominant",
      NDF "query_dominant",
      "查询主力合约数据",
      4,
      {"self", "symbol", "start_date", "end_date"},
      query_dominant,
      Method::query_dominant},
     {},
     {"str", "str|None", "str|None"},
     "list[dict]|None",
     false},
    {{"query_contracts",
      NDF "query_contracts",
      "查询当天可交易合约",
      3,
      {"self", "symbol", "trading_date"},
      query_contracts,
      Method::query_contracts},
     {},
     {"str|None", "str|None"},
     "list[dict]|None",
     false},
    {{"query_ex_factor",
      NDF "query_ex_factor",
      "查询品种复权因子",
      4,
      {"self", "symbol", "start_date", "end_date"},
      query_ex_factor,
      Method::query_ex_factor},
     {},
     {"str", "str|None", "str|None"},
     "list[dict]|None",
     false},
    {{"query_contract_multiplier",
      NDF "query_contract_multiplier",
      "查询品种合约乘数",
      2,
      {"self", "symbol"},
      query_contract_multiplier,
      Method::query_contract_multiplier},
     {"None"},
     {},
     "list[dict]|None",
     false},
};
#undef NDF

// The record's added fields: name, annotation, default.
struct Field {
    const char* name;
    const char* annotation;
    const char* dflt;  // "" for the empty text
};
const Field kBarFields[] = {
    {"instrument_id", "str", ""},
    {"limit_up", "float", "0"},
    {"limit_down", "float", "0"},
    {"prev_close_price", "float", "0"},
    {"settlement_price", "float", "0"},
    {"pre_settlement_price", "float", "0"},
    {"trading_datetime", "datetime", "None"},
};

int class_header(Context* ctx, PyObject* ns, const char* doc, const char* qualname) noexcept {
    Ref module_name = load_name(ctx, ns, "__name__");
    if (!module_name || store_name(ns, "__module__", module_name.get()) < 0) return -1;
    Ref d = Ref::steal(PyUnicode_FromString(doc));
    if (!d || store_name(ns, "__doc__", d.get()) < 0) return -1;
    Ref q = Ref::steal(PyUnicode_FromString(qualname));
    if (!q || store_name(ns, "__qualname__", q.get()) < 0) return -1;
    return 0;
}

}  // namespace

Ref make_bar_record_class(Context* ctx) noexcept {
    // @dataclass is evaluated before the class body runs.
    Ref dataclass = load_global(ctx, Ref::steal(PyUnicode_InternFromString("dataclass")).get());
    if (!dataclass) return {};
    Ref bar = load_global(ctx, Name::BarData);
    if (!bar) return {};
    Ref bases = Ref::steal(PyTuple_Pack(1, bar.get()));
    if (!bases) return {};
    Ref module_name = load_global(ctx, Name::name_);
    if (!module_name) return {};

    Ref cls = build_class("NorvixBarData", bases.get(), nullptr, [&](PyObject* ns) noexcept {
        if (class_header(ctx, ns, "Candlestick bar data of a certain trading period.\n    ",
                         "NorvixBarData") < 0)
            return -1;
        Ref ann = Ref::steal(PyDict_New());
        if (!ann || store_name(ns, "__annotations__", ann.get()) < 0) return -1;
        for (const Field& fld : kBarFields) {
            Ref dflt =
                fld.dflt[0] ? eval_expr(ctx, ns, fld.dflt) : Ref::borrow((*ctx)[Const::empty]);
            if (!dflt || store_name(ns, fld.name, dflt.get()) < 0) return -1;
            Ref a = eval_expr(ctx, ns, fld.annotation);
            if (!a) return -1;
            Ref table = load_name(ctx, ns, "__annotations__");
            if (!table) return -1;
            Ref key = Ref::steal(PyUnicode_InternFromString(fld.name));
            if (!key || PyObject_SetItem(table.get(), key.get(), a.get()) < 0) return -1;
        }
        return define_method(ctx, ns, module_name.get(), kBarPostInit, nullptr);
    });
    if (!cls) return {};
    PyObject* args[2] = {nullptr, cls.get()};
    return Ref::steal(PyObject_Vectorcall(dataclass.get(), args + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref make_datafeed_class(Context* ctx) noexcept {
    Ref base = load_global(ctx, Ref::steal(PyUnicode_InternFromString("BaseDatafeed")).get());
    if (!base) return {};
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return {};
    Ref module_name = load_global(ctx, Name::name_);
    if (!module_name) return {};
    Ref cell = Ref::steal(PyCell_New(nullptr));
    if (!cell) return {};

    return build_class("NorvixDatafeed", bases.get(), cell.get(), [&](PyObject* ns) noexcept {
        if (class_header(ctx, ns, "NorviX数据服务接口", "NorvixDatafeed") < 0) return -1;
        for (const MethodDef& m : kDatafeedMethods)
            if (define_method(ctx, ns, module_name.get(), m, cell.get()) < 0) return -1;
        return 0;
    });
}

}  // namespace norvix
