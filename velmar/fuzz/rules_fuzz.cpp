// Fuzz target for the rules library: plays tile sequences chosen by the input,
// mostly legal tiles and now and then illegal ones, and checks after every step
//
//  - that the move cache agrees with a naive oracle: at the start of each turn the
//    oracle lists every placement of every piece in hand from the cell owners alone
//    (no closed flags, no corner sets, no stride-20 masks); during the turn the
//    live placements are those covering every tile laid so far, and the legal tiles
//    are their cells minus the laid ones;
//  - that a completed piece is one of those placements, leaves the hand, and that
//    the turn passes to the next player able to move, dropping those that cannot;
//  - that an illegal tile (occupied, unreachable, off the board, or a legal tile
//    with a bad piece index) is refused and leaves the whole game unchanged;
//  - that a copy of a game can be played on without touching the original.
//
// Input bytes, one step each (see `Fuzzer::step`):
//   0x00-0xDF  lay a legal tile, picked by the byte's position in the legal list
//   0xE0-0xEF  try an illegal tile; the next byte picks which
//   0xF0-0xF7  copy the game, play 1-8 tiles on the copy, maybe carry on with it
//   0xF8-0xFF  compare every player's generated moves with the oracle
//
// Built with clang, this is a libFuzzer target. Built with VELMAR_FUZZ_DRIVER, a
// main() runs it over the files named on the command line and over random inputs:
//   rules_fuzz [--runs N] [--seed S] [--max-len L] [FILE...]

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "failure.hpp"
#include "game.hpp"

namespace {

using namespace velmar;

[[noreturn]] void report(const char* what, const Game& game) {
  std::fprintf(stderr, "rules_fuzz: %s (after %zu tiles)\n%s", what, game.history.size(),
               game.board.to_string().c_str());
  std::fflush(stderr);
  std::abort();  // the harness's way of flagging a finding
}

#define FUZZ_CHECK(cond, game)                         \
  do {                                                 \
    if (!(cond)) report("check failed: " #cond, game); \
  } while (0)

// One placement as the oracle sees it: the piece kind rather than its hand index.
struct Naive {
  std::size_t kind = 0, variant = 0, origin = 0;
  std::array<std::size_t, 5> cells{};
  std::size_t size = 0;

  auto key() const { return std::tie(kind, variant, origin); }
  bool covers(std::size_t c) const {
    return std::find(cells.begin(), cells.begin() + size, c) != cells.begin() + size;
  }
};

bool owned_by(const Board& board, int r, int c, std::size_t player) {
  return r >= 0 && r < 20 && c >= 0 && c < 20 &&
         board.owner_plus_one(static_cast<std::size_t>(r * 20 + c)) == player + 1;
}

// The squares of every variant of every piece as (row, column) in its bounding box,
// read once from the catalogue's shapes.
struct VariantSquares {
  std::size_t height = 0, width = 0, size = 0;
  std::array<std::pair<std::size_t, std::size_t>, 5> squares{};
};

const std::vector<std::vector<VariantSquares>>& variant_squares() {
  static const auto table = [] {
    std::vector<std::vector<VariantSquares>> out(kPieceKinds);
    for (std::size_t kind = 0; kind < kPieceKinds; ++kind) {
      for (const PieceVariant& variant : catalogue().piece(static_cast<PieceKind>(kind)).variants) {
        VariantSquares v;
        v.height = variant.shape.size();
        for (std::size_t r = 0; r < variant.shape.size(); ++r) {
          v.width = std::max(v.width, variant.shape[r].size());
          for (std::size_t c = 0; c < variant.shape[r].size(); ++c) {
            if (!variant.shape[r][c]) continue;
            if (v.size == v.squares.size()) std::abort();  // no piece has more than five squares
            v.squares[v.size++] = {r, c};
          }
        }
        out[kind].push_back(v);
      }
    }
    return out;
  }();
  return table;
}

// Every placement of `player`'s hand, from the cell owners and the start corner alone.
// A placement has to lay a square on a contact cell (a free cell touching the
// player's pieces corner to corner, or its start corner), so only the origins that
// put one of its squares on such a cell are tried.
std::vector<Naive> naive_placements(const Board& board, std::size_t player) {
  std::array<bool, kCells> open{};
  std::vector<std::size_t> contacts;
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 20; ++c) {
      const auto o = [&](int dr, int dc) { return owned_by(board, r + dr, c + dc, player); };
      const auto cell = static_cast<std::size_t>(r * 20 + c);
      open[cell] = board.owner_plus_one(cell) == 0 && !(o(-1, 0) || o(1, 0) || o(0, -1) || o(0, 1));
      if (open[cell] && (o(-1, -1) || o(-1, 1) || o(1, -1) || o(1, 1) || cell == kStartCorners[player])) {
        contacts.push_back(cell);
      }
    }
  }
  std::vector<Naive> out;
  for (PieceKind kind : board.pieces[player]) {
    const auto& variants = variant_squares()[static_cast<std::size_t>(kind)];
    for (std::size_t v = 0; v < variants.size(); ++v) {
      const VariantSquares& shape = variants[v];
      for (std::size_t x : contacts) {
        for (std::size_t j = 0; j < shape.size; ++j) {
          const auto [dr, dc] = shape.squares[j];
          if (x / 20 < dr || x % 20 < dc) continue;
          const std::size_t row = x / 20 - dr, col = x % 20 - dc;
          if (row + shape.height > 20 || col + shape.width > 20) continue;
          Naive n{static_cast<std::size_t>(kind), v, row * 20 + col};
          bool ok = true;
          for (std::size_t i = 0; i < shape.size && ok; ++i) {
            const std::size_t cell = (row + shape.squares[i].first) * 20 + col + shape.squares[i].second;
            ok = open[cell];
            n.cells[n.size++] = cell;
          }
          if (ok) out.push_back(n);
        }
      }
    }
  }
  std::sort(out.begin(), out.end(), [](const Naive& a, const Naive& b) { return a.key() < b.key(); });
  out.erase(
      std::unique(out.begin(), out.end(), [](const Naive& a, const Naive& b) { return a.key() == b.key(); }),
      out.end());
  return out;
}

