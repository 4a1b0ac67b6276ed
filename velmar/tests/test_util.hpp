#pragma once
// Helpers shared by the rules tests. The placement generator here is deliberately
// naive: it tries every origin of every orientation and checks the rules from the
// cell owners and row/column geometry alone, without the closed flags, the corner
// sets or the stride-20 masks that the library relies on.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "game.hpp"

namespace velmar::testing {

// "XX/.X" <-> rows of booleans.
inline Shape shape_of(std::string_view text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/')
      shape.emplace_back();
    else
      shape.back().push_back(c == 'X');
  }
  return shape;
}

inline std::string text_of(const Shape& shape) {
  std::string out;
  for (const auto& row : shape) {
    if (!out.empty()) out += '/';
    for (bool b : row) out += b ? 'X' : '.';
  }
  return out;
}

// (piece index, variant index, origin), ordered in that order.
struct PlacementKey {
  std::size_t piece = 0, variant = 0, origin = 0;
  std::size_t packed() const { return piece << 24 | variant << 16 | origin; }
  friend bool operator==(const PlacementKey& a, const PlacementKey& b) { return a.packed() == b.packed(); }
  friend auto operator<=>(const PlacementKey& a, const PlacementKey& b) { return a.packed() <=> b.packed(); }
  friend std::ostream& operator<<(std::ostream& os, const PlacementKey& k) {
    return os << "(piece " << k.piece << ", variant " << k.variant << ", origin " << k.origin << ")";
  }
};

// The cells of one placement, ascending.
struct Footprint {
  using value_type = std::size_t;
  using iterator = const std::size_t*;
  using const_iterator = const std::size_t*;
  std::array<std::size_t, 5> cells{};
  std::size_t size = 0;
  void push_back(std::size_t c) { cells.at(size++) = c; }
  const std::size_t* begin() const { return cells.data(); }
  const std::size_t* end() const { return cells.data() + size; }
  bool contains(std::size_t c) const { return std::find(begin(), end(), c) != end(); }
  friend auto operator<=>(const Footprint&, const Footprint&) = default;
};

// Placements with their cells, sorted by key.
using PlacementTable = std::vector<std::pair<PlacementKey, Footprint>>;

inline PlacementKey key_of(const Placement& p) { return {p.piece, p.variant(), p.origin}; }

inline Footprint cells_of(const Placement& p) {
  Footprint f;
  p.for_each_cell([&](std::size_t c) { f.push_back(c); });
  std::sort(f.cells.begin(), f.cells.begin() + f.size);
  return f;
}

// g++ 12 at -O3 reports array bounds inside std::sort's insertion step for this element type
// (a known false positive of its -Warray-bounds); the sort itself is the standard one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
inline PlacementTable placement_table(const TileMoves& tiles) {
  PlacementTable out;
  for (const Placement& p : tiles.placements()) out.emplace_back(key_of(p), cells_of(p));
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.first.packed() < b.first.packed(); });
  return out;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline bool has_placement(const PlacementTable& table, const PlacementKey& key) {
  auto it = std::lower_bound(table.begin(), table.end(), key, [](const auto& e, const PlacementKey& k) {
    return e.first.packed() < k.packed();
  });
  return it != table.end() && it->first == key;
}

inline PlacementTable naive_placements(const Board& board, std::size_t player) {
  constexpr std::array<std::size_t, 4> start = {0, 19, 399, 380};
  auto owned = [&](int r, int c) {
    return r >= 0 && r < 20 && c >= 0 && c < 20 && board.owner_plus_one(r * 20 + c) == player + 1;
  };
  std::array<bool, 400> edge{}, diagonal{};
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 20; ++c) {
      edge[r * 20 + c] = owned(r - 1, c) || owned(r + 1, c) || owned(r, c - 1) || owned(r, c + 1);
      diagonal[r * 20 + c] =
          owned(r - 1, c - 1) || owned(r - 1, c + 1) || owned(r + 1, c - 1) || owned(r + 1, c + 1);
    }
  }
  PlacementTable out;
  const std::vector<Piece> hand = board.get_pieces(player);
  for (std::size_t i = 0; i < hand.size(); ++i) {
    for (std::size_t v = 0; v < hand[i].variants.size(); ++v) {
      const Shape& shape = hand[i].variants[v].shape;
      std::vector<std::pair<std::size_t, std::size_t>> squares;  // (row, column) in the bounding box
      for (std::size_t r = 0; r < shape.size(); ++r) {
        for (std::size_t c = 0; c < shape[r].size(); ++c) {
          if (shape[r][c]) squares.emplace_back(r, c);
        }
      }
      for (std::size_t row = 0; row < 20; ++row) {
        for (std::size_t col = 0; col < 20; ++col) {
          Footprint cells;
          bool ok = true, contact = false;
          for (auto [r, c] : squares) {
            const std::size_t cell = (row + r) * 20 + col + c;
            ok = row + r < 20 && col + c < 20 && board.owner_plus_one(cell) == 0 && !edge[cell];
            if (!ok) break;
            contact |= diagonal[cell] || cell == start[player];
            cells.push_back(cell);
          }
          if (ok && contact) out.emplace_back(PlacementKey{i, v, row * 20 + col}, cells);
        }
      }
    }
  }
  return out;  // generated in key order
}

