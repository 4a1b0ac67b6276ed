#include "game.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "anchors.hpp"
#include "failure.hpp"

namespace velmar {

// A turn's full list, in runs by the corner cell each placement was found from. A
// placement lies within four steps of its corner, so laying the first tile reads only
// the runs of the corners near it.
struct TileMoves::Generated {
  struct CornerRun {
    std::uint16_t corner;
    std::uint16_t end;  // one past the run's last placement
  };
  static constexpr std::uint16_t kAnyCorner = kCells;  // a list not built corner by corner

  FixedVec<CornerRun, kCells> runs;
  std::vector<Placement> placements;

  explicit Generated(std::span<const Placement> list) : placements(list.begin(), list.end()) {
    runs.push_back({kAnyCorner, static_cast<std::uint16_t>(list.size())});
  }
  // User-provided, so that make_shared does not clear the run storage first.
  Generated() {}
};

namespace {

// Whether `p` covers `cell`, without a branch: past the mask's end its bits are clear,
// and a cell before the origin wraps round to a distance far past it.
bool covers(const Catalogue& catalogue, const Placement& p, std::size_t cell) {
  const std::size_t d = cell - p.origin;
  const auto& bits = catalogue.orientation(p.orientation).bits;
  const std::size_t within = d < 128;
  return (bits[(d >> 6) & within] >> (d & 63)) & within;
}

bool within_window(std::size_t corner, std::size_t cell) {
  const auto distance = [](std::size_t x, std::size_t y) { return x > y ? x - y : y - x; };
  return distance(corner / kBoardWidth, cell / kBoardWidth) +
             distance(corner % kBoardWidth, cell % kBoardWidth) <=
         static_cast<std::size_t>(kWindowRadius);
}

}  // namespace

TileMoves::TileMoves(std::span<const Placement> generated)
    : generated_(std::make_shared<const Generated>(generated)) {
  collect_keys();
}

TileMoves::TileMoves(std::span<const Placement> generated, const CellSet& keys)
    : generated_(std::make_shared<const Generated>(generated)), keys_(keys) {}

TileMoves::TileMoves(std::shared_ptr<const Generated> generated, const CellSet& keys)
    : generated_(std::move(generated)), keys_(keys) {}

std::span<const Placement> TileMoves::placements() const& {
  if (!laid_.empty()) return {narrowed_.begin(), narrowed_.size()};
  if (generated_) return generated_->placements;
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
  const Catalogue& shapes = catalogue();
  const auto keep = [&](const Placement& p) { return covers(shapes, p, tile); };
  if (laid_.empty()) {
    const Placement* start = generated_->placements.data();
    for (const Generated::CornerRun& run : generated_->runs) {
      const Placement* end = generated_->placements.data() + run.end;
      if (run.corner == Generated::kAnyCorner || within_window(run.corner, tile)) {
        narrowed_.append_if(start, end, keep);
      }
      start = end;
    }
    generated_.reset();
  } else {
    auto kept =
        std::remove_if(narrowed_.begin(), narrowed_.end(), [&](const Placement& p) { return !keep(p); });
    narrowed_.resize_down(static_cast<std::size_t>(kept - narrowed_.begin()));
  }
  laid_.push_back(static_cast<std::uint16_t>(tile));
  collect_keys();
  return true;
}

void TileMoves::collect_keys() {
  // Each placement's mask, shifted to its origin, ORed into words with room for a
  // mask that runs past the last word of the board.
  const Catalogue& shapes = catalogue();
  std::array<std::uint64_t, CellSet::kWords + 2> words{};
  for (const Placement& p : placements()) {
    const auto& bits = shapes.orientation(p.orientation).bits;
    const std::size_t w = p.origin >> 6, shift = p.origin & 63;
    words[w] |= bits[0] << shift;
    words[w + 1] |= bits[1] << shift;
    if (shift != 0) {
      words[w + 1] |= bits[0] >> (64 - shift);
      words[w + 2] |= bits[1] >> (64 - shift);
    }
  }
  keys_.clear();
  for (std::size_t w = 0; w < CellSet::kWords; ++w) keys_.insert_word(w, words[w]);
  for (std::uint16_t t : laid_) keys_.erase(t);
}

namespace {

// Bit i of the result is bit 0 of byte i of `bytes`.
std::uint64_t low_bit_of_each_byte(std::uint64_t bytes) {
  return ((bytes & 0x0101010101010101) * 0x0102040810204080) >> 56;
}

// One player's view of the board as rows padded by the window radius on every
// side: bit (column + 4) of entry (row + 4). Off-board cells count as blocked.
struct PaddedRows {
  static constexpr std::size_t kRows = kBoardWidth + 2 * kWindowRadius;
  static constexpr std::uint64_t kOffBoard = (std::uint64_t{1} << (kBoardWidth + 2 * kWindowRadius)) - 1;
  static constexpr std::uint64_t kSides =
      kOffBoard & ~(((std::uint64_t{1} << kBoardWidth) - 1) << kWindowRadius);
  using Rows = std::array<std::uint64_t, kRows>;

  Rows blocked{};
  Rows corners{};

