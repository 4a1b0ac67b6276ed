"""The ``show`` command: pictures of a recorded game.

Draws the board of one game of a shard, after all its tiles or after the first k, as a PNG:
one colour per player, the start corners marked, the last tile laid outlined. With ``--gif`` it
also writes the game as an animation (matplotlib's Pillow writer), one frame every ``--every``
tiles plus the final position.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import BOARD_WIDTH as BOARD
from velmar_pipeline.records import shards as records
from velmar_pipeline.records.atomic import check_writable_file, readable_as_usual
from velmar_pipeline.records.shards import GameRecord

COLOURS = np.array([
    (0.93, 0.93, 0.91),  # empty
    (0.16, 0.40, 0.80),  # player 0
    (0.95, 0.76, 0.10),  # player 1
    (0.84, 0.19, 0.17),  # player 2
    (0.20, 0.62, 0.27),  # player 3
])
START_CORNERS = velmar_rules.START_CORNERS
FIGURE_INCHES = (6.0, 6.6)
DPI = 100
MIN_FPS, MAX_FPS = 0.01, 100.0


def board_owners(game: GameRecord, moves: int | None = None) -> np.ndarray:
    """(20, 20) int: 0 for an empty cell, player + 1 for a laid square, after ``moves`` tiles (all when None)."""
    history = game.history()
    if moves is not None:
        if not 0 <= moves <= len(history):
            raise ValueError(f"the game has {len(history)} tiles; cannot show the position after {moves}")
        history = history[:moves]
    rows = velmar_rules.replay(history).board_string().split()  # the owner's digit, or '.'
    return np.array([[0 if c == "." else int(c) + 1 for c in row] for row in rows], np.int64)


def _title(game: GameRecord, index: int, moves: int) -> str:
    state = velmar_rules.replay(game.history()[:moves])
    scores = ", ".join(str(s) for s in state.score())
    if moves == len(game):
        payoff = ", ".join(f"{p:g}" for p in game.payoff)
        return f"game {index}: final position, {moves} tiles\nscores [{scores}], payoff [{payoff}]"
    return f"game {index}: after {moves} of {len(game)} tiles\nscores [{scores}], player {state.current_player} to move"


def _figure():
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure, axis = plt.subplots(figsize=FIGURE_INCHES, dpi=DPI)
    figure.subplots_adjust(left=0.04, right=0.96, bottom=0.03, top=0.88)
    return plt, figure, axis


def _draw(axis, game: GameRecord, index: int, moves: int) -> None:
    from matplotlib.patches import Rectangle

    axis.clear()
    owners = board_owners(game, moves)
    axis.imshow(COLOURS[owners], interpolation="nearest", extent=(-0.5, BOARD - 0.5, BOARD - 0.5, -0.5))
    axis.set_xticks(np.arange(-0.5, BOARD, 1), minor=True)
    axis.set_yticks(np.arange(-0.5, BOARD, 1), minor=True)
    axis.grid(which="minor", color="white", linewidth=0.8)
    axis.tick_params(which="both", length=0, labelbottom=False, labelleft=False)
    for player, corner in enumerate(START_CORNERS):
        row, column = divmod(corner, BOARD)
        axis.plot(column, row, marker="o", markersize=4, color=COLOURS[player + 1] * 0.6, alpha=0.8)
    if moves > 0:
        row, column = divmod(int(game.moves[moves - 1][1]), BOARD)
        axis.add_patch(Rectangle((column - 0.5, row - 0.5), 1, 1, fill=False, edgecolor="black", linewidth=2))
    axis.set_title(_title(game, index, moves), fontsize=10)


def check_game(game: GameRecord) -> None:
    """ValueError naming the first move that breaks the rules; nothing is drawn for such a game."""
    velmar_rules.replay(game.history())


def _written_whole(path: str | Path, suffix: str, write) -> Path:
    """Calls ``write(temporary_path)`` and renames the result to ``path``; nothing is left on failure."""
    path = Path(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{path.stem[:64]}-", suffix=suffix, dir=path.parent)
    os.close(fd)
    try:
        write(temporary)
        readable_as_usual(temporary)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    return path


def draw_png(game: GameRecord, path: str | Path, index: int = 0, moves: int | None = None) -> Path:
    """The board after ``moves`` tiles (all when None) as a PNG of FIGURE_INCHES x DPI pixels."""
    moves = len(game) if moves is None else moves
    board_owners(game, moves)  # checks ``moves`` before anything is drawn
    plt, figure, axis = _figure()
    try:
        _draw(axis, game, index, moves)
        return _written_whole(path, ".png", lambda target: figure.savefig(target, dpi=DPI, format="png"))
    finally:
        plt.close(figure)


def draw_gif(game: GameRecord, path: str | Path, index: int = 0, every: int = 4, fps: float = 8.0) -> Path:
    """The whole game as an animated GIF: a frame every ``every`` tiles and the final position."""
    from matplotlib.animation import PillowWriter

    if every < 1:
        raise ValueError(f"--every must be >= 1, got {every}")
    check_fps(fps)
    check_game(game)
    frames = list(range(0, len(game), every)) + [len(game)]
    plt, figure, axis = _figure()

    def write(target: str) -> None:
        writer = PillowWriter(fps=fps)
        with writer.saving(figure, target, DPI):
            for moves in frames:
                _draw(axis, game, index, moves)
                writer.grab_frame()

    try:
        return _written_whole(path, ".gif", write)
    finally:
        plt.close(figure)


def check_fps(fps: float) -> None:
    """A GIF keeps a frame's duration in hundredths of a second, 1 to 65535 of them."""
    if not (math.isfinite(fps) and MIN_FPS <= fps <= MAX_FPS):
        raise ValueError(f"--fps must be a number in [{MIN_FPS:g}, {MAX_FPS:g}] (frames per second), got {fps:g}")


