#pragma once
// What the network sees of a position: five planes of 400 cells, plane-major.
// Planes 0..3 hold squares by owner relative to the player to move p (plane 1 is
// p itself, plane 0 the player before p, planes 2 and 3 the two after); plane 4
// marks the legal tiles.

#include <array>
#include <cstddef>
#include <cstdint>

#include "game.hpp"

namespace velmar {

inline constexpr std::size_t kPlanes = 5;
inline constexpr std::size_t kLegalPlane = 4;
using Planes = std::array<float, kPlanes * kCells>;

// The same planes as bits, 1 for 1.0: bit q * 400 + c is plane q, cell c, the most significant
// bit of each byte first (the order of numpy.packbits). What a compact request carries.
inline constexpr std::size_t kPackedBytes = kPlanes * kCells / 8;
static_assert(kCells % 8 == 0);
using PackedPlanes = std::array<std::uint8_t, kPackedBytes>;

// Throws InternalFailure "No current player" on a finished game.
Planes get_representation(const Game& game);

// get_representation packed, made straight from the board. Same failure.
PackedPlanes get_packed_representation(const Game& game);

// The planes of packed bits, 0.0 or 1.0 each.
Planes unpack_representation(const PackedPlanes& bits);

}  // namespace velmar