using Key = std::tuple<std::size_t, std::size_t, std::size_t>;

std::vector<Key> keys_of(const std::vector<Naive>& list) {
  std::vector<Key> out;
  for (const Naive& n : list) out.emplace_back(n.kind, n.variant, n.origin);
  return out;
}

// The library's placements as (kind, variant, origin), with `hand` the hand they were generated from.
std::vector<Key> keys_of(const TileMoves& tiles, const Hand& hand, const Game& game) {
  std::vector<Key> out;
  for (const Placement& p : tiles.placements()) {
    FUZZ_CHECK(p.piece < hand.size(), game);
    out.emplace_back(static_cast<std::size_t>(hand[p.piece]), p.variant(), p.origin);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Everything observable about a game.
struct Snapshot {
  std::array<std::uint8_t, kCells> cells;
  std::array<CellSet, kPlayers> corners;
  std::array<std::vector<PieceKind>, kPlayers> hands;
  std::vector<std::pair<int, int>> history;
  std::vector<std::size_t> players;
  std::size_t current;
  CellSet keys;
  std::vector<std::tuple<int, int, int>> placements;  // in the cache's own order
  std::array<std::int32_t, kPlayers> last_piece_sizes;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(const Game& g) {
  Snapshot s{g.board.cells,
             g.board.corners,
             {},
             {},
             {g.players.begin(), g.players.end()},
             g.current,
             g.tiles.keys(),
             {},
             g.last_piece_sizes};
  for (std::size_t p = 0; p < kPlayers; ++p)
    s.hands[p].assign(g.board.pieces[p].begin(), g.board.pieces[p].end());
  for (const Move& m : g.history) s.history.emplace_back(m.player, m.cell);
  for (const Placement& p : g.tiles.placements()) s.placements.emplace_back(p.origin, p.piece, p.orientation);
  return s;
}

class Fuzzer {
 public:
  Fuzzer() : game_(Game::reset()) { start_turn(); }

  void run(const std::uint8_t* data, std::size_t size) {
    data_ = data;
    end_ = data + size;
    while (data_ < end_ && step()) {
    }
    if (game_.is_over()) {
      check_finished();
      ++finished_games;
    }
  }

  static inline std::size_t finished_games = 0;  // for the driver's summary

 private:
  std::optional<std::uint8_t> next() {
    if (data_ >= end_) return std::nullopt;
    return *data_++;
  }

  // Returns false when the input is used up.
  bool step() {
    const auto b = next();
    if (!b) return false;
    if (*b < 0xE0) {
      lay_legal(*b);
    } else if (*b < 0xF0) {
      const auto param = next();
      if (!param) return false;
      try_illegal(*b & 3, *param);
    } else if (*b < 0xF8) {
      play_on_copy(static_cast<std::size_t>(*b & 7) + 1);
    } else {
      check_all_players();
    }
    return true;
  }

  void start_turn() {
    laid_.clear();
    const auto p = game_.current_player();
    if (!p) {
      live_.clear();
      return;
    }
    turn_hand_ = game_.board.pieces[*p];
    live_ = naive_placements(game_.board, *p);
    FUZZ_CHECK(!live_.empty(), game_);
    check_cache();
  }

  // The cache of the player to move against the placements still live in the oracle.
  void check_cache() const {
    const auto p = game_.current_player();
    FUZZ_CHECK(p.has_value(), game_);
    FUZZ_CHECK(keys_of(game_.tiles, turn_hand_, game_) == keys_of(live_), game_);
    CellSet expected;
    for (const Naive& n : live_) {
      for (std::size_t i = 0; i < n.size; ++i) expected.insert(n.cells[i]);
    }
    for (std::size_t t : laid_) expected.erase(t);
    FUZZ_CHECK(game_.tiles.keys() == expected, game_);
    FUZZ_CHECK(game_.legal_tiles() == expected.to_vector(), game_);
    FUZZ_CHECK(!expected.empty(), game_);
    for (std::size_t cell : game_.legal_tiles()) {
      for (const Placement& placement : game_.tiles.filed_under(cell))
        FUZZ_CHECK(placement.covers(cell), game_);
    }
  }

  void lay_legal(std::uint8_t b) {
    const auto tiles = game_.legal_tiles();
    if (tiles.empty()) {
      FUZZ_CHECK(game_.is_over(), game_);
      return;
    }
    const std::size_t tile = tiles[static_cast<std::size_t>(b) * tiles.size() / 0xE0];
    lay(tile);
  }

  void lay(std::size_t tile) {
    const std::size_t p = *game_.current_player();
    const auto before_players = std::vector<std::size_t>(game_.players.begin(), game_.players.end());
    const std::size_t hand_before = game_.board.pieces[p].size();
    const auto applied = game_.apply(tile);
    FUZZ_CHECK(applied.has_value(), game_);
    FUZZ_CHECK(game_.board.owner_plus_one(tile) == p + 1, game_);
    FUZZ_CHECK(
        !game_.history.empty() && game_.history[game_.history.size() - 1] ==
                                      (Move{static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(tile)}),
        game_);
    laid_.push_back(tile);
    std::erase_if(live_, [&](const Naive& n) { return !n.covers(tile); });
    FUZZ_CHECK(!live_.empty(), game_);

    bool extendable = false;
    for (const Naive& n : live_) extendable |= n.size > laid_.size();
    if (extendable) {
      FUZZ_CHECK(game_.board.pieces[p].size() == hand_before, game_);
      FUZZ_CHECK(game_.current_player() == p, game_);
      check_cache();
      return;
    }

    // The piece is complete: every live placement is exactly the tiles laid, all of one kind.
    const std::size_t kind = live_.front().kind;
    for (const Naive& n : live_) FUZZ_CHECK(n.kind == kind && n.size == laid_.size(), game_);
    FUZZ_CHECK(game_.board.pieces[p].size() + 1 == hand_before, game_);
    FUZZ_CHECK(std::count(game_.board.pieces[p].begin(), game_.board.pieces[p].end(),
                          static_cast<PieceKind>(kind)) == 0,
               game_);
    FUZZ_CHECK(game_.last_piece_sizes[p] == static_cast<std::int32_t>(laid_.size()), game_);

    // The turn goes to the next player, in the old order, who can still move; those who
    // cannot are dropped on the way (the mover too, when the search comes back round).
    std::vector<std::size_t> players = before_players;
    std::size_t k = static_cast<std::size_t>(std::find(players.begin(), players.end(), p) - players.begin());
    std::optional<std::size_t> next_player;
    k = (k + 1) % players.size();
    while (!players.empty()) {
      if (!naive_placements(game_.board, players[k]).empty()) {
        next_player = players[k];
        break;
      }
      players.erase(players.begin() + static_cast<std::ptrdiff_t>(k));
      if (!players.empty()) k %= players.size();
    }
    FUZZ_CHECK(std::vector<std::size_t>(game_.players.begin(), game_.players.end()) == players, game_);
    FUZZ_CHECK(game_.current_player() == next_player, game_);
    start_turn();
  }

  // Occupied cells, empty cells that are not legal, cells off the board, or a legal tile
  // with a piece index past the hand: each is refused and changes nothing.
  void try_illegal(int kind, std::uint8_t param) {
    const Snapshot before = snapshot(game_);
    std::size_t tile = 0;
    std::optional<std::size_t> piece;
    if (kind == 0 || kind == 1) {
      std::vector<std::size_t> candidates;
      for (std::size_t c = 0; c < kCells; ++c) {
        const bool occupied = game_.board.owner_plus_one(c) != 0;
        if (kind == 0 ? occupied : !occupied && !game_.tiles.contains(c)) candidates.push_back(c);
      }
      if (candidates.empty()) return;
      tile = candidates[param % candidates.size()];
    } else if (kind == 2) {
      const std::array<std::size_t, 4> far = {kCells, kCells + 1, std::size_t{65535} + 400, SIZE_MAX};
      tile = param < 4 ? far[param] : kCells + static_cast<std::size_t>(param) * 97;
    } else {
      const auto tiles = game_.legal_tiles();
      if (tiles.empty()) return;
      tile = tiles[param % tiles.size()];
      const auto p = game_.current_player();
      piece = game_.board.pieces[*p].size() + (param & 7);
    }

    bool refused = false;
    try {
      const auto applied = game_.apply(tile, piece);
      FUZZ_CHECK(!applied.has_value(), game_);
      FUZZ_CHECK(applied.error() == (game_.is_over() ? RuleError::NoCurrentPlayer : RuleError::InvalidMove),
                 game_);
      FUZZ_CHECK(!piece.has_value(), game_);
      refused = true;
    } catch (const InternalFailure&) {
      FUZZ_CHECK(piece.has_value(), game_);  // only the piece index of a legal tile is an invariant
      refused = true;
    }
    FUZZ_CHECK(refused, game_);
    FUZZ_CHECK(snapshot(game_) == before, game_);
    if (!game_.is_over()) check_cache();
  }

  // A copy shares the generated placements with its original: playing on the copy must
  // leave the original as it was. Every other copy replaces the original afterwards.
  void play_on_copy(std::size_t tiles) {
    const Snapshot before = snapshot(game_);
    Fuzzer copy = *this;
    for (std::size_t i = 0; i < tiles && !copy.game_.is_over(); ++i) {
      const auto b = next();
      if (!b) break;
      copy.lay_legal(static_cast<std::uint8_t>(*b % 0xE0));
    }
    FUZZ_CHECK(snapshot(game_) == before, game_);
    if (!game_.is_over()) check_cache();
    if (tiles % 2 == 0) {
      game_ = copy.game_;
      turn_hand_ = copy.turn_hand_;
      live_ = copy.live_;
      laid_ = copy.laid_;
    }
  }

  void check_all_players() const {
    for (std::size_t q = 0; q < kPlayers; ++q) {
      const TileMoves generated = get_tile_moves(game_.board, q);
      FUZZ_CHECK(
          keys_of(generated, game_.board.pieces[q], game_) == keys_of(naive_placements(game_.board, q)),
          game_);
    }
  }

  void check_finished() const {
    FUZZ_CHECK(!game_.current_player().has_value(), game_);
    FUZZ_CHECK(game_.legal_tiles().empty(), game_);
    for (std::size_t q = 0; q < kPlayers; ++q) FUZZ_CHECK(naive_placements(game_.board, q).empty(), game_);
    const Payoff payoff = game_.get_payoff();
    float sum = 0.0f;
    for (float x : payoff) sum += x;
    FUZZ_CHECK(sum > 0.999f && sum < 1.001f, game_);
  }

  Game game_;
  Hand turn_hand_;                 // the mover's hand when the turn began
  std::vector<Naive> live_;        // the oracle's placements still covering every laid tile
  std::vector<std::size_t> laid_;  // tiles laid this turn
  const std::uint8_t* data_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fuzzer fuzzer;
  fuzzer.run(data, size);
  return 0;
}

#ifdef VELMAR_FUZZ_DRIVER
// A plain driver for compilers without libFuzzer: the named input files, then
// --runs random inputs of up to --max-len bytes from --seed.
#include <fstream>
#include <iterator>
#include <random>

int main(int argc, char** argv) {
  unsigned long long runs = 1000, seed = 1;
  std::size_t max_len = 2048;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--runs" && has_value) {
      runs = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && has_value) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--max-len" && has_value) {
      max_len = std::strtoull(argv[++i], nullptr, 10);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--max-len L] [FILE...]\n", argv[0]);
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  for (const std::string& name : files) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "rules_fuzz: cannot read %s\n", name.c_str());
      return 2;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> bytes;
  for (unsigned long long r = 0; r < runs; ++r) {
    bytes.resize(max_len == 0 ? 0 : rng() % (max_len + 1));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf(
      "rules_fuzz: %zu files and %llu random inputs (seed %llu, up to %zu bytes) passed, %zu games played "
      "out\n",
      files.size(), runs, seed, max_len, Fuzzer::finished_games);
  return 0;
}
#endif
