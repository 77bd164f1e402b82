// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
#pragma once

#include "runtime/ref.h"

namespace norvix {

// `cls.<name>`, read for every record as Python reads it (`Interval.MINUTE`).
// While `cls` is the class of the last read and neither it, its metaclass
// nor the value's class has changed since (by their version tags), a read
// through type's own attribute lookup finds the same plain value, with no
// descriptor to run: it is answered with that value.
class ClassAttr {
public:
    Ref get(PyObject* cls, PyObject* name) noexcept;

private:
    Ref cls_, value_;
    unsigned int tags_[3] = {};
};

}  // namespace norvix