// The structure of a move cache: no placement listed twice, every placement covers
// every tile in `laid`, the keys are the cells of the placements other than `laid`,
// and each key files exactly the placements covering it.
inline ::testing::AssertionResult cache_consistent(const TileMoves& tiles,
                                                   const std::vector<std::size_t>& laid = {}) {
  const PlacementTable table = placement_table(tiles);
  if (std::adjacent_find(table.begin(), table.end(), [](auto& a, auto& b) { return a.first == b.first; }) !=
      table.end())
    return ::testing::AssertionFailure() << "placement listed twice";
  std::vector<std::size_t> packed;
  std::array<std::size_t, kCells> covering{};
  for (const auto& [key, cells] : table) {
    packed.push_back(key.packed());
    for (std::size_t t : laid) {
      if (!cells.contains(t))
        return ::testing::AssertionFailure() << "a live placement misses laid tile " << t;
    }
    for (std::size_t c : cells) ++covering[c];
  }
  for (std::size_t t : laid) covering[t] = 0;
  std::vector<std::size_t> expected_keys;
  for (std::size_t c = 0; c < kCells; ++c) {
    if (covering[c] > 0) expected_keys.push_back(c);
  }
  if (tiles.keys().to_vector() != expected_keys)
    return ::testing::AssertionFailure() << "keys differ from the cells of the live placements";
  for (std::size_t cell : expected_keys) {
    std::vector<std::size_t> filed;
    for (const Placement& p : tiles.filed_under(cell)) {
      bool covers = false;
      p.for_each_cell([&](std::size_t c) { covers |= c == cell; });
      filed.push_back(key_of(p).packed());
      if (!covers || !std::binary_search(packed.begin(), packed.end(), filed.back()))
        return ::testing::AssertionFailure() << "a stray placement filed under " << cell;
    }
    std::sort(filed.begin(), filed.end());
    if (filed.size() != covering[cell] || std::adjacent_find(filed.begin(), filed.end()) != filed.end())
      return ::testing::AssertionFailure() << "wrong placements filed under " << cell;
  }
  return ::testing::AssertionSuccess();
}

inline void set_hand(Board& board, std::size_t player, std::initializer_list<PieceKind> kinds) {
  board.pieces[player].clear();
  for (PieceKind k : kinds) board.pieces[player].push_back(k);
}

inline std::vector<PieceKind> hand_of(const Board& board, std::size_t player) {
  return {board.pieces[player].begin(), board.pieces[player].end()};
}

// Lays the given tiles in order; every one must be accepted.
inline void lay(Game& game, std::initializer_list<std::size_t> cells) {
  for (std::size_t c : cells) {
    ASSERT_TRUE(game.apply(c).has_value()) << "tile " << c << " refused on\n" << game.board.to_string();
  }
}

inline std::vector<std::size_t> sorted_tiles(const Game& game) {
  auto tiles = game.legal_tiles();
  std::sort(tiles.begin(), tiles.end());
  return tiles;
}

// Everything observable about a game, for before/after comparisons.
struct Snapshot {
  std::array<std::uint8_t, kCells> cells;
  std::array<CellSet, kPlayers> corners;
  std::array<std::vector<PieceKind>, kPlayers> hands;
  std::vector<std::pair<int, int>> history;
  std::vector<std::size_t> players;
  std::size_t current;
  std::vector<std::size_t> legal;
  PlacementTable placements;
  std::array<std::int32_t, kPlayers> last_piece_sizes;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

inline Snapshot snapshot(const Game& g) {
  Snapshot s{g.board.cells,
             g.board.corners,
             {},
             {},
             {g.players.begin(), g.players.end()},
             g.current,
             sorted_tiles(g),
             placement_table(g.tiles),
             g.last_piece_sizes};
  for (std::size_t p = 0; p < kPlayers; ++p) s.hands[p] = hand_of(g.board, p);
  for (const Move& m : g.history) s.history.emplace_back(m.player, m.cell);
  return s;
}

}  // namespace velmar::testing

// Runs `stmt` and expects an InternalFailure carrying exactly `text`.
#define EXPECT_INTERNAL_FAILURE(stmt, text)                \
  do {                                                     \
    try {                                                  \
      stmt;                                                \
      ADD_FAILURE() << "no InternalFailure from " #stmt;   \
    } catch (const ::velmar::InternalFailure& failure) {   \
      EXPECT_STREQ(failure.what(), text) << "from " #stmt; \
    }                                                      \
  } while (0)
