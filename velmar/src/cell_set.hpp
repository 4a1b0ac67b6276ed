#pragma once
// A set of board cells as a 400-bit bitboard, 7 words, iterated in ascending cell order.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar {

inline constexpr std::size_t kCells = 400;

class CellSet {
 public:
  static constexpr std::size_t kWords = (kCells + 63) / 64;

  bool contains(std::size_t cell) const { return (words_[cell >> 6] >> (cell & 63)) & 1; }
  void insert(std::size_t cell) { words_[cell >> 6] |= std::uint64_t{1} << (cell & 63); }
  void erase(std::size_t cell) { words_[cell >> 6] &= ~(std::uint64_t{1} << (cell & 63)); }
  void clear() { words_ = {}; }
  // Inserts the cells of one board row given as a bitmask of 20 columns.
  void insert_row(std::size_t row, std::uint64_t columns) {
    const std::size_t first = row * 20;
    const std::size_t word = first >> 6, shift = first & 63;
    words_[word] |= columns << shift;
    if (shift + 20 > 64) words_[word + 1] |= columns >> (64 - shift);
  }

  // ORs a whole word of cells 64 * word .. 64 * word + 63 in; bits past the board are dropped.
  void insert_word(std::size_t word, std::uint64_t bits) {
    words_[word] |= word + 1 == kWords ? bits & kLastWordMask : bits;
  }

  bool empty() const {
    std::uint64_t any = 0;
    for (auto w : words_) any |= w;
    return any == 0;
  }
  std::size_t size() const {
    std::size_t n = 0;
    for (auto w : words_) n += static_cast<std::size_t>(std::popcount(w));
    return n;
  }

  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < kWords; ++i) {
      for (std::uint64_t w = words_[i]; w != 0; w &= w - 1) {
        f(i * 64 + static_cast<std::size_t>(std::countr_zero(w)));
      }
    }
  }

  std::vector<std::size_t> to_vector() const {
    // Gathered first, so that the vector is allocated once at its final size.
    std::array<std::uint16_t, kCells> cells;
    std::size_t n = 0;
    for_each([&](std::size_t c) { cells[n++] = static_cast<std::uint16_t>(c); });
    return std::vector<std::size_t>(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(n));
  }

  friend bool operator==(const CellSet&, const CellSet&) = default;

 private:
  static constexpr std::uint64_t kLastWordMask = (std::uint64_t{1} << (kCells - 64 * (kWords - 1))) - 1;
  std::array<std::uint64_t, kWords> words_{};
};

}  // namespace velmar
