// Creation of the module's two classes, the way a class statement creates
// them.
#pragma once

#include "runtime/as_python/function.h"

namespace norvix {

// NorvixBarData: a dataclass made from a subclass of BarData.
Ref make_bar_record_class(Context* ctx) noexcept;

// NorvixDatafeed: a subclass of BaseDatafeed with its eleven methods.
Ref make_datafeed_class(Context* ctx) noexcept;

// NorvixBarData's own method, __post_init__.
Body bar_post_init;

}  // namespace norvix
