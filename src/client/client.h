// The service client core shared by every query: the call of the request
// routine and the envelope check.
#pragma once

#include "common/py.h"

namespace norvix {

namespace decode {
class Decoder;
}

// self._make_request(method=..., endpoint=..., json_data=..., timeout=10).
// With a decoder, the module's own _make_request (not one overridden on a
// subclass or the object) lets it read the body natively.
Ref send_request(Context* ctx, PyObject* self, Const method, Const endpoint, PyObject* json_data,
                 decode::Decoder* decoder = nullptr) noexcept;

// The body of _make_request; args are self, method, endpoint, json_data and
// timeout.
Ref make_request(Context* ctx, PyObject* const* args, decode::Decoder* decoder) noexcept;

// The envelope check every query applies to what _make_request returned:
//
//     if not data:
//         logger.info(f"{prefix}{symbol}"); return []
//     if data.get("code") != 0:
//         logger.info(f"{prefix}{symbol},{data.get('message')}"); return []
//     records = data.get("data", [])
//
// Returns 1 with `records` set, 0 after logging a failure (the query then
// returns a new empty list), -1 with an exception set.
int check_envelope(Context* ctx, PyObject* self, PyObject* data, const char* prefix,
                   PyObject* symbol, Ref& records) noexcept;

// A dict built from keys and values, in order.
Ref build_body(std::initializer_list<std::pair<PyObject*, PyObject*>> items) noexcept;

}  // namespace norvix
