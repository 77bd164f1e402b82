// The request routine: every exchange with the data service passes here.
#include "client/client.h"
#include "records/decode.h"

namespace norvix {
namespace {

// requests.exceptions.<name>, read at the moment the except clause is tested.
Ref requests_exception(Context* ctx, Name name) noexcept {
    Ref requests = load_global(ctx, Name::requests);
    if (!requests) return {};
    Ref exceptions = Ref::steal(PyObject_GetAttr(requests.get(), (*ctx)[Name::exceptions]));
    if (!exceptions) return {};
    return Ref::steal(PyObject_GetAttr(exceptions.get(), (*ctx)[name]));
}

// 1 when `exc` matches the class that `clause` evaluates to, 0 when not,
// -1 when evaluating or testing the clause raised.
template <class Clause>
int matches(PyObject* exc, Clause&& clause) noexcept {
    Ref cls = clause();
    if (!cls) return -1;
    return except_matches(exc, {cls.get()});
}

// The except clauses of the request, in order.  Returns 1 when a clause
// handled `exc`, 0 when none matched, -1 when handling raised.
int handle_failure(Context* ctx, PyObject* exc, PyObject* timeout, PyObject* password) noexcept {
    int m = matches(exc, [&] { return requests_exception(ctx, Name::Timeout); });
    if (m)
        return m < 0 ? -1
                     : (log(ctx, Level::error, {"错误：请求超时（", timeout, "秒）"}) < 0 ? -1 : 1);

    m = matches(exc, [&] { return requests_exception(ctx, Name::ConnectionError); });
    if (m)
        return m < 0 ? -1 : (log(ctx, Level::error, {"错误：无法连接到目标服务器"}) < 0 ? -1 : 1);

    m = matches(exc, [&] { return requests_exception(ctx, Name::HTTPError); });
    if (m < 0) return -1;
    if (m) {
        // logger.error(f"错误：HTTP请求失败，状态码: {e.response.status_code}")
        // if e.response.text:
        //     logger.error(f"错误响应内容: {e.response.text}")
        auto response_attr = [&](Name attr) -> Ref {
            Ref response = Ref::steal(PyObject_GetAttr(exc, (*ctx)[Name::response]));
            if (!response) return {};
            return Ref::steal(PyObject_GetAttr(response.get(), (*ctx)[attr]));
        };
        if (log(ctx, Level::error, [&]() -> Ref {
                Ref status = response_attr(Name::status_code);
                if (!status) return {};
                return message(ctx, {"错误：HTTP请求失败，状态码: ", status});
            }) < 0)
            return -1;
        Ref text = response_attr(Name::text);
        if (!text) return -1;
        int nonempty = PyObject_IsTrue(text.get());
        if (nonempty < 0) return -1;
        if (nonempty && log(ctx, Level::error, [&]() -> Ref {
                            Ref again = scrub(ctx, response_attr(Name::text), password);
                            if (!again) return {};
                            return message(ctx, {"错误响应内容: ", again});
                        }) < 0)
            return -1;
        return 1;
    }

    m = matches(exc, [&]() -> Ref {
        Ref json = load_global(ctx, Name::json);
        if (!json) return {};
        return Ref::steal(PyObject_GetAttr(json.get(), (*ctx)[Name::JSONDecodeError]));
    });
    if (m)
        return m < 0 ? -1 : (log(ctx, Level::error, {"错误：响应不是有效的JSON格式"}) < 0 ? -1 : 1);

    m = matches(exc, [&] { return load_global(ctx, Name::Exception); });
    if (m < 0) return -1;
    if (m) {
        int r = log(ctx, Level::error, [&]() -> Ref {
            Ref s = scrub(ctx, Ref::steal(PyObject_Str(exc)), password);
            if (!s) return {};
            return message(ctx, {"未知错误：", s});
        });
        return r < 0 ? -1 : 1;
    }
    return 0;
}

// The protected region: send, check the status, decode, log success.
Ref exchange(Context* ctx, PyObject* self, PyObject* method, PyObject* endpoint,
             PyObject* json_data, PyObject* timeout, PyObject* headers,
             decode::Decoder* decoder) noexcept {
    Ref is_get_obj = Ref::steal(PyObject_RichCompare(method, (*ctx)[Const::get], Py_EQ));
    if (!is_get_obj) return {};
    int is_get = PyObject_IsTrue(is_get_obj.get());
    if (is_get < 0) return {};
    // Everything the call needs lives only as long as the call, as the
    // temporaries of `requests.post(url=self.base_url + endpoint, ...)` do.
    Ref response = [&]() -> Ref {
        Ref requests = load_global(ctx, Name::requests);
        if (!requests) return {};
        Ref send =
            Ref::steal(PyObject_GetAttr(requests.get(), (*ctx)[is_get ? Name::get : Name::post]));
        if (!send) return {};
        if (decoder && !is_get) decoder->note_sender(ctx, requests.get(), send.get());
        Ref base = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::base_url]));
        if (!base) return {};
        Ref url = Ref::steal(PyNumber_Add(base.get(), endpoint));
        if (!url) return {};
        PyObject* args[5] = {nullptr, url.get(), json_data, headers, timeout};
        return Ref::steal(PyObject_Vectorcall(send.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              (*ctx)[is_get ? Kw::get : Kw::post]));
    }();
    if (!response) return {};
    if (!call_method((*ctx)[Name::raise_for_status], {response.get()})) return {};
    // response.json(), unless the body can be read natively (the query then
    // takes the records from the decoder).
    int native = decoder ? decoder->decode(ctx, response.get()) : 0;
    if (native < 0) return {};
    Ref decoded = native ? Ref::borrow(Py_True) : call_method((*ctx)[Name::json], {response.get()});
    if (!decoded) return {};
    int r = log(ctx, Level::info, [&]() -> Ref {
        Ref status = Ref::steal(PyObject_GetAttr(response.get(), (*ctx)[Name::status_code]));
        if (!status) return {};
        return message(ctx, {"请求成功！状态码: ", status});
    });
    if (r < 0) return {};
    return decoded;
}

}  // namespace

