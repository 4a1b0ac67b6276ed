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

PackedPlanes get_packed_representation(const Game& game) {
  const auto p = game.current_player();
  if (!p) throw InternalFailure("No current player");
  // Eight cells at a time into one word whose byte q is their byte of plane q: the owner (plus
  // one) of a cell picks the byte, as the table of get_representation picks the plane.
  constexpr std::size_t kGroups = kCells / 8;
  std::array<std::uint32_t, kOwnerBits + 1> lane{};
  for (std::size_t owner_plus_one = 1; owner_plus_one <= kOwnerBits; ++owner_plus_one) {
    lane[owner_plus_one] = std::uint32_t{1} << (8 * ((owner_plus_one - *p) & 3));
  }
  PackedPlanes bits{};
  for (std::size_t g = 0; g < kGroups; ++g) {
    std::uint32_t word = 0;
    for (std::size_t k = 0; k < 8; ++k) word |= lane[game.board.cells[g * 8 + k] & kOwnerBits] << (7 - k);
    for (std::size_t q = 0; q < kLegalPlane; ++q)
      bits[q * kGroups + g] = static_cast<std::uint8_t>(word >> (8 * q));
  }
  game.tiles.keys().for_each([&](std::size_t t) {
    check_index(t, kCells);
    bits[kLegalPlane * kGroups + t / 8] |= static_cast<std::uint8_t>(0x80u >> (t % 8));
  });
  return bits;
}

Planes unpack_representation(const PackedPlanes& bits) {
  Planes planes;
  for (std::size_t i = 0; i < planes.size(); ++i) planes[i] = (bits[i / 8] >> (7 - i % 8)) & 1 ? 1.0f : 0.0f;
  return planes;
}

}  // namespace velmar
