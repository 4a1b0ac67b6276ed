#pragma once
// Precomputed candidates for move generation. A candidate is one orientation laid
// with one of its squares (the anchor) on a corner cell. Around the corner the
// board is read once into a 9 x 9 window of blocked cells (off-board counts as
// blocked); a candidate fits when its footprint in that window is clear, which
// takes two word operations and no bounds arithmetic.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pieces.hpp"

namespace velmar {

using Window = unsigned __int128;  // bit 9 * row + column of the 9 x 9 window
inline constexpr int kWindowRadius = 4;
inline constexpr int kWindowSide = 2 * kWindowRadius + 1;

// Which edge neighbours of a cell are blocked: bit 0 left, 1 right, 2 up, 3 down.
using NeighbourMask = std::uint8_t;
inline constexpr std::size_t kNeighbourMasks = 16;

struct Candidate {
  Window footprint = 0;             // the piece's squares, anchor at the window's centre
  Window earlier = 0;               // squares before the anchor in mask order
  std::uint16_t anchor_offset = 0;  // mask position of the anchor
  std::uint8_t orientation = 0;     // catalogue-wide orientation number
};

class CandidateTable {
 public:
  CandidateTable();
  // Candidates of `kind` whose anchor uses none of the blocked edge neighbours.
  std::span<const Candidate> of(PieceKind kind, NeighbourMask blocked) const {
    return lists_[static_cast<std::size_t>(kind)][blocked];
  }

 private:
  std::array<std::array<std::vector<Candidate>, kNeighbourMasks>, kPieceKinds> lists_;
};

inline const CandidateTable& candidate_table() {
  static const CandidateTable instance;
  return instance;
}

}  // namespace velmar
