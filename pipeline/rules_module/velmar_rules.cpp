// velmar_rules: the game rules for Python. Training, pictures and tests use it to
// replay game records, check them and encode positions the way the engine does.
//
// Rule violations ("Invalid move", "No current player") become ValueError; a
// violated invariant inside the library (velmar::InternalFailure) becomes
// velmar_rules.InternalFailure, a RuntimeError. No C++ exception leaves the module.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encoding.hpp"
#include "failure.hpp"
#include "game.hpp"

namespace py = pybind11;

namespace {

using velmar::Game;

constexpr const char* kNoCurrentPlayer = "No current player";

// An integer-like Python object (int, numpy integer, anything with __index__) as a
// long long; values out of that range come back as LLONG_MIN / LLONG_MAX, which
// are never legal cells or players.
long long as_integer(py::handle value, const char* what) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be an integer, not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))));
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
  return result;
}

// Lays one tile; returns the rule error's text, or nothing when the tile was laid.
std::optional<std::string> try_apply(Game& game, long long tile) {
  if (game.is_over()) return std::string(kNoCurrentPlayer);
  // Anything off the board is simply not a legal tile.
  if (tile < 0 || tile >= static_cast<long long>(velmar::kCells)) return std::string("Invalid move");
  const auto result = game.apply(static_cast<std::size_t>(tile));
  if (!result) return std::string(velmar::message(result.error()));
  return std::nullopt;
}

void apply(Game& game, py::handle tile) {
  if (auto error = try_apply(game, as_integer(tile, "tile"))) throw py::value_error(*error);
}

py::object current_player(const Game& game) {
  const auto p = game.current_player();
  if (!p) return py::none();
  return py::int_(*p);
}

py::list legal_tiles(const Game& game) {
  py::list out;
  game.tiles.keys().for_each([&](std::size_t cell) { out.append(cell); });
  return out;
}

py::list history(const Game& game) {
  py::list out;
  for (const velmar::Move& m : game.history) out.append(py::make_tuple(int{m.player}, int{m.cell}));
  return out;
}

py::list players(const Game& game) {
  py::list out;
  for (std::uint8_t p : game.players) out.append(int{p});
  return out;
}

py::bytes cells(const Game& game) {
  return py::bytes(reinterpret_cast<const char*>(game.board.cells.data()), game.board.cells.size());
}

py::array_t<float> encode(const Game& game) {
  if (game.is_over()) throw py::value_error(kNoCurrentPlayer);
  const velmar::Planes planes = velmar::get_representation(game);
  py::array_t<float> out(
      {static_cast<py::ssize_t>(velmar::kPlanes), static_cast<py::ssize_t>(velmar::kCells)});
  std::copy(planes.begin(), planes.end(), out.mutable_data());
  return out;
}

// Every child of the position (the game after each legal tile of the player to move) at once:
// (tiles, planes, players, payoffs), row i describing the child after tiles[i]. A child whose
// game is over has zero planes and player -1; a child still in play has zero payoffs.
py::tuple encode_children(const Game& game) {
  if (game.is_over()) throw py::value_error(kNoCurrentPlayer);
  const std::vector<std::size_t> tiles = game.legal_tiles();
  const auto n = static_cast<py::ssize_t>(tiles.size());
  constexpr auto kPlaneCount = static_cast<py::ssize_t>(velmar::kPlanes);
  constexpr auto kCellCount = static_cast<py::ssize_t>(velmar::kCells);
  constexpr auto kPlayerCount = static_cast<py::ssize_t>(velmar::kPlayers);
  py::array_t<std::int32_t> tiles_out(n);
  py::array_t<float> planes_out({n, kPlaneCount, kCellCount});
  py::array_t<std::int8_t> players_out(n);
  py::array_t<float> payoffs_out({n, kPlayerCount});
  std::int32_t* tile_row = tiles_out.mutable_data();
  float* plane_row = planes_out.mutable_data();
  std::int8_t* player_row = players_out.mutable_data();
  float* payoff_row = payoffs_out.mutable_data();
  for (const std::size_t tile : tiles) {
    Game child(game);
    if (!child.apply(tile)) throw velmar::InternalFailure("legal tile " + std::to_string(tile) + " rejected");
    *tile_row++ = static_cast<std::int32_t>(tile);
    if (const auto p = child.current_player()) {
      const velmar::Planes planes = velmar::get_representation(child);
      plane_row = std::copy(planes.begin(), planes.end(), plane_row);
      *player_row++ = static_cast<std::int8_t>(*p);
      payoff_row = std::fill_n(payoff_row, velmar::kPlayers, 0.0f);
    } else {
      plane_row = std::fill_n(plane_row, velmar::kPlanes * velmar::kCells, 0.0f);
      *player_row++ = -1;
      const velmar::Payoff payoff = child.get_payoff();
      payoff_row = std::copy(payoff.begin(), payoff.end(), payoff_row);
    }
  }
  return py::make_tuple(std::move(tiles_out), std::move(planes_out), std::move(players_out),
                        std::move(payoffs_out));
}

