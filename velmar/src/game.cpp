#include "game.hpp"

#include <algorithm>

#include "anchors.hpp"
#include "failure.hpp"

namespace velmar {

TileMoves::TileMoves(PlacementList generated)
    : generated_(std::make_shared<const PlacementList>(std::move(generated))) {
  collect_keys();
}

TileMoves::TileMoves(PlacementList generated, const CellSet& keys)
    : generated_(std::make_shared<const PlacementList>(std::move(generated))), keys_(keys) {}

std::span<const Placement> TileMoves::placements() const& {
  if (!laid_.empty()) return {narrowed_.begin(), narrowed_.size()};
  if (generated_) return {generated_->data(), generated_->size()};
  return {};
}

std::vector<Placement> TileMoves::filed_under(std::size_t cell) const {
  std::vector<Placement> out;
  if (!contains(cell)) return out;
  for (const Placement& p : placements()) {
    if (p.covers(cell)) out.push_back(p);
  }
  return out;
}

bool TileMoves::narrow(std::size_t tile) {
  if (!contains(tile)) return false;
  if (laid_.empty()) {
    for (const Placement& p : *generated_) {
      if (p.covers(tile)) narrowed_.push_back(p);
    }
    generated_.reset();
  } else {
    auto kept = std::remove_if(narrowed_.begin(), narrowed_.end(),
                               [tile](const Placement& p) { return !p.covers(tile); });
    narrowed_.resize_down(static_cast<std::size_t>(kept - narrowed_.begin()));
  }
  laid_.push_back(static_cast<std::uint16_t>(tile));
  collect_keys();
  return true;
}

void TileMoves::collect_keys() {
  keys_.clear();
  for (const Placement& p : placements()) p.for_each_cell([this](std::size_t c) { keys_.insert(c); });
  for (std::uint16_t t : laid_) keys_.erase(t);
}

namespace {

// One player's view of the board as rows padded by the window radius on every
// side: bit (column + 4) of entry (row + 4). Off-board cells count as blocked.
struct PaddedRows {
  static constexpr std::size_t kRows = kBoardWidth + 2 * kWindowRadius;
  static constexpr std::uint64_t kOffBoard = (std::uint64_t{1} << (kBoardWidth + 2 * kWindowRadius)) - 1;
  static constexpr std::uint64_t kSides =
      kOffBoard & ~(((std::uint64_t{1} << kBoardWidth) - 1) << kWindowRadius);

  std::array<std::uint64_t, kRows> blocked{};
  std::array<std::uint64_t, kRows> corners{};

  PaddedRows(const Board& board, std::size_t player) {
    for (std::size_t r = 0; r < kRows; ++r) {
      const bool on_board = r >= kWindowRadius && r < kWindowRadius + kBoardWidth;
      blocked[r] = on_board ? kSides : kOffBoard;
    }
    const std::uint8_t flag = closed_flag(player);
    for (std::size_t r = 0; r < kBoardWidth; ++r) {
      std::uint64_t row = 0;
      for (std::size_t c = 0; c < kBoardWidth; ++c) {
        row |= std::uint64_t{(board.cells[r * kBoardWidth + c] & flag) != 0} << c;
      }
      blocked[r + kWindowRadius] |= row << kWindowRadius;
    }
    board.corners[player].for_each(
        [&](std::size_t c) { corners[c / kBoardWidth + kWindowRadius] |= bit(c); });
  }

  static std::uint64_t bit(std::size_t cell) {
    return std::uint64_t{1} << (cell % kBoardWidth + kWindowRadius);
  }

  // The 9 x 9 window of `rows` centred on `cell`.
  static Window window(const std::array<std::uint64_t, kRows>& rows, std::size_t cell) {
    const std::size_t top = cell / kBoardWidth;  // padded index of the window's first row
    const std::size_t shift = cell % kBoardWidth;
    Window w = 0;
    for (std::size_t k = 0; k < kWindowSide; ++k) {
      w |= Window((rows[top + k] >> shift) & 0x1FF) << (kWindowSide * k);
    }
    return w;
  }

