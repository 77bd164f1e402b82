// Reference-data queries: the service's records are handed back unchanged.
#include "reference/reference.h"
#include "client/client.h"

namespace norvix {
namespace {

struct ReferenceQuery {
    Query request;
    const char* fail_prefix;
    const char*
        success_head;  // before the symbol; the symbol is left out when `with_symbol` is false
    const char* success_tail;  // between the symbol and the count
    const char* nodata_tail;   // after the symbol (or the whole line without a symbol)
    bool with_symbol;
};

// The family's shape, after the opening line and the request body:
//     data = self._make_request(method=..., endpoint=..., json_data=json_data, timeout=10)
//     <envelope check>
//     records = data.get("data", [])
//     if records: logger.info(f"NorvixData获取{symbol}...成功，共{len(records)}条")
//     else: logger.info(f"NorvixData未获取到{symbol}...")
//     return records
PyObject* run(Context* ctx, PyObject* self, PyObject* symbol, PyObject* json_data,
              const ReferenceQuery& q) noexcept {
    Ref data = send_request(ctx, self, q.request, json_data);
    if (!data) return nullptr;
    Ref records;
    const Checked checked = check_envelope(ctx, self, data.get(), q.fail_prefix, symbol, records);
    if (checked != Checked::records) return checked == Checked::error ? nullptr : new_list();
    int nonempty = PyObject_IsTrue(records.get());
    if (nonempty < 0) return nullptr;
    int r;
    if (nonempty) {
        // logger.info(f"...{symbol}...{len(records)}条"): logger first, then
        // the pieces in order.
        r = log(ctx, Level::info, [&]() -> Ref {
            Ref head = q.with_symbol ? message(ctx, {q.success_head, symbol, q.success_tail})
                                     : message(ctx, {q.success_head});
            if (!head) return {};
            Ref count = length_of(ctx, records.get());
            if (!count) return {};
            return message(ctx, {head, count, "条"});
        });
    } else {
        r = q.with_symbol ? log(ctx, Level::info, {"NorvixData未获取到", symbol, q.nodata_tail})
                          : log(ctx, Level::info, {q.nodata_tail});
    }
    if (r < 0) return nullptr;
    return records.release();
}

// One member per line, in the struct's order.
// clang-format off
constexpr ReferenceQuery kDominant = {
    Query::dominant,
    "NorviX获取主力合约数据失败：",
    "NorvixData获取",
    "的主力合约数据成功，共",
    "的主力合约数据",
    true,
};
constexpr ReferenceQuery kContracts = {
    Query::contracts,
    "NorviX获取当天可交易合约失败：",
    "NorvixData获取",
    "的当天可交易合约成功，共",
    "的当天可交易合约数据",
    true,
};
constexpr ReferenceQuery kExFactor = {
    Query::ex_factor,
    "NorviX获取复权因子失败：",
    "NorvixData获取",
    "的复权因子成功，共",
    "的复权因子数据",
    true,
};
constexpr ReferenceQuery kMultiplier = {
    Query::multiplier,
    "NorviX查询合约乘数失败：",
    "NorvixData查询合约乘数成功，共",
    nullptr,
    "NorvixData未查询到合约乘数数据",
    false,
};
// clang-format on

// Queries over a date range: symbol, start_date, end_date.
PyObject* date_range_query(FunctionObject* f, PyObject* const* args, const char* opening,
                           const ReferenceQuery& q) noexcept {
    Context* ctx = f->ctx;
    if (log(ctx, Level::info,
            {opening, args[1], ", start date: ", args[2], ", end date: ", args[3]}) < 0)
        return nullptr;
    Ref body = request_body(ctx, q.request, args[1], args[2], args[3]);
    if (!body) return nullptr;
    return run(ctx, args[0], args[1], body.get(), q);
}

}  // namespace

// def query_dominant(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict]
// | None
PyObject* query_dominant(FunctionObject* f, PyObject* const* args) noexcept {
    return date_range_query(f, args, "dominant query, symbol: ", kDominant);
}

// def query_ex_factor(self, symbol: str, start_date: str | None, end_date: str | None) ->
// list[dict] | None
PyObject* query_ex_factor(FunctionObject* f, PyObject* const* args) noexcept {
    return date_range_query(f, args, "ex_factor query, symbol: ", kExFactor);
}

// def query_contracts(self, symbol: str | None, trading_date: str | None) -> list[dict] | None
PyObject* query_contracts(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    if (log(ctx, Level::info, {"dominant query, symbol: ", args[1], ", trading_date: ", args[2]}) <
        0)
        return nullptr;
    Ref body = request_body(ctx, Query::contracts, args[1], args[2], nullptr);
    if (!body) return nullptr;
    return run(ctx, args[0], args[1], body.get(), kContracts);
}

// def query_contract_multiplier(self, symbol=None) -> list[dict] | None
PyObject* query_contract_multiplier(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    if (log(ctx, Level::info, {"contract_multiplier query, symbol: ", args[1]}) < 0) return nullptr;
    Ref body = request_body(ctx, Query::multiplier, args[1], nullptr, nullptr);
    if (!body) return nullptr;
    return run(ctx, args[0], args[1], body.get(), kMultiplier);
}

}  // namespace norvix
