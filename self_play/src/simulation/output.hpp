#pragma once
// Text the engine writes straight to the process's file descriptors 1 and 2,
// bypassing any stream objects of the host interpreter.

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace velmar {

void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// Shortest text that reads back as the same float, always with a decimal point: 1.0, 0.33333334.
std::string format_float(float value);

// "[a, b, c]" with format_float for floats and decimal integers otherwise.
std::string format_list(std::span<const float> values);
std::string format_list(std::span<const int> values);

// A bar across the terminal on standard error, redrawn at most 20 times a
// second. Draws nothing when standard error is not a terminal, so the logs of
// worker processes stay clean.
class ProgressBar {
 public:
  explicit ProgressBar(std::size_t length);
  void advance();
  void finish();

 private:
  void draw(bool force);

  std::size_t length_;
  std::size_t position_ = 0;
  bool enabled_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace velmar
