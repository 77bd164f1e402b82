// NorvixBarData's own method.
#include "module/classes.h"
#include "runtime/py.h"

namespace norvix {

// def __post_init__(self) -> None:
//     ""
//     self.vt_symbol = f"{self.instrument_id}.{self.exchange.value}"
PyObject* bar_post_init(FunctionObject* f, PyObject* const* args) noexcept {
    Context* ctx = f->ctx;
    PyObject* self = args[0];
    Ref instrument = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::instrument_id]));
    if (!instrument) return nullptr;
    Ref head = text_of(ctx, instrument.get());
    if (!head) return nullptr;
    Ref exchange = Ref::steal(PyObject_GetAttr(self, (*ctx)[Name::exchange]));
    if (!exchange) return nullptr;
    Ref value = Ref::steal(PyObject_GetAttr(exchange.get(), (*ctx)[Name::value]));
    if (!value) return nullptr;
    Ref symbol = message(ctx, {head, ".", value});
    if (!symbol || PyObject_SetAttr(self, (*ctx)[Name::vt_symbol], symbol.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace norvix
