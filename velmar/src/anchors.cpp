#include "anchors.hpp"

#include <array>
#include <vector>

namespace velmar {
namespace {

Window window_bit(int row, int column) {
  return Window{1} << (kWindowSide * (row + kWindowRadius) + (column + kWindowRadius));
}

NeighbourMask neighbours_used(const Orientation& o, std::uint16_t anchor) {
  const int ar = anchor / static_cast<int>(kBoardWidth);
  const int ac = anchor % static_cast<int>(kBoardWidth);
  NeighbourMask used = 0;
  for (std::uint16_t s : o.squares()) {
    const int dr = s / static_cast<int>(kBoardWidth) - ar;
    const int dc = s % static_cast<int>(kBoardWidth) - ac;
    if (dr == 0 && dc == -1) used |= 1;
    if (dr == 0 && dc == 1) used |= 2;
    if (dr == -1 && dc == 0) used |= 4;
    if (dr == 1 && dc == 0) used |= 8;
  }
  return used;
}

}  // namespace

CandidateTable::CandidateTable() {
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const auto kind = static_cast<PieceKind>(k);
    const auto orientations = catalogue().orientations(kind);
    for (std::size_t v = 0; v < orientations.size(); ++v) {
      const Orientation& o = orientations[v];
      for (std::uint16_t anchor : o.squares()) {
        Candidate c;
        c.anchor_offset = anchor;
        c.orientation = catalogue().orientation_id(kind, v);
        for (std::uint16_t s : o.squares()) {
          const int dr = s / static_cast<int>(kBoardWidth) - anchor / static_cast<int>(kBoardWidth);
          const int dc = s % static_cast<int>(kBoardWidth) - anchor % static_cast<int>(kBoardWidth);
          c.footprint |= window_bit(dr, dc);
          if (s < anchor) c.earlier |= window_bit(dr, dc);
        }
        const NeighbourMask used = neighbours_used(o, anchor);
        for (std::size_t blocked = 0; blocked < kNeighbourMasks; ++blocked) {
          if ((used & blocked) == 0) lists_[k][blocked].push_back(c);
        }
      }
    }
  }
}

}  // namespace velmar
