// Construction and credentials of the datafeed object.
#include "client/client.h"

namespace norvix {
namespace {

constexpr const char kDefaultBaseUrl[] = "http://127.0.0.1:8081";

// The password as it may appear in a log line: six asterisks for any
// non-empty text, nothing for an empty one.  Log files travel further than
// credentials should.
Ref masked_text(Context* ctx, PyObject* password) noexcept {
    Ref t = text_of(ctx, password);
    if (!t) return {};
    if (PyUnicode_GET_LENGTH(t.get()) == 0) return t;
    return Ref::steal(PyUnicode_FromString("******"));
}

// f"{head}{self.username}{middle}{masked self.password}"
int log_credentials(Context* ctx, PyObject* self, const char* head, const char* middle) noexcept {
    return log(ctx, Level::info, [&]() -> Ref {
        Ref user = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::username]));
        if (!user) return {};
        Ref user_text = text_of(ctx, user.get());
        if (!user_text) return {};
        Ref pass = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::password]));
        if (!pass) return {};
        Ref pass_text = masked_text(ctx, pass.get());
        if (!pass_text) return {};
        return message(ctx, {head, user_text, middle, pass_text});
    });
}

}  // namespace

// def __init__(self) -> None:
//     super().__init__()
//     self.base_url = DEFAULT_BASE_URL
//     self.username = SETTINGS.get("datafeed.username", "")
//     self.password = SETTINGS.get("datafeed.password", "")
//     logger.info(f"Norvix数据模块已加载, 用户名: {self.username}, 密钥: {masked}")
PyObject* datafeed_init(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];

    Ref cls;
    if (f->classcell) cls = Ref::steal(PyCell_Get(f->classcell));
    if (!cls) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return nullptr;
    }
    PyObject* super_args[2] = {cls.get(), self};
    Ref sup = Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    if (!sup) return nullptr;
    if (!call_method((*ctx)[Name::init], {sup.get()})) return nullptr;

    Ref url = Ref::steal(PyUnicode_FromString(kDefaultBaseUrl));
    if (!url || PyObject_SetAttr(self, (*ctx)[Name::base_url], url.get()) < 0) return nullptr;

    const char* keys[2] = {"datafeed.username", "datafeed.password"};
    Name attrs[2] = {Name::username, Name::password};
    for (int i = 0; i < 2; ++i) {
        Ref settings = load_global(ctx, Name::SETTINGS);
        if (!settings) return nullptr;
        Ref key = Ref::steal(PyUnicode_FromString(keys[i]));
        if (!key) return nullptr;
        Ref value =
            call_method((*ctx)[Name::get], {settings.get(), key.get(), (*ctx)[Const::empty]});
        if (!value || PyObject_SetAttr(self, (*ctx)[attrs[i]], value.get()) < 0) return nullptr;
    }
    if (log_credentials(ctx, self, "Norvix数据模块已加载, 用户名: ", ", 密钥: ") < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// def initialize(self, username: str, password: str) -> None:
//     self.username = username
//     self.password = password
//     logger.info(f"initialize Norvix 账户、密码, username: {self.username}, password: {masked}")
PyObject* datafeed_initialize(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, (*ctx)[Name::username], args[1]) < 0) return nullptr;
    if (PyObject_SetAttr(self, (*ctx)[Name::password], args[2]) < 0) return nullptr;
    if (log_credentials(ctx, self, "initialize Norvix 账户、密码, username: ", ", password: ") < 0)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace norvix
