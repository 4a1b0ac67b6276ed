#include "failure.hpp"

namespace velmar {

void fail_index(std::size_t len, std::size_t index, std::source_location where) {
  throw InternalFailure(
      "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index),
      where);
}

}  // namespace velmar
