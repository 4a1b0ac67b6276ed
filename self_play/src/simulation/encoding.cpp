#include "encoding.hpp"

#include "failure.hpp"

namespace velmar {

Planes get_representation(const Game& game) {
  const auto p = game.current_player();
  if (!p) throw InternalFailure("No current player");
  Planes planes{};
  for (std::size_t c = 0; c < kCells; ++c) {
    const std::size_t owner_plus_one = game.board.owner_plus_one(c);
    // The owner is stored plus one, so the mover lands in plane 1. An empty cell
    // writes its 0.0 into some plane at that cell, which is 0.0 already: no branch.
    const std::size_t plane = (owner_plus_one - *p) & 3;
    planes[plane * kCells + c] = owner_plus_one != 0 ? 1.0f : 0.0f;
  }
  game.tiles.keys().for_each([&](std::size_t t) {
    check_index(t, kCells);
    planes[kLegalPlane * kCells + t] = 1.0f;
  });
  return planes;
}

}  // namespace velmar
