#pragma once
// The one way the rules library and the engine report a violated invariant.
// The Python module catches it at its boundary and raises PanicException.

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace velmar {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(std::string message, std::source_location where = std::source_location::current())
      : std::runtime_error(std::move(message)), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void fail_index(std::size_t len, std::size_t index,
                             std::source_location where = std::source_location::current());

inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) fail_index(len, index, where);
}

}  // namespace velmar
