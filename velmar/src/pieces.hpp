#pragma once
// The 21 pieces every player owns, each with its distinct orientations laid out
// on the board's 20-column grid. The catalogue is computed once and shared.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmar {

inline constexpr std::size_t kBoardWidth = 20;
inline constexpr std::size_t kPieceKinds = 21;
inline constexpr std::size_t kOrientations = 91;

// Catalogue numbers 0..20, in the order of every player's starting hand.
enum class PieceKind : std::uint8_t {
  Monomino,
  Domino,
  TrominoV,
  TrominoI,
  TetrominoI,
  TetrominoL,
  TetrominoT,
  TetrominoO,
  TetrominoS,
  PentominoI,
  PentominoL,
  PentominoN,
  PentominoP,
  PentominoV,
  PentominoW,
  PentominoZ,
  PentominoU,
  PentominoY,
  PentominoX,
  PentominoF,
  PentominoT,
};

// Rows top to bottom, each row left to right; true marks a square.
using Shape = std::vector<std::vector<bool>>;

struct PieceVariant {
  std::vector<std::size_t> offsets;  // mask positions holding a square, ascending
  std::vector<bool> mask;            // rows joined with the board's stride of 20
  Shape shape;
  std::size_t width = 0;

  explicit PieceVariant(Shape shape);
};

struct Piece {
  Shape shape;
  std::vector<PieceVariant> variants;
  std::size_t kind = 0;
  std::int32_t size = 0;

  explicit Piece(PieceKind kind);

  // A quarter turn clockwise.
  static Shape rotate(Shape shape);
  // A mirror image about the vertical axis.
  static Shape flip(Shape shape);
};

// Compact copy of one orientation for the hot paths of move generation.
struct Orientation {
  std::array<std::uint16_t, 5> offsets{};
  std::uint8_t size = 0;
  std::uint8_t width = 0;
  std::uint8_t variant = 0;  // index into the piece's variants
  PieceKind kind{};
  std::uint16_t mask_len = 0;
  std::array<std::uint64_t, 2> bits{};  // the mask, bit j = mask[j]

  // Whether the square at mask position `d` from the origin is part of the piece.
  bool covers_offset(std::size_t d) const { return d < mask_len && ((bits[d >> 6] >> (d & 63)) & 1); }
  std::span<const std::uint16_t> squares() const { return {offsets.data(), size}; }
};

class Catalogue {
 public:
  Catalogue();

  const Piece& piece(PieceKind kind) const { return pieces_[index(kind)]; }
  std::span<const Orientation> orientations(PieceKind kind) const {
    return {orientations_.data() + first_[index(kind)], pieces_[index(kind)].variants.size()};
  }
  // Catalogue-wide number 0..90 of a piece's variant.
  std::uint8_t orientation_id(PieceKind kind, std::size_t variant) const {
    return static_cast<std::uint8_t>(first_[index(kind)] + variant);
  }
  const Orientation& orientation(std::size_t id) const { return orientations_[id]; }

 private:
  static std::size_t index(PieceKind kind) { return static_cast<std::size_t>(kind); }

  std::vector<Piece> pieces_;
  std::array<Orientation, kOrientations> orientations_{};
  std::array<std::uint8_t, kPieceKinds> first_{};
};

// Built on first use; inline so that hot loops see the table without a call.
inline const Catalogue& catalogue() {
  static const Catalogue instance;
  return instance;
}

}  // namespace velmar
