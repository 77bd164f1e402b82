// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// Whether a class is the dataclass its library made, untouched, and what
// calling it stores; whether an Enum member's `value` is Enum's own.  A
// record is built without calling its class (records/build.cpp) only while
// these hold, so that the object is the one the call would have made.
#pragma once

#include "runtime/ref.h"

namespace norvix {

// What `cls(**kwargs)` does to the new instance of an untouched dataclass:
// the attribute stores of its __init__, in order.
struct DataclassInit {
    static constexpr int kMaxStores = 48;

    DataclassInit() = default;
    ~DataclassInit();
    DataclassInit(const DataclassInit&) = delete;
    DataclassInit& operator=(const DataclassInit&) = delete;

    PyTypeObject* cls = nullptr;  // strong
    unsigned int tag = 0;         // cls's version tag when read
    Ref init, post;               // __init__ and __post_init__
    PyObject* init_code = nullptr;
    PyObject* post_code = nullptr;
    Ref defaults;  // the __init__ defaults read, which hold `dflt`
    struct Store {
        Ref name;
        int kw;          // index into the keyword values, or -1
        PyObject* dflt;  // the parameter's default when kw < 0
    } stores[kMaxStores];
    int nstores = 0;

    // `c` is the class read, and neither it (its version tag) nor its
    // __init__ (code, defaults) nor its __post_init__ (code) has changed.
    bool current(PyObject* c) const noexcept;
};

// `cls` is the dataclass `cname` of the module `module` as found in
// sys.modules, untouched: the metaclass, __new__, __setattr__,
// __getattribute__, __init__ and __post_init__ are the ones Python and
// dataclasses give it, and none of its fields is a data descriptor.  Fills
// `d` from the class's fields and `kwnames`, the keyword names of the call,
// every one of which is a parameter.  False when anything differs, perhaps
// with an exception set that only means so.
bool read_dataclass(const char* module, const char* cname, PyObject* cls, PyObject* kwnames,
                    DataclassInit& d) noexcept;

// `member.value` is `member._value_`: the member's class reads attributes
// generically and its `value` (interned name `value`, the member's own
// `value_attr`) is the enum module's own property over Enum's own `value`.
// Returns the class's version tag, 0 when not.
unsigned int enum_value_tag(PyObject* member, PyObject* value, PyObject* value_attr) noexcept;

}  // namespace norvix
