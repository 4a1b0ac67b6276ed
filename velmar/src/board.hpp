#pragma once
// The 20 x 20 grid with its incremental rule bookkeeping: per cell the owner and
// the players closed off from it, per player the corner cells a new piece may
// touch and the pieces still in hand.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cell_set.hpp"
#include "fixed_vec.hpp"
#include "pieces.hpp"

namespace velmar {

inline constexpr std::size_t kPlayers = 4;
inline constexpr std::array<std::size_t, kPlayers> kStartCorners = {0, 19, 399, 380};

// Cell byte: low four bits owner + 1 (0 when empty); bit 4 + p closes the cell to player p.
inline constexpr std::uint8_t kOwnerBits = 0x0F;
inline constexpr std::uint8_t closed_flag(std::size_t player) {
  return static_cast<std::uint8_t>(0x10u << player);
}

using Hand = FixedVec<PieceKind, kPieceKinds>;
using Scores = std::array<std::int32_t, kPlayers>;

class Board {
 public:
  std::array<Hand, kPlayers> pieces;  // remaining pieces, catalogue order
  std::array<CellSet, kPlayers> corners;
  std::array<std::uint8_t, kCells> cells{};

  Board();

  void place_tile(std::size_t cell, std::size_t player);
  bool can_place(const PieceVariant& variant, std::size_t origin, std::size_t player) const;
  // The same test on the compact orientation, for move generation.
  bool fits(const Orientation& orientation, std::size_t origin, std::size_t player) const {
    if (origin + orientation.mask_len > kCells) return false;
    if (origin % kBoardWidth + orientation.width > kBoardWidth) return false;
    const std::uint8_t flag = closed_flag(player);
    bool touches_corner = false;
    for (std::uint16_t o : orientation.squares()) {
      if ((cells[origin + o] & flag) != 0) return false;
      touches_corner |= corners[player].contains(origin + o);
    }
    return touches_corner;
  }

  std::vector<Piece> get_pieces(std::size_t player) const;
  void remove_piece(std::size_t player, std::size_t index);
  Scores get_scores(const std::array<std::int32_t, kPlayers>& last_piece_sizes) const;

  std::size_t owner_plus_one(std::size_t cell) const { return cells[cell] & kOwnerBits; }

  // 20 lines of 20 characters: the owning player's digit, or '.' for an empty cell.
  std::string to_string() const;
};

}  // namespace velmar