std::vector<int> score(const Game& game) {
  const auto s = game.get_score();
  return {s.begin(), s.end()};
}

std::vector<float> payoff(const Game& game) {
  const auto p = game.get_payoff();
  return {p.begin(), p.end()};
}

std::string board_string(const Game& game) { return game.board.to_string(); }

std::string summary(const Game& game) {
  std::string out = "<velmar_rules.Game: " + std::to_string(game.history.size()) + " tiles laid, ";
  if (const auto p = game.current_player()) {
    out += "player " + std::to_string(*p) + " to move";
  } else {
    out += "game over";
  }
  out += ", scores [";
  const auto s = game.get_score();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(s[i]);
  }
  return out + "]>";
}

Game replay(py::handle moves) {
  Game game = Game::reset();
  std::size_t index = 0;
  for (py::handle entry : py::iter(moves)) {
    const std::string where = "move " + std::to_string(index);
    if (!PySequence_Check(entry.ptr()) || PySequence_Size(entry.ptr()) != 2) {
      PyErr_Clear();
      throw py::type_error(where + " must be a (player, cell) pair");
    }
    const auto pair = py::reinterpret_borrow<py::sequence>(entry);
    const long long player = as_integer(pair[0], (where + ": player").c_str());
    const long long cell = as_integer(pair[1], (where + ": cell").c_str());
    const std::string move =
        where + " (player " + std::to_string(player) + ", cell " + std::to_string(cell) + ")";
    const auto mover = game.current_player();
    if (mover && static_cast<long long>(*mover) != player) {
      throw py::value_error(move + " is illegal: player " + std::to_string(*mover) + " is to move");
    }
    if (auto error = try_apply(game, cell)) throw py::value_error(move + " is illegal: " + *error);
    ++index;
  }
  return game;
}

constexpr const char* kModuleDoc = R"doc(The game rules for Python.

A ``Game`` is one four-player game on the 20 x 20 board, played one tile (one
square of the player to move, named by its cell 0..399, row * 20 + column) at a
time. ``replay`` rebuilds a game from a recorded list of (player, cell) moves.

Illegal moves raise ValueError ("Invalid move", "No current player"); a broken
invariant inside the rules library raises InternalFailure, a RuntimeError.
)doc";

}  // namespace

