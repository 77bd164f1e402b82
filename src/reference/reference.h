// The reference-data methods of NorvixDatafeed.
#pragma once

#include "runtime/as_python/function.h"

namespace norvix {

Body query_dominant, query_contracts, query_ex_factor, query_contract_multiplier;

}  // namespace norvix
