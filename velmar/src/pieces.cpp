#include "pieces.hpp"

#include <algorithm>
#include <string_view>

#include "failure.hpp"

namespace velmar {
namespace {

// Rows separated by '/', 'X' a square.
constexpr std::array<std::string_view, kPieceKinds> kShapes = {
    "X",           "XX",          "XX/.X",   "XXX",       "XXXX",        "XX/X./X.",    "XXX/.X.",
    "XX/XX",       "XX./.XX",     "XXXXX",   "XXXX/X...", "XXX./..XX",   "XXX/XX.",     "XXX/X../X..",
    "XX./.XX/..X", "XX./.X./.XX", "XXX/X.X", "XXXX/.X..", ".X./XXX/.X.", ".X./XXX/X..", "XXX/.X./.X.",
};

Shape parse_shape(std::string_view text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == 'X');
    }
  }
  return shape;
}

}  // namespace

PieceVariant::PieceVariant(Shape shape_in) : shape(std::move(shape_in)) {
  check_index(0, shape.size());
  width = shape[0].size();
  for (std::size_t r = 0; r < shape.size(); ++r) {
    mask.insert(mask.end(), shape[r].begin(), shape[r].end());
    if (r + 1 < shape.size()) mask.resize(mask.size() + (kBoardWidth - shape[r].size()), false);
  }
  for (std::size_t j = 0; j < mask.size(); ++j) {
    if (mask[j]) offsets.push_back(j);
  }
}

Shape Piece::rotate(Shape shape) {
  check_index(0, shape.size());
  const std::size_t h = shape.size();
  const std::size_t w = shape[0].size();
  Shape out(w, std::vector<bool>(h));
  for (std::size_t c = 0; c < w; ++c) {
    for (std::size_t j = 0; j < h; ++j) {
      const auto& row = shape[h - 1 - j];
      check_index(c, row.size());
      out[c][j] = row[c];
    }
  }
  return out;
}

Shape Piece::flip(Shape shape) {
  for (auto& row : shape) std::reverse(row.begin(), row.end());
  return shape;
}

Piece::Piece(PieceKind kind_in)
    : shape(parse_shape(kShapes[static_cast<std::size_t>(kind_in)])),
      kind(static_cast<std::size_t>(kind_in)) {
  for (const auto& row : shape) size += static_cast<std::int32_t>(std::count(row.begin(), row.end(), true));

  auto add_turns = [this](Shape current) {
    for (int turn = 0; turn < 4; ++turn) {
      PieceVariant candidate(current);
      const bool seen = std::any_of(variants.begin(), variants.end(),
                                    [&](const PieceVariant& v) { return v.mask == candidate.mask; });
      if (!seen) variants.push_back(std::move(candidate));
      current = rotate(std::move(current));
    }
  };
  add_turns(shape);
  add_turns(flip(shape));
}

Catalogue::Catalogue() {
  std::size_t next = 0;
  for (std::size_t k = 0; k < kPieceKinds; ++k) {
    const auto kind = static_cast<PieceKind>(k);
    pieces_.emplace_back(kind);
    first_[k] = static_cast<std::uint8_t>(next);
    const Piece& piece = pieces_.back();
    for (std::size_t v = 0; v < piece.variants.size(); ++v) {
      const PieceVariant& variant = piece.variants[v];
      Orientation& o = orientations_.at(next++);
      o.size = static_cast<std::uint8_t>(variant.offsets.size());
      o.width = static_cast<std::uint8_t>(variant.width);
      o.variant = static_cast<std::uint8_t>(v);
      o.kind = kind;
      o.mask_len = static_cast<std::uint16_t>(variant.mask.size());
      for (std::size_t i = 0; i < variant.offsets.size(); ++i) {
        const std::size_t d = variant.offsets[i];
        o.offsets.at(i) = static_cast<std::uint16_t>(d);
        o.bits.at(d >> 6) |= std::uint64_t{1} << (d & 63);
      }
    }
  }
  check_index(next - 1, kOrientations);
}

}  // namespace velmar
