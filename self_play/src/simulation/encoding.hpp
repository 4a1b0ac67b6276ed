#pragma once
// What the network sees of a position: five planes of 400 cells, plane-major.
// Planes 0..3 hold squares by owner relative to the player to move p (plane 1 is
// p itself, plane 0 the player before p, planes 2 and 3 the two after); plane 4
// marks the legal tiles.

#include <array>
#include <cstddef>

#include "game.hpp"

namespace velmar {

inline constexpr std::size_t kPlanes = 5;
inline constexpr std::size_t kLegalPlane = 4;
using Planes = std::array<float, kPlanes * kCells>;

// Throws InternalFailure "No current player" on a finished game.
Planes get_representation(const Game& game);

}  // namespace velmar
