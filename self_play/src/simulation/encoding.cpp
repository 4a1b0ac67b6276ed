#include "encoding.hpp"

#include <algorithm>
#include <array>

#include "failure.hpp"

namespace velmar {

Planes get_representation(const Game& game) {
  const auto p = game.current_player();
  if (!p) throw InternalFailure("No current player");
  // Every entry of the owner planes is written here, zeros included, from a row of
  // this table per cell: owners follow no pattern a branch predictor could learn. The
  // owner is stored plus one, so the mover lands in plane 1.
  std::array<std::array<float, kLegalPlane>, kOwnerBits + 1> by_owner{};
  for (std::size_t owner_plus_one = 1; owner_plus_one <= kOwnerBits; ++owner_plus_one) {
    by_owner[owner_plus_one][(owner_plus_one - *p) & 3] = 1.0f;
  }
  Planes planes;
  for (std::size_t c = 0; c < kCells; ++c) {
    const auto& row = by_owner[game.board.cells[c] & kOwnerBits];
    for (std::size_t q = 0; q < kLegalPlane; ++q) planes[q * kCells + c] = row[q];
  }
  std::fill(planes.begin() + kLegalPlane * kCells, planes.end(), 0.0f);
  game.tiles.keys().for_each([&](std::size_t t) {
    check_index(t, kCells);
    planes[kLegalPlane * kCells + t] = 1.0f;
  });
  return planes;
}

}  // namespace velmar
