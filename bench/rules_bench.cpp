// Costs of the rules that decide self-play throughput: a whole random game,
// copying a mid-game state, move generation and a new game.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "game.hpp"

namespace {

using velmar::Game;

std::size_t random_tile(const Game& game, std::mt19937& rng) {
  const auto tiles = game.legal_tiles();
  return tiles[std::uniform_int_distribution<std::size_t>(0, tiles.size() - 1)(rng)];
}

std::size_t pieces_laid(const Game& game) {
  std::size_t laid = 0;
  for (const auto& hand : game.board.pieces) laid += velmar::kPieceKinds - hand.size();
  return laid;
}

// Positions right after the 40th completed piece: the next player's full cache is fresh.
std::vector<Game> mid_games(std::size_t count) {
  std::vector<Game> games;
  std::mt19937 rng(7);
  while (games.size() < count) {
    Game game = Game::reset();
    while (!game.is_over() && pieces_laid(game) < 40) game.apply(random_tile(game, rng));
    if (!game.is_over()) games.push_back(game);
  }
  return games;
}

void BM_RandomGame(benchmark::State& state) {
  std::mt19937 rng(42);
  std::size_t tiles = 0;
  for (auto _ : state) {
    Game game = Game::reset();
    while (!game.is_over()) game.apply(random_tile(game, rng));
    tiles += game.history.size();
    benchmark::DoNotOptimize(game);
  }
  state.counters["tiles/game"] =
      benchmark::Counter(static_cast<double>(tiles), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RandomGame)->Unit(benchmark::kMicrosecond);

void BM_CopyMidGame(benchmark::State& state) {
  const auto games = mid_games(64);
  std::size_t i = 0;
  for (auto _ : state) {
    Game copy = games[i++ & 63];
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CopyMidGame);

void BM_GetTileMovesMidGame(benchmark::State& state) {
  const auto games = mid_games(64);
  std::size_t i = 0;
  for (auto _ : state) {
    const Game& game = games[i++ & 63];
    auto moves = velmar::get_tile_moves(game.board, *game.current_player());
    benchmark::DoNotOptimize(moves);
  }
}
BENCHMARK(BM_GetTileMovesMidGame);

void BM_Reset(benchmark::State& state) {
  for (auto _ : state) {
    Game game = Game::reset();
    benchmark::DoNotOptimize(game);
  }
}
BENCHMARK(BM_Reset);

}  // namespace

BENCHMARK_MAIN();