PYBIND11_MODULE(velmar_rules, m) {
  m.doc() = kModuleDoc;

  py::register_exception<velmar::InternalFailure>(m, "InternalFailure", PyExc_RuntimeError);
  m.attr("InternalFailure").attr("__doc__") =
      "A violated invariant inside the C++ rules library (always a bug).";

  m.attr("CELLS") = velmar::kCells;
  m.attr("BOARD_WIDTH") = velmar::kBoardWidth;
  m.attr("PLAYERS") = velmar::kPlayers;
  m.attr("PLANES") = velmar::kPlanes;
  m.attr("START_CORNERS") = py::make_tuple(velmar::kStartCorners[0], velmar::kStartCorners[1],
                                           velmar::kStartCorners[2], velmar::kStartCorners[3]);

  py::class_<Game>(m, "Game", R"doc(The state of one game.

``Game()`` is a new game with player 0 to move. Copies (``copy()``,
``copy.copy``, ``copy.deepcopy``) are independent of the original; pickling
stores the move history and replays it.
)doc")
      .def(py::init([] { return Game::reset(); }),
           "A new game: empty board, every piece in hand, player 0 to move.")
      .def("apply", &apply, py::arg("tile"),
           R"doc(Lays one square of the player to move on cell ``tile``.

When the square completes a piece the turn passes on; players that cannot move
drop out. Raises ValueError("Invalid move") when ``tile`` is not among
``legal_tiles()`` and ValueError("No current player") when the game is over; in
both cases the game is left unchanged.
)doc")
      .def("legal_tiles", &legal_tiles, "The cells the player to move may lay a square on, ascending.")
      .def_property_readonly("current_player", &current_player,
                             "The player to move (0..3), or None once the game is over.")
      .def_property_readonly("is_over", &Game::is_over, "True once no player can move.")
      .def_property_readonly("history", &history,
                             "The tiles laid so far, as a list of (player, cell) tuples.")
      .def_property_readonly("players", &players, "The players still in the game, in turn order.")
      .def_property_readonly("cells", &cells,
                             R"doc(The 400 cell bytes, row by row.

Low four bits: owner + 1 (0 when empty); bit 4 + p set: the cell is closed to
player p (occupied, or edge-adjacent to one of p's squares).
)doc")
      .def("encode", &encode,
           R"doc(The position as the network sees it: a float32 array of shape (5, 400).

Planes 0..3 mark squares by owner relative to the player to move p (plane 1 is
p, plane 0 the player before p, planes 2 and 3 the two after); plane 4 marks
the legal tiles. Raises ValueError("No current player") once the game is over.
)doc")
      .def("encode_children", &encode_children,
           R"doc(Every child position at once: the game after each legal tile of the player to move.

Returns ``(tiles, planes, players, payoffs)``, row i for the child after
``tiles[i]``: ``tiles`` the legal tiles ascending (int32, shape (n,));
``planes`` the child's ``encode()`` (float32, shape (n, 5, 400)), zeros when
the child's game is over; ``players`` the player to move in the child (int8,
shape (n,)), -1 when its game is over; ``payoffs`` the child's ``payoff()``
(float32, shape (n, 4)) when its game is over, zeros otherwise. Raises
ValueError("No current player") once the game is over.
)doc")
      .def("score", &score, "The four players' scores (a list of 4 ints, indexed by player).")
      .def(
          "payoff", &payoff,
          "The four players' payoffs (a list of 4 floats): the leaders of the score share 1, the rest get 0.")
      .def(
          "copy", [](const Game& g) { return Game(g); }, "An independent copy of this game.")
      .def(
          "__copy__", [](const Game& g) { return Game(g); }, "An independent copy of this game.")
      .def(
          "__deepcopy__", [](const Game& g, py::handle) { return Game(g); }, py::arg("memo"),
          "An independent copy of this game.")
      .def("board_string", &board_string,
           "The board as 20 lines of 20 characters: the owner's digit, or '.' for an empty cell.")
      .def("__repr__", &summary)
      .def("__str__", [](const Game& g) { return summary(g) + "\n" + board_string(g); })
      .def(py::pickle([](const Game& g) { return py::make_tuple(history(g)); },
                      [](const py::tuple& state) {
                        if (state.size() != 1) throw py::value_error("invalid velmar_rules.Game state");
                        return replay(state[0]);
                      }));

  m.def("replay", &replay, py::arg("history"),
        R"doc(Rebuilds a game from its moves, an iterable of (player, cell) pairs.

Accepts lists of tuples as well as an (n, 2) integer numpy array. Raises
ValueError naming the first illegal move, for example
"move 17 (player 2, cell 123) is illegal: Invalid move", when the player is not
the one to move or the cell is not a legal tile, and TypeError when an entry is
not a pair of integers.
)doc");
}
