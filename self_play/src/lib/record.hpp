#pragma once
// The training record as interpreter objects: a 3-tuple of lists.

#include "driver.hpp"
#include "py_ref.hpp"

namespace velmar::py {

// New tuple, or null with an exception set.
Ref record_to_python(const Record& record);

}  // namespace velmar::py
