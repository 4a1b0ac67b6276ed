#include "anchors.hpp"

#include <array>
#include <cstdlib>
#include <vector>

#include "failure.hpp"

namespace velmar {
namespace {

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
  std::array<std::vector<Candidate>, kNeighbourMasks> lists;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const auto kind = static_cast<PieceKind>(k);
    const auto orientations = catalogue().orientations(kind);
    for (auto& list : lists) list.clear();
    for (std::size_t v = 0; v < orientations.size(); ++v) {
      const Orientation& o = orientations[v];
      for (std::uint16_t anchor : o.squares()) {
        Window footprint = 0;
        for (std::uint16_t s : o.squares()) {
          const int dr = s / static_cast<int>(kBoardWidth) - anchor / static_cast<int>(kBoardWidth);
          const int dc = s % static_cast<int>(kBoardWidth) - anchor % static_cast<int>(kBoardWidth);
          if (std::abs(dr) + std::abs(dc) > kWindowRadius)
            fail_index(kWindowRadius, std::abs(dr) + std::abs(dc));
          footprint |= window_bit(dr, dc);
        }
        const Candidate c(footprint, anchor, catalogue().orientation_id(kind, v));
        const NeighbourMask used = neighbours_used(o, anchor);
        for (std::size_t blocked = 0; blocked < kNeighbourMasks; ++blocked) {
          if ((used & blocked) == 0) lists[blocked].push_back(c);
        }
      }
    }
    for (std::size_t blocked = 0; blocked < kNeighbourMasks; ++blocked) {
      first_[k * kNeighbourMasks + blocked] = static_cast<std::uint32_t>(all_.size());
      all_.insert(all_.end(), lists[blocked].begin(), lists[blocked].end());
    }
  }
  first_.back() = static_cast<std::uint32_t>(all_.size());
}

}  // namespace velmar
