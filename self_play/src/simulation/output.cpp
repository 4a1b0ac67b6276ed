#include "output.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace velmar {
namespace {

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a broken standard stream
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::size_t terminal_width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

template <class T, class Format>
std::string join(std::span<const T> values, Format format) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += format(values[i]);
  }
  return out + "]";
}

}  // namespace

void write_stdout(std::string_view text) { write_all(STDOUT_FILENO, text); }
void write_stderr(std::string_view text) { write_all(STDERR_FILENO, text); }

std::string format_float(float value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eEin") == std::string::npos) text += ".0";
  return text;
}

std::string format_list(std::span<const float> values) { return join(values, format_float); }
std::string format_list(std::span<const int> values) {
  return join(values, [](int v) { return std::to_string(v); });
}

ProgressBar::ProgressBar(std::size_t length) : length_(length), enabled_(::isatty(STDERR_FILENO) == 1) {}

void ProgressBar::advance() {
  if (position_ < length_) ++position_;
  draw(false);
}

void ProgressBar::finish() {
  position_ = length_;
  draw(true);
  if (enabled_) write_stderr("\n");
}

void ProgressBar::draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < std::chrono::milliseconds(50)) return;
  last_draw_ = now;
  std::string counter(1, ' ');
  counter.append(std::to_string(position_)).append(1, '/').append(std::to_string(length_));
  const std::size_t width = terminal_width();
  const std::size_t bar = width > counter.size() + 3 ? width - counter.size() - 3 : 10;
  const std::size_t filled = length_ == 0 ? bar : bar * position_ / length_;
  std::string line;
  line.reserve(bar + counter.size() + 3);
  line.append("\r[").append(filled, '#').append(bar - filled, '-').append("]").append(counter);
  write_stderr(line);
}

}  // namespace velmar
