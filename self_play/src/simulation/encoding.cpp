#include "encoding.hpp"

#include "failure.hpp"

namespace velmar {

Planes get_representation(const Game& game) {
  const auto p = game.current_player();
  if (!p) throw InternalFailure("No current player");
  Planes planes{};
  for (std::size_t c = 0; c < kCells; ++c) {
    const std::size_t owner_plus_one = game.board.owner_plus_one(c);
    if (owner_plus_one == 0) continue;
    // The owner is stored plus one, so the mover lands in plane 1.
    const std::size_t plane = (owner_plus_one - *p) & 3;
    planes[plane * kCells + c] = 1.0f;
  }
  game.tiles.keys().for_each([&](std::size_t t) {
    check_index(t, kCells);
    planes[kLegalPlane * kCells + t] = 1.0f;
  });
  return planes;
}

}  // namespace velmar
