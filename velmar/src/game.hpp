#pragma once
// Move generation and the state of a whole game. A move is one tile: one square
// of the player to move laid on one cell; a piece is laid tile by tile and the
// move cache narrows after each tile until nothing extends the squares laid.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "board.hpp"

namespace velmar {

// One legal placement of a piece: (piece index, variant index, origin).
struct Placement {
  std::uint16_t origin = 0;      // cell under the top-left corner of the bounding box
  std::uint8_t piece = 0;        // index into the mover's hand when the cache was generated
  std::uint8_t orientation = 0;  // catalogue-wide orientation number

  const Orientation& shape() const { return catalogue().orientation(orientation); }
  std::size_t variant() const { return shape().variant; }
  bool covers(std::size_t cell) const { return cell >= origin && shape().covers_offset(cell - origin); }
  template <class F>
  void for_each_cell(F&& f) const {
    for (std::uint16_t o : shape().squares()) f(std::size_t{origin} + o);
  }

  friend bool operator==(const Placement&, const Placement&) = default;
};

using PlacementList = std::vector<Placement>;

// The move cache of the player to move. Its keys are the legal tiles; the cells a
// placement covers are the keys it is filed under. The full list generated at the
// start of a turn is immutable and shared between copies of a game; once a tile is
// laid only the placements covering it survive, and they fit inline.
class TileMoves {
 public:
  // No cell is covered by more placements than the catalogue has (orientation, square) pairs: 414.
  static constexpr std::size_t kMaxCovering = 414;

  TileMoves() {}  // user-provided: a value-initialised cache would clear its inline storage first
  explicit TileMoves(std::span<const Placement> generated);
  // `keys` must be the cells the placements cover.
  TileMoves(std::span<const Placement> generated, const CellSet& keys);

  bool contains(std::size_t cell) const { return cell < kCells && keys_.contains(cell); }
  const CellSet& keys() const { return keys_; }
  bool empty() const { return keys_.empty(); }
  // Every live placement once. The span points into this cache, so a temporary cache has none.
  std::span<const Placement> placements() const&;
  std::span<const Placement> placements() const&& = delete;
  // The placements filed under `cell`: those that cover it, while it is a key.
  std::vector<Placement> filed_under(std::size_t cell) const;

  // Lays `tile`: keeps only the placements that cover it. Returns false and
  // changes nothing when `tile` is not a key.
  bool narrow(std::size_t tile);

 private:
  void collect_keys();

  struct Generated;
  friend TileMoves get_tile_moves(const Board& board, std::size_t player);
  explicit TileMoves(std::shared_ptr<const Generated> generated, const CellSet& keys);

  std::shared_ptr<const Generated> generated_;
  FixedVec<Placement, kMaxCovering> narrowed_;
  FixedVec<std::uint16_t, 5> laid_;  // tiles laid this turn
  CellSet keys_;
};

TileMoves get_tile_moves(const Board& board, std::size_t player);

enum class RuleError { NoCurrentPlayer, InvalidMove };
std::string_view message(RuleError error);

struct Move {
  std::uint8_t player = 0;
  std::uint16_t cell = 0;
  friend bool operator==(const Move&, const Move&) = default;
};

using Payoff = std::array<float, kPlayers>;

class Game {
 public:
  // 89 squares per player: no game lays more tiles.
  static constexpr std::size_t kMaxMoves = 4 * 89;

  Board board;
  FixedVec<Move, kMaxMoves> history;
  FixedVec<std::uint8_t, kPlayers> players;  // still in the game, in turn order
  std::size_t current = 0;                   // position in `players` of the player to move
  TileMoves tiles;
  std::array<std::int32_t, kPlayers> last_piece_sizes{};

  static Game reset();

  std::optional<std::size_t> current_player() const;
  std::vector<std::size_t> legal_tiles() const;
  // Lays one square; `piece`, when given, declares the piece at that hand index complete.
  std::expected<void, RuleError> apply(std::size_t tile, std::optional<std::size_t> piece = std::nullopt);
  std::optional<std::size_t> advance_player();
  Scores get_score() const;
  Payoff get_payoff() const;
  bool is_over() const { return players.empty(); }

 private:
  Game() = default;
};

}  // namespace velmar
