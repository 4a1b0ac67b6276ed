#pragma once
// Precomputed candidates for move generation. A candidate is one orientation laid
// with one of its squares (the anchor) on a corner cell. Around the corner the
// board is read once into a window of blocked cells (off-board counts as
// blocked); a candidate fits when its footprint in that window is clear, which
// takes two word operations and no bounds arithmetic.
//
// The window is the diamond of cells within four steps of the anchor: every square
// of a piece of at most five squares is that close to every other, and the diamond's
// 41 cells fit one 64-bit word where the enclosing 9 x 9 square would need two.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pieces.hpp"

namespace velmar {

using Window = std::uint64_t;
inline constexpr int kWindowRadius = 4;

// Row r (-4..4) of the diamond holds the cells of columns -h..h, h = 4 - |r|, from
// bit diamond_row_base(r) on, in column order.
inline constexpr int diamond_half_width(int row) { return kWindowRadius - (row < 0 ? -row : row); }
inline constexpr int diamond_row_base(int row) {
  int base = 0;
  for (int r = -kWindowRadius; r < row; ++r) base += 2 * diamond_half_width(r) + 1;
  return base;
}
inline constexpr int kDiamondCells = diamond_row_base(kWindowRadius + 1);
static_assert(kDiamondCells == 41);
inline constexpr Window kDiamond = (Window{1} << kDiamondCells) - 1;

inline constexpr Window window_bit(int row, int column) {
  return Window{1} << (diamond_row_base(row) + diamond_half_width(row) + column);
}

// Which edge neighbours of a cell are blocked: bit 0 left, 1 right, 2 up, 3 down.
using NeighbourMask = std::uint8_t;
inline constexpr std::size_t kNeighbourMasks = 16;

// Diamond bits below the centre's are the squares before it in mask order: the rows
// above, then the row's own cells to the left.
inline constexpr Window kBeforeCentre = window_bit(0, 0) - 1;

// One word: the footprint in the low 41 bits, the anchor's mask position and the
// orientation in the top two bytes, which no window has set.
class Candidate {
 public:
  Candidate(Window footprint, std::uint16_t anchor_offset, std::uint8_t orientation)
      : bits_(footprint | Window{anchor_offset} << kAnchorShift | Window{orientation} << kOrientationShift) {}

  // The piece's squares, anchor at the diamond's centre, in the low 41 bits; the bits
  // above are not squares.
  Window footprint_bits() const { return bits_; }
  // Whether the piece avoids every cell of `rejected`: the blocked cells, and the corner
  // cells before the centre, from which a placement covering both is found instead.
  bool fits(Window rejected) const { return (bits_ & rejected) == 0; }
  std::uint16_t anchor_offset() const { return static_cast<std::uint16_t>((bits_ >> kAnchorShift) & 0xFF); }
  std::uint8_t orientation() const { return static_cast<std::uint8_t>(bits_ >> kOrientationShift); }
  // The placement of piece `piece` with the anchor on `cell`, as the 32-bit image origin
  // | piece << 16 | orientation << 24. An anchor on the board's first cells wraps the
  // origin into the piece byte, but such a placement would stick out and never fits.
  std::uint32_t placement_image(std::uint32_t cell_and_piece) const {
    return cell_and_piece - anchor_offset() + static_cast<std::uint32_t>((bits_ >> 32) & 0xFF000000u);
  }

 private:
  static constexpr int kAnchorShift = 48;
  static constexpr int kOrientationShift = 56;
  Window bits_;
};

class CandidateTable {
 public:
  CandidateTable();
  // Candidates of `kind` whose anchor uses none of the blocked edge neighbours.
  std::span<const Candidate> of(PieceKind kind, NeighbourMask blocked) const {
    const std::size_t list = static_cast<std::size_t>(kind) * kNeighbourMasks + blocked;
    return {all_.data() + first_[list], all_.data() + first_[list + 1]};
  }

 private:
  // All lists back to back, kind-major, so that one generation reads one compact block.
  std::vector<Candidate> all_;
  std::array<std::uint32_t, kPieceKinds * kNeighbourMasks + 1> first_{};
};

inline const CandidateTable& candidate_table() {
  static const CandidateTable instance;
  return instance;
}

}  // namespace velmar