  PaddedRows(const Board& board, std::size_t player) {
    static_assert(std::endian::native == std::endian::little, "cell bytes are read eight at a time");
    static_assert(kBoardWidth == 20, "a row is read as 8 + 8 + 4 cell bytes");
    for (std::size_t r = 0; r < kRows; ++r) {
      const bool on_board = r >= kWindowRadius && r < kWindowRadius + kBoardWidth;
      blocked[r] = on_board ? kSides : kOffBoard;
    }
    // The closed flag of every cell byte, shifted down to bit 0 and gathered eight at a time.
    const unsigned flag_bit = static_cast<unsigned>(std::countr_zero(closed_flag(player)));
    for (std::size_t r = 0; r < kBoardWidth; ++r) {
      const std::uint8_t* row_cells = board.cells.data() + r * kBoardWidth;
      std::uint64_t first = 0, second = 0;
      std::uint32_t last = 0;
      std::memcpy(&first, row_cells, 8);
      std::memcpy(&second, row_cells + 8, 8);
      std::memcpy(&last, row_cells + 16, 4);
      const std::uint64_t row = low_bit_of_each_byte(first >> flag_bit) |
                                low_bit_of_each_byte(second >> flag_bit) << 8 |
                                low_bit_of_each_byte(std::uint64_t{last} >> flag_bit) << 16;
      blocked[r + kWindowRadius] |= row << kWindowRadius;
    }
    board.corners[player].for_each(
        [&](std::size_t c) { corners[c / kBoardWidth + kWindowRadius] |= bit(c); });
  }

  static std::uint64_t bit(std::size_t cell) {
    return std::uint64_t{1} << (cell % kBoardWidth + kWindowRadius);
  }

  // The diamond of `rows` centred on `cell`, down to row `last` relative to the centre.
  static Window window(const Rows& rows, std::size_t cell, int last = kWindowRadius) {
    const std::size_t top = cell / kBoardWidth;  // padded index of the diamond's first row
    const std::size_t column = cell % kBoardWidth + kWindowRadius;
    Window w = 0;
    for (int r = -kWindowRadius; r <= last; ++r) {
      const int h = diamond_half_width(r);
      const std::uint64_t width_mask = (std::uint64_t{1} << (2 * h + 1)) - 1;
      w |= ((rows[top + static_cast<std::size_t>(r + kWindowRadius)] >>
             (column - static_cast<std::size_t>(h))) &
            width_mask)
           << diamond_row_base(r);
    }
    return w;
  }

  // Adds a diamond centred on `cell` back into padded rows.
  static void scatter(Window w, std::size_t cell, Rows& rows) {
    const std::size_t top = cell / kBoardWidth;
    const std::size_t column = cell % kBoardWidth + kWindowRadius;
    for (int r = -kWindowRadius; r <= kWindowRadius; ++r) {
      const int h = diamond_half_width(r);
      const std::uint64_t width_mask = (std::uint64_t{1} << (2 * h + 1)) - 1;
      rows[top + static_cast<std::size_t>(r + kWindowRadius)] |= ((w >> diamond_row_base(r)) & width_mask)
                                                                 << (column - static_cast<std::size_t>(h));
    }
  }
};

static_assert(sizeof(Placement) == 4 && offsetof(Placement, origin) == 0 && offsetof(Placement, piece) == 2 &&
                  offsetof(Placement, orientation) == 3,
              "move generation writes placements as 32-bit images");

// Where move generation writes its placements before they are copied out. No list holds
// more placements than there are (orientation, origin) pairs, plus the one slot a rejected
// candidate may write past the last. Out of line: inlined, the compiler recomputes the
// thread-local address at every write.
[[gnu::noinline]] Placement* generation_scratch() {
  static thread_local std::array<Placement, kOrientations * kCells + 1> scratch;
  return scratch.data();
}

NeighbourMask blocked_neighbours(Window blocked) {
  auto at = [&](int row, int column) {
    return static_cast<NeighbourMask>((blocked & window_bit(row, column)) != 0);
  };
  return static_cast<NeighbourMask>(at(0, -1) | at(0, 1) << 1 | at(-1, 0) << 2 | at(1, 0) << 3);
}

}  // namespace

TileMoves get_tile_moves(const Board& board, std::size_t player) {
  check_index(player, kPlayers);
  const Hand& hand = board.pieces[player];
  if (hand.empty() || board.corners[player].empty()) return TileMoves();
  const PaddedRows rows(board, player);
  const CandidateTable& table = candidate_table();
  PaddedRows::Rows reached{};
  // Candidates are written unconditionally and kept by advancing the count: whether one
  // fits is close to a coin toss, which a branch would mispredict half the time.
  Placement* const found = generation_scratch();
  std::size_t n = 0;
  auto generated = std::make_shared<TileMoves::Generated>();
  board.corners[player].for_each([&](std::size_t a) {
    const Window blocked = PaddedRows::window(rows.blocked, a);
    const Window corners = PaddedRows::window(rows.corners, a, 0);  // only those before the centre count
    const NeighbourMask around = blocked_neighbours(blocked);
    // A placement is kept only from the lowest corner cell it covers, so each is found once.
    const Window rejected = blocked | (corners & kBeforeCentre);
    const std::size_t before = n;
    Window reach = 0;
    for (std::size_t i = 0; i < hand.size(); ++i) {
      const std::uint32_t cell_and_piece = static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(i)
                                                                               << 16;
      for (const Candidate& c : table.of(hand[i], around)) {
        const bool fits = c.fits(rejected);
        const std::uint32_t image = c.placement_image(cell_and_piece);
        found[n] = std::bit_cast<Placement>(image);
        n += fits;
        reach |= c.footprint_bits() & (Window{0} - fits);  // scatter reads only the diamond's bits
      }
    }
    if (n == before) return;
    PaddedRows::scatter(reach, a, reached);
    generated->runs.push_back({static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(n)});
  });
  if (n == 0) return TileMoves();
  CellSet keys;
  for (std::size_t r = 0; r < kBoardWidth; ++r) {
    keys.insert_row(r,
                    (reached[r + kWindowRadius] >> kWindowRadius) & ((std::uint64_t{1} << kBoardWidth) - 1));
  }
  generated->placements.assign(found, found + n);
  return TileMoves(std::move(generated), keys);
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
