// The service client core shared by every query: the call of the request
// routine and the envelope check.
#pragma once

#include "client/queries.h"
#include "runtime/as_python/function.h"
#include "runtime/py.h"

namespace norvix {

namespace decode {
class Decoder;
}

// NorvixDatafeed's construction, credentials and request layer.
Body datafeed_init, datafeed_initialize, datafeed_make_request;

// self._make_request(method=..., endpoint=..., json_data=..., timeout=10).
// With a decoder, the module's own _make_request (not one overridden on a
// subclass or the object) lets it read the body natively.
Ref send_request(Context* ctx, PyObject* self, Query query, PyObject* json_data,
                 decode::Decoder* decoder = nullptr) noexcept;

// The body of _make_request; args are self, method, endpoint, json_data and
// timeout.
Ref make_request(Context* ctx, PyObject* const* args, decode::Decoder* decoder) noexcept;

// What an answer's envelope says:
//
//     if not data: empty
//     elif (code := data.get("code")) != 0: refused
//     else: ok, records = data.get("data", [])
//
// Envelope::error: an exception is set.
enum class Envelope : int { error = -1, ok = 1, empty, refused };

// The Envelope, with `code` (refused) or `records` (ok) set.
Envelope read_envelope(Context* ctx, PyObject* data, Ref& code, Ref& records) noexcept;

// What check_envelope found.
enum class Checked : int {
    error = -1,  // an exception is set
    failed,      // the failure was logged: the query returns a new empty list
    records,     // `records` is set
};

// The envelope check every query applies to what _make_request returned:
//
//     if not data:
//         logger.info(f"{prefix}{symbol}"); return []
//     if data.get("code") != 0:
//         logger.info(f"{prefix}{symbol},{data.get('message')}"); return []
//     records = data.get("data", [])
Checked check_envelope(Context* ctx, PyObject* self, PyObject* data, const char* prefix,
                       PyObject* symbol, Ref& records) noexcept;

}  // namespace norvix