// def _make_request(self, method: str, endpoint: str, json_data: dict, timeout: int = 10) -> dict:
//     if not self.username:
//         logger.info("Norvix数据服务：用户名为空！"); return {}
//     if not self.password:
//         logger.info("Norvix数据服务：密码为空！"); return {}
//     default_headers = {"Content-Type": "application/json",
//                        "User-Agent": "Python/requests (JSON POST)",
//                        "mobile": self.username, "token": self.password}
//     try:
//         response = requests.get(url=..., params=json_data, ...) if method == "GET"
//                    else requests.post(url=..., json=json_data, ...)
//         response.raise_for_status()
//         response_json = response.json()
//         logger.info(f"请求成功！状态码: {response.status_code}")
//         return response_json
//     except requests.exceptions.Timeout: ...
//     except requests.exceptions.ConnectionError: ...
//     except requests.exceptions.HTTPError as e: ...
//     except json.JSONDecodeError: ...
//     except Exception as e: ...
//     return {}
PyObject* datafeed_make_request(FunctionObject* f, PyObject* const* args) noexcept {
    return make_request(f->ctx, args, nullptr).release();
}

Ref make_request(Context* ctx, PyObject* const* args, decode::Decoder* decoder) noexcept {
    PyObject* self = args[0];
    PyObject* method = args[1];
    PyObject* endpoint = args[2];
    PyObject* json_data = args[3];
    PyObject* timeout = args[4];

    struct Credential {
        Name attr;
        const char* refusal;
    };
    const Credential checks[2] = {{Name::username, "Norvix数据服务：用户名为空！"},
                                  {Name::password, "Norvix数据服务：密码为空！"}};
    for (const Credential& c : checks) {
        Ref value = Ref::steal(PyObject_GetAttr(self, (*ctx)[c.attr]));
        if (!value) return {};
        int present = PyObject_IsTrue(value.get());
        if (present < 0) return {};
        if (!present) {
            if (log(ctx, Level::info, {c.refusal}) < 0) return {};
            return Ref::steal(PyDict_New());
        }
    }

    Ref user = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::username]));
    if (!user) return {};
    Ref password = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::password]));
    if (!password) return {};
    Ref headers = request_headers(ctx, user.get(), password.get());
    if (!headers) return {};

    Ref decoded = exchange(ctx, self, method, endpoint, json_data, timeout, headers.get(), decoder);
    if (decoded) return decoded;
    if (decoder) decoder->discard();

    // Handle the failure with it set as the exception being handled, so that
    // anything raised while handling chains to it as in an except block.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.get());
    int handled = handle_failure(ctx, exc.get(), timeout, password.get());
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (handled < 0) return {};
    if (handled == 0) {
        PyErr_SetRaisedException(exc.release());
        return {};
    }
    return Ref::steal(PyDict_New());
}

}  // namespace norvix