def load_game(shard: str | Path, index: int) -> GameRecord:
    if Path(shard).is_dir():
        found = records.shard_paths(shard)
        hint = f"; e.g. {found[0]}" if found else " and holds no shards"
        raise ValueError(f"{shard} is a folder: show draws one game of one shard file{hint}")
    games = records.read_shard(shard)
    if not 0 <= index < len(games):
        raise ValueError(f"{shard} holds {len(games)} games; there is no game {index}")
    return games[index]


def add_show(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "show",
        help="draw a recorded game as a PNG (and optionally an animated GIF)",
        description="Draws one game of a record shard: the final position, or the position after --move tiles.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("shard", help="a shard file (shard-NNNNN.npz)")
    parser.add_argument("--game", type=int, default=0, help="index of the game in the shard")
    parser.add_argument("--move", type=int, default=None, help="show the position after this many tiles (default: all)")
    parser.add_argument("--out", default=None, help="PNG file (default: game-G.png, or game-G-move-K.png)")
    parser.add_argument("--gif", default=None, help="also write the game as an animated GIF to this file")
    parser.add_argument("--every", type=int, default=4, help="tiles per GIF frame")
    parser.add_argument("--fps", type=float, default=8.0, help="GIF frames per second")
    parser.set_defaults(handler=_run_show)


def _run_show(args: argparse.Namespace) -> int:
    try:
        check_fps(args.fps)
        if args.every < 1:
            raise ValueError(f"--every must be >= 1, got {args.every}")
        name = f"game-{args.game}.png" if args.move is None else f"game-{args.game}-move-{args.move}.png"
        out = Path(name) if args.out is None else Path(args.out) / name if os.path.isdir(args.out) else args.out
        check_writable_file(out, "--out")  # both targets before anything is drawn
        if args.gif is not None:
            check_writable_file(args.gif, "--gif")
        game = load_game(args.shard, args.game)
        check_game(game)
        out = Path(out)
        draw_png(game, out, args.game, args.move)
        print(f"wrote {out}")
        if args.gif is not None:
            draw_gif(game, args.gif, args.game, args.every, args.fps)
            print(f"wrote {args.gif}")
    except (ValueError, OSError) as error:
        print(f"velmar-pipeline show: error: {error}", file=sys.stderr)
        return 2
    return 0