  // Adds a window centred on `cell` back into padded rows.
  static void scatter(Window w, std::size_t cell, std::array<std::uint64_t, kRows>& rows) {
    const std::size_t top = cell / kBoardWidth;
    const std::size_t shift = cell % kBoardWidth;
    for (std::size_t k = 0; k < kWindowSide; ++k) {
      rows[top + k] |= static_cast<std::uint64_t>((w >> (kWindowSide * k)) & 0x1FF) << shift;
    }
  }
};

NeighbourMask blocked_neighbours(Window blocked) {
  constexpr int centre = kWindowSide * kWindowRadius + kWindowRadius;
  auto at = [&](int i) { return static_cast<NeighbourMask>((blocked >> i) & 1); };
  return static_cast<NeighbourMask>(at(centre - 1) | at(centre + 1) << 1 | at(centre - kWindowSide) << 2 |
                                    at(centre + kWindowSide) << 3);
}

}  // namespace

TileMoves get_tile_moves(const Board& board, std::size_t player) {
  check_index(player, kPlayers);
  const Hand& hand = board.pieces[player];
  if (hand.empty() || board.corners[player].empty()) return TileMoves();
  const PaddedRows rows(board, player);
  const CandidateTable& table = candidate_table();
  PlacementList found;
  found.reserve(128);
  board.corners[player].for_each([&](std::size_t a) {
    const Window blocked = PaddedRows::window(rows.blocked, a);
    const Window corners = PaddedRows::window(rows.corners, a);
    const NeighbourMask around = blocked_neighbours(blocked);
    for (std::size_t i = 0; i < hand.size(); ++i) {
      for (const Candidate& c : table.of(hand[i], around)) {
        // A placement is kept only from the lowest corner cell it covers, so each is found once.
        if ((c.footprint & blocked) != 0 || (c.earlier & corners) != 0) continue;
        found.push_back(
            {static_cast<std::uint16_t>(a - c.anchor_offset), static_cast<std::uint8_t>(i), c.orientation});
      }
    }
  });
  if (found.empty()) return TileMoves();
  return TileMoves(std::move(found));
}

std::string_view message(RuleError error) {
  switch (error) {
    case RuleError::NoCurrentPlayer:
      return "No current player";
    case RuleError::InvalidMove:
      return "Invalid move";
  }
  return "";
}

Game Game::reset() {
  Game game;
  for (std::size_t p = 0; p < kPlayers; ++p) game.players.push_back(static_cast<std::uint8_t>(p));
  game.tiles = get_tile_moves(game.board, 0);
  return game;
}

std::optional<std::size_t> Game::current_player() const {
  if (current < players.size()) return players[current];
  return std::nullopt;
}

std::vector<std::size_t> Game::legal_tiles() const { return tiles.keys().to_vector(); }

std::expected<void, RuleError> Game::apply(std::size_t tile, std::optional<std::size_t> piece) {
  if (current >= players.size()) return std::unexpected(RuleError::NoCurrentPlayer);
  const std::size_t p = players[current];
  if (!tiles.contains(tile)) return std::unexpected(RuleError::InvalidMove);
  if (piece) check_index(*piece, board.pieces[p].size());

  board.place_tile(tile, p);
  history.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(tile)});
  tiles.narrow(tile);
  if (!piece && !tiles.empty()) return {};

  // Every placement left covers exactly the tiles laid this turn, so all name the same piece.
  const std::size_t k = piece ? *piece : tiles.placements().front().piece;
  last_piece_sizes[p] = catalogue().piece(board.pieces[p].at(k)).size;
  board.remove_piece(p, k);
  advance_player();
  return {};
}

std::optional<std::size_t> Game::advance_player() {
  if (players.empty()) return std::nullopt;
  std::size_t k = (current + 1) % players.size();
  while (true) {
    current = k;
    tiles = get_tile_moves(board, players[k]);
    if (!tiles.empty()) return players[k];
    players.erase_at(k);
    if (players.empty()) return std::nullopt;
    k %= players.size();
  }
}

Scores Game::get_score() const { return board.get_scores(last_piece_sizes); }

Payoff Game::get_payoff() const {
  const Scores scores = get_score();
  std::int32_t best = scores[0];
  FixedVec<std::size_t, kPlayers> leaders;
  for (std::size_t j = 0; j < kPlayers; ++j) {
    if (scores[j] == best) {
      leaders.push_back(j);
    } else if (scores[j] > best) {
      leaders.clear();
      leaders.push_back(j);
      best = scores[j];
    }
  }
  const float share = 1.0f / static_cast<float>(leaders.size());
  Payoff payoff{};
  for (std::size_t j : leaders) payoff[j] = share;
  return payoff;
}

}  // namespace velmar
