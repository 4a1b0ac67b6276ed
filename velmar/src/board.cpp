#include "board.hpp"

#include "failure.hpp"

namespace velmar {
namespace {

constexpr std::int32_t kAllSquares = 89;
constexpr std::int32_t kAllPlacedPenalty = 74;
constexpr std::int32_t kMonominoLastPenalty = 69;

}  // namespace

Board::Board() {
  Hand full;
  for (std::size_t k = 0; k < kPieceKinds; ++k) full.push_back(static_cast<PieceKind>(k));
  pieces.fill(full);
  for (std::size_t p = 0; p < kPlayers; ++p) corners[p].insert(kStartCorners[p]);
}

void Board::place_tile(std::size_t cell, std::size_t player) {
  check_index(cell, kCells);
  check_index(player, kPlayers);
  const std::uint8_t flag = closed_flag(player);
  const std::size_t column = cell % kBoardWidth;

  cells[cell] = static_cast<std::uint8_t>(0xF0 | (player + 1));
  for (auto& set : corners) set.erase(cell);

  CellSet& own = corners[player];
  auto close_edge = [&](std::size_t n) {
    cells[n] |= flag;
    own.erase(n);
  };
  if (column != 0) close_edge(cell - 1);
  if (column != kBoardWidth - 1) close_edge(cell + 1);
  if (cell >= kBoardWidth) close_edge(cell - kBoardWidth);
  if (cell + kBoardWidth < kCells) close_edge(cell + kBoardWidth);

  auto open_diagonal = [&](std::size_t d) {
    if ((cells[d] & flag) == 0) own.insert(d);
  };
  const bool down = cell + kBoardWidth < kCells;
  const bool up = cell >= kBoardWidth;
  const bool right = column != kBoardWidth - 1;
  const bool left = column != 0;
  if (down && right) open_diagonal(cell + 21);
  if (up && left) open_diagonal(cell - 21);
  if (up && right) open_diagonal(cell - 19);
  if (down && left) open_diagonal(cell + 19);
}

bool Board::can_place(const PieceVariant& variant, std::size_t origin, std::size_t player) const {
  check_index(player, kPlayers);
  if (origin + variant.mask.size() > kCells) return false;
  if (origin % kBoardWidth + variant.width > kBoardWidth) return false;
  const std::uint8_t flag = closed_flag(player);
  for (std::size_t j = 0; j < variant.mask.size(); ++j) {
    if (variant.mask[j] && (cells[origin + j] & flag) != 0) return false;
  }
  for (std::size_t o : variant.offsets) {
    if (corners[player].contains(origin + o)) return true;
  }
  return false;
}

std::vector<Piece> Board::get_pieces(std::size_t player) const {
  check_index(player, kPlayers);
  std::vector<Piece> out;
  for (PieceKind kind : pieces[player]) out.push_back(catalogue().piece(kind));
  return out;
}

void Board::remove_piece(std::size_t player, std::size_t index) {
  check_index(player, kPlayers);
  pieces[player].erase_at(index);
}

Scores Board::get_scores(const std::array<std::int32_t, kPlayers>& last_piece_sizes) const {
  std::array<std::int32_t, kPlayers> count{};
  for (std::uint8_t byte : cells) {
    const std::size_t owner = byte & kOwnerBits;
    if (owner == 0) continue;
    check_index(owner - 1, kPlayers);
    ++count[owner - 1];
  }
  Scores scores{};
  for (std::size_t p = 0; p < kPlayers; ++p) {
    if (!pieces[p].empty()) {
      scores[p] = count[p] - kAllSquares;
    } else if (last_piece_sizes[p] == 1) {
      scores[p] = count[p] - kMonominoLastPenalty;
    } else {
      scores[p] = count[p] - kAllPlacedPenalty;
    }
  }
  return scores;
}

std::string Board::to_string() const {
  std::string out;
  out.reserve(kCells + kBoardWidth);
  for (std::size_t cell = 0; cell < kCells; ++cell) {
    const std::size_t owner = owner_plus_one(cell);
    out.push_back(owner == 0 ? '.' : static_cast<char>('0' + owner - 1));
    if (cell % kBoardWidth == kBoardWidth - 1) out.push_back('\n');
  }
  return out;
}

}  // namespace velmar
