// The market-history methods of NorvixDatafeed.
#pragma once

#include "runtime/as_python/function.h"

namespace norvix {

Body query_bar_history, query_day_bar_history, query_minute_bar_history, query_tick_history;

}  // namespace norvix
