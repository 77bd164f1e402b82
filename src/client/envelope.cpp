#include "client/client.h"
#include "runtime/as_python/frames.h"
#include "runtime/as_python/function.h"

namespace norvix {

Ref send_request(Context* ctx, PyObject* self, Query query, PyObject* json_data,
                 decode::Decoder* decoder) noexcept {
    const Const method = request_of(query).method;
    const Const endpoint = request_of(query).endpoint;
    if (decoder) {
        Ref bound = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::make_request]));
        if (!bound) return {};
        PyObject* fn = PyMethod_Check(bound.get()) ? PyMethod_GET_FUNCTION(bound.get()) : nullptr;
        if (fn && PyMethod_GET_SELF(bound.get()) == self &&
            Py_TYPE(fn) == reinterpret_cast<PyTypeObject*>(ctx->function_type) &&
            reinterpret_cast<FunctionObject*>(fn)->spec->impl == datafeed_make_request) {
            // Run as the call of the method would be.
            PyObject* args[5] = {self, (*ctx)[method], (*ctx)[endpoint], json_data,
                                 (*ctx)[Const::ten]};
            return run_as(ctx, Method::make_request,
                          [&] { return make_request(ctx, args, decoder); });
        }
        PyObject* args[5] = {nullptr, (*ctx)[method], (*ctx)[endpoint], json_data,
                             (*ctx)[Const::ten]};
        return Ref::steal(PyObject_Vectorcall(bound.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              (*ctx)[Kw::make_request]));
    }
    return call_method((*ctx)[Name::make_request],
                       {self, (*ctx)[method], (*ctx)[endpoint], json_data, (*ctx)[Const::ten]},
                       (*ctx)[Kw::make_request]);
}

Envelope read_envelope(Context* ctx, PyObject* data, Ref& code, Ref& records) noexcept {
    int truth = PyObject_IsTrue(data);
    if (truth < 0) return Envelope::error;
    if (!truth) return Envelope::empty;
    code = get_member(ctx, data, (*ctx)[Name::code]);
    if (!code) return Envelope::error;
    Ref differs = Ref::steal(PyObject_RichCompare(code.get(), (*ctx)[Const::zero], Py_NE));
    if (!differs) return Envelope::error;
    int failed = PyObject_IsTrue(differs.get());
    if (failed < 0) return Envelope::error;
    if (failed) return Envelope::refused;
    Ref empty = Ref::steal(new_list());
    if (!empty) return Envelope::error;
    records = get_member(ctx, data, (*ctx)[Name::data], empty.get());
    return records ? Envelope::ok : Envelope::error;
}

Checked check_envelope(Context* ctx, PyObject* self, PyObject* data, const char* prefix,
                       PyObject* symbol, Ref& records) noexcept {
    Ref code;
    const Envelope seen = read_envelope(ctx, data, code, records);
    if (seen == Envelope::error) return Checked::error;
    if (seen == Envelope::ok) return Checked::records;
    if (seen == Envelope::empty)
        return log(ctx, Level::info, {prefix, symbol}) < 0 ? Checked::error : Checked::failed;
    int r = log(ctx, Level::info, [&]() -> Ref {
        Ref head = message(ctx, {prefix, symbol, ","});
        if (!head) return {};
        Ref msg = get_member(ctx, data, (*ctx)[Name::message]);
        if (!msg) return {};
        Ref tail = scrub_secret(ctx, text_of(ctx, msg.get()), self);
        if (!tail) return {};
        return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    });
    return r < 0 ? Checked::error : Checked::failed;
}

}  // namespace norvix
