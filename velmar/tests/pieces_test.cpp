#include "pieces.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include "test_util.hpp"

namespace velmar {
namespace {

using testing::shape_of;
using testing::text_of;

struct VariantCase {
  PieceKind kind;
  std::size_t index;
  const char* rows;
  std::size_t width;
  std::size_t mask_len;
  std::vector<std::size_t> offsets;
  friend std::ostream& operator<<(std::ostream& os, const VariantCase& c) {
    return os << "kind " << static_cast<int>(c.kind) << " variant " << c.index;
  }
};

class VariantTable : public ::testing::TestWithParam<VariantCase> {};

TEST_P(VariantTable, RowsWidthMaskAndOffsets) {
  const VariantCase& c = GetParam();
  const Piece piece(c.kind);
  ASSERT_LT(c.index, piece.variants.size());
  const PieceVariant& v = piece.variants[c.index];
  EXPECT_EQ(text_of(v.shape), c.rows);
  EXPECT_EQ(v.width, c.width);
  EXPECT_EQ(v.mask.size(), c.mask_len);
  EXPECT_EQ(v.offsets, c.offsets);
  for (std::size_t j = 0; j < v.mask.size(); ++j) {
    EXPECT_EQ(v.mask[j], std::count(c.offsets.begin(), c.offsets.end(), j) == 1) << "mask position " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, VariantTable,
    ::testing::Values(VariantCase{PieceKind::TetrominoL, 0, "XX/X./X.", 2, 42, {0, 1, 20, 40}},
                      VariantCase{PieceKind::TetrominoL, 1, "XXX/..X", 3, 23, {0, 1, 2, 22}},
                      VariantCase{PieceKind::TetrominoL, 2, ".X/.X/XX", 2, 42, {1, 21, 40, 41}},
                      VariantCase{PieceKind::TetrominoL, 3, "X../XXX", 3, 23, {0, 20, 21, 22}},
                      VariantCase{PieceKind::TetrominoL, 4, "XX/.X/.X", 2, 42, {0, 1, 21, 41}},
                      VariantCase{PieceKind::TetrominoL, 5, "..X/XXX", 3, 23, {2, 20, 21, 22}},
                      VariantCase{PieceKind::TetrominoL, 6, "X./X./XX", 2, 42, {0, 20, 40, 41}},
                      VariantCase{PieceKind::TetrominoL, 7, "XXX/X..", 3, 23, {0, 1, 2, 20}},
                      VariantCase{PieceKind::TetrominoS, 0, "XX./.XX", 3, 23, {0, 1, 21, 22}},
                      VariantCase{PieceKind::TetrominoS, 1, ".X/XX/X.", 2, 42, {1, 20, 21, 40}},
                      VariantCase{PieceKind::TetrominoS, 2, ".XX/XX.", 3, 23, {1, 2, 20, 21}},
                      VariantCase{PieceKind::TetrominoS, 3, "X./XX/.X", 2, 42, {0, 20, 21, 41}},
                      VariantCase{PieceKind::Monomino, 0, "X", 1, 1, {0}},
                      VariantCase{PieceKind::Domino, 0, "XX", 2, 2, {0, 1}},
                      VariantCase{PieceKind::Domino, 1, "X/X", 1, 21, {0, 20}},
                      VariantCase{PieceKind::PentominoI, 1, "X/X/X/X/X", 1, 81, {0, 20, 40, 60, 80}},
                      VariantCase{PieceKind::PentominoL, 0, "XXXX/X...", 4, 24, {0, 1, 2, 3, 20}}));

TEST(Catalogue, VariantCountsSizesAndTotals) {
  const std::array<std::size_t, kPieceKinds> counts = {1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8,
                                                       8, 8, 4, 4, 4, 4, 8, 1, 8, 4};
  const std::array<const char*, kPieceKinds> shapes = {
      "X",           "XX",          "XX/.X",   "XXX",       "XXXX",        "XX/X./X.",    "XXX/.X.",
      "XX/XX",       "XX./.XX",     "XXXXX",   "XXXX/X...", "XXX./..XX",   "XXX/XX.",     "XXX/X../X..",
      "XX./.XX/..X", "XX./.X./.XX", "XXX/X.X", "XXXX/.X..", ".X./XXX/.X.", ".X./XXX/X..", "XXX/.X./.X."};
  std::int32_t squares = 0;
  std::size_t variants = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Piece piece(static_cast<PieceKind>(k));
    SCOPED_TRACE("kind " + std::to_string(k));
    EXPECT_EQ(piece.kind, k);
    EXPECT_EQ(text_of(piece.shape), shapes[k]);
    EXPECT_EQ(piece.variants.size(), counts[k]);
    EXPECT_EQ(piece.variants.front().shape, piece.shape);
    for (std::size_t v = 0; v < piece.variants.size(); ++v) {
      EXPECT_EQ(piece.variants[v].offsets.size(), static_cast<std::size_t>(piece.size));
      for (std::size_t w = 0; w < v; ++w) EXPECT_NE(piece.variants[v].mask, piece.variants[w].mask);
    }
    squares += piece.size;
    variants += piece.variants.size();
  }
  EXPECT_EQ(squares, 89);
  EXPECT_EQ(variants, 91u);
  EXPECT_EQ(variants, kOrientations);
}

// The surviving candidates of the eight (four turns, then four turns of the mirror
// of the unturned shape), in list order, for each symmetry class.
TEST(Catalogue, OrientationOrder) {
  struct Group {
    std::vector<PieceKind> kinds;
    std::vector<int> candidates;  // 0..3 turns, 4..7 mirror turns
  };
  using K = PieceKind;
  const std::vector<Group> groups = {
      {{K::TetrominoL, K::PentominoL, K::PentominoN, K::PentominoP, K::PentominoY, K::PentominoF},
       {0, 1, 2, 3, 4, 5, 6, 7}},
      {{K::TrominoV, K::TetrominoT, K::PentominoV, K::PentominoW, K::PentominoU, K::PentominoT},
       {0, 1, 2, 3}},
      {{K::TetrominoS, K::PentominoZ}, {0, 1, 4, 5}},
      {{K::Domino, K::TrominoI, K::TetrominoI, K::PentominoI}, {0, 1}},
      {{K::Monomino, K::TetrominoO, K::PentominoX}, {0}},
  };
  for (const Group& g : groups) {
    for (PieceKind kind : g.kinds) {
      const Piece piece(kind);
      std::vector<Shape> candidates;
      Shape s = piece.shape;
      for (int i = 0; i < 4; ++i) candidates.push_back(s), s = Piece::rotate(s);
      s = Piece::flip(piece.shape);
      for (int i = 0; i < 4; ++i) candidates.push_back(s), s = Piece::rotate(s);
      ASSERT_EQ(piece.variants.size(), g.candidates.size()) << "kind " << piece.kind;
      for (std::size_t v = 0; v < g.candidates.size(); ++v) {
        EXPECT_EQ(text_of(piece.variants[v].shape), text_of(candidates[g.candidates[v]]))
            << "kind " << piece.kind << " variant " << v;
      }
    }
  }
}

TEST(Catalogue, RotateAndFlip) {
  EXPECT_EQ(text_of(Piece::rotate(shape_of("XX/.X"))), ".X/XX");
  EXPECT_EQ(text_of(Piece::flip(shape_of("XX/.X"))), "XX/X.");
  EXPECT_EQ(text_of(Piece::rotate(shape_of("XXX/X.."))), "XX/.X/.X");
  EXPECT_EQ(text_of(Piece::rotate(shape_of("XXXX/.X.."))), ".X/XX/.X/.X");
  EXPECT_EQ(text_of(Piece::flip(shape_of("XXXX/.X.."))), "XXXX/..X.");
  EXPECT_EQ(text_of(Piece::rotate(shape_of("XXX"))), "X/X/X");
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const Shape s = Piece(static_cast<PieceKind>(k)).shape;
    EXPECT_EQ(Piece::rotate(Piece::rotate(Piece::rotate(Piece::rotate(s)))), s);
    EXPECT_EQ(Piece::flip(Piece::flip(s)), s);
  }
}

TEST(Catalogue, MalformedShapesFail) {
  EXPECT_INTERNAL_FAILURE(Piece::rotate(Shape{}), "index out of bounds: the len is 0 but the index is 0");
  EXPECT_INTERNAL_FAILURE(Piece::rotate(Shape{{true, true}, {true}}),
                          "index out of bounds: the len is 1 but the index is 1");
  EXPECT_INTERNAL_FAILURE(PieceVariant(Shape{}), "index out of bounds: the len is 0 but the index is 0");
}

// The compact per-orientation table used by move generation must say exactly what
// the piece variants say.
TEST(Catalogue, CompactTableAgreesWithVariants) {
  const Catalogue& cat = catalogue();
  std::size_t id = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const auto kind = static_cast<PieceKind>(k);
    const Piece fresh(kind);
    EXPECT_EQ(cat.piece(kind).shape, fresh.shape);
    ASSERT_EQ(cat.piece(kind).variants.size(), fresh.variants.size());
    ASSERT_EQ(cat.orientations(kind).size(), fresh.variants.size());
    for (std::size_t v = 0; v < fresh.variants.size(); ++v, ++id) {
      SCOPED_TRACE("kind " + std::to_string(k) + " variant " + std::to_string(v));
      const PieceVariant& pv = fresh.variants[v];
      ASSERT_EQ(cat.orientation_id(kind, v), id);
      const Orientation& o = cat.orientation(id);
      EXPECT_EQ(&o, &cat.orientations(kind)[v]);
      EXPECT_EQ(o.kind, kind);
      EXPECT_EQ(o.variant, v);
      EXPECT_EQ(o.width, pv.width);
      EXPECT_EQ(o.mask_len, pv.mask.size());
      EXPECT_EQ(std::vector<std::size_t>(o.squares().begin(), o.squares().end()), pv.offsets);
      for (std::size_t d = 0; d < pv.mask.size() + 30; ++d) {
        EXPECT_EQ(o.covers_offset(d), d < pv.mask.size() && pv.mask[d]) << "offset " << d;
      }
    }
  }
  EXPECT_EQ(id, kOrientations);
}

}  // namespace
}  // namespace velmar
