"""The ``show`` command: pictures of a recorded game.

Draws the board of one game of a shard, after all its tiles or after the first k, as a PNG:
one colour per player, every piece outlined, the last piece laid outlined boldly, the start
corners marked, and a legend giving each colour's player, score and payoff. With ``--gif`` it
also writes the game as an animation (matplotlib's Pillow writer), one frame every ``--every``
tiles plus the final position. With ``--html`` it writes a page to step through the game and see
each search's visit shares (``show.page``), and with ``--evaluator`` what a network
thought of every position.

A record holds tiles, not pieces: a player lays a piece square by square. The replay tells where
each piece ends (``piece_numbers``): the turn passes to another player once a piece is complete;
a player who moves alone at the end keeps the turn, and there a new piece shows in the legal
tiles, none of which touches the player's own squares along an edge, while a piece in progress
always has a legal tile next to a square just laid.
"""

from __future__ import annotations

import argparse
import math
import os
from pathlib import Path

import numpy as np

import velmar_rules
from velmar_rules import BOARD_WIDTH as BOARD
from velmar_rules import PLAYERS
from velmar_pipeline.errors import require as require_packages
from velmar_pipeline.show import page
from velmar_pipeline.records import positions
from velmar_pipeline.records import shards as records
from velmar_pipeline.records.atomic import atomic_file, atomic_path, check_writable_file
from velmar_pipeline.records.shards import GameRecord
from velmar_pipeline.errors import bad_input, one_line

COLOURS = np.array([
    (0.93, 0.93, 0.91),  # empty
    (0.16, 0.40, 0.80),  # player 0
    (0.95, 0.76, 0.10),  # player 1
    (0.84, 0.19, 0.17),  # player 2
    (0.20, 0.62, 0.27),  # player 3
])
START_CORNERS = velmar_rules.START_CORNERS
FIGURE_INCHES = (6.0, 7.2)
DPI = 100
# The board's axes in figure fractions (left, bottom, width, height): a square, the title above,
# the legend below.
BOARD_BOX = (0.04, 0.16, 0.92, 0.92 * FIGURE_INCHES[0] / FIGURE_INCHES[1])
PIECE_EDGE = dict(color=(0.25, 0.25, 0.25), linewidth=1.2)
LAST_PIECE_EDGE = dict(color="black", linewidth=3.2)
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


def closed_flag(player: int) -> int:
    """The bit of a cell byte (``velmar_rules.Game.cells``) that closes the cell to ``player``."""
    return 0x10 << player


def piece_numbers(history) -> list[int]:
    """For each tile of ``history`` ((player, cell) pairs), the number of the piece it belongs to:
    0 for the first piece laid in the game, 1 for the next, and so on (see the module docstring)."""
    game = velmar_rules.Game()
    numbers = []
    piece = 0
    for player, cell in history:
        game.apply(int(cell))
        numbers.append(piece)
        if game.current_player != player or not _piece_in_progress(game, player):
            piece += 1
    return numbers


def _piece_in_progress(game: velmar_rules.Game, player: int) -> bool:
    cells = game.cells
    return any(cells[tile] & closed_flag(player) for tile in game.legal_tiles())


def board_pieces(game: GameRecord, moves: int | None = None) -> np.ndarray:
    """(20, 20) int: -1 for an empty cell, else the number of the piece covering it (``piece_numbers``)."""
    history = game.history()[: len(game) if moves is None else moves]
    pieces = np.full((BOARD, BOARD), -1, np.int64)
    for (_, cell), number in zip(history, piece_numbers(history)):
        pieces[divmod(int(cell), BOARD)] = number
    return pieces


def piece_edges(pieces: np.ndarray, only: int | None = None) -> list[tuple[tuple[float, float], tuple[float, float]]]:
    """The sides of squares where a piece ends (another piece, an empty cell or the board's edge), as
    ((x0, y0), (x1, y1)) segments in the board's axes (column, row; cell centres on integers).
    ``only``: the sides of that piece alone."""
    padded = np.pad(pieces, 1, constant_values=-1)
    segments = []
    for row, column in zip(*np.nonzero(pieces >= 0 if only is None else pieces == only)):
        number = pieces[row, column]
        x, y = column - 0.5, row - 0.5
        if padded[row, column + 1] != number:  # above
            segments.append(((x, y), (x + 1, y)))
        if padded[row + 2, column + 1] != number:  # below
            segments.append(((x, y + 1), (x + 1, y + 1)))
        if padded[row + 1, column] != number:  # left
            segments.append(((x, y), (x, y + 1)))
        if padded[row + 1, column + 2] != number:  # right
            segments.append(((x + 1, y), (x + 1, y + 1)))
    return segments


def _title(game: GameRecord, index: int, moves: int) -> str:
    if moves == len(game):
        return f"game {index}: final position, {moves} tiles\nlast piece laid outlined in black"
    state = velmar_rules.replay(game.history()[:moves])
    return f"game {index}: after {moves} of {len(game)} tiles, player {state.current_player} to move\n" \
           "last piece laid outlined in black"


def legend_labels(game: GameRecord, moves: int) -> list[str]:
    """One line per player for the legend: its number, its score after ``moves`` tiles and the game's payoff."""
    scores = velmar_rules.replay(game.history()[:moves]).score()
    final = "payoff" if moves == len(game) else "final payoff"
    return [f"player {player}: score {scores[player]}, {final} {game.payoff[player]:g}" for player in range(PLAYERS)]


def _figure():
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure = plt.figure(figsize=FIGURE_INCHES, dpi=DPI)
    axis = figure.add_axes(BOARD_BOX)
    return plt, figure, axis


def _draw(axis, game: GameRecord, index: int, moves: int) -> None:
    from matplotlib.collections import LineCollection
    from matplotlib.patches import Patch

    axis.clear()
    for old in axis.figure.legends:
        old.remove()
    owners = board_owners(game, moves)
    axis.imshow(COLOURS[owners], interpolation="nearest", extent=(-0.5, BOARD - 0.5, BOARD - 0.5, -0.5))
    axis.set_xticks(np.arange(-0.5, BOARD, 1), minor=True)
    axis.set_yticks(np.arange(-0.5, BOARD, 1), minor=True)
    axis.grid(which="minor", color="white", linewidth=0.8)
    axis.tick_params(which="both", length=0, labelbottom=False, labelleft=False)
    for spine in axis.spines.values():  # black is the last piece's alone
        spine.set_edgecolor(PIECE_EDGE["color"])
    for player, corner in enumerate(START_CORNERS):
        row, column = divmod(corner, BOARD)
        axis.plot(column, row, marker="o", markersize=4, color=COLOURS[player + 1] * 0.6, alpha=0.8)
    pieces = board_pieces(game, moves)
    axis.add_collection(LineCollection(piece_edges(pieces), capstyle="projecting", **PIECE_EDGE))
    if moves > 0:
        last = pieces[divmod(int(game.moves[moves - 1][1]), BOARD)]
        axis.add_collection(LineCollection(piece_edges(pieces, only=last), capstyle="projecting", **LAST_PIECE_EDGE))
    axis.set_xlim(-0.5, BOARD - 0.5)
    axis.set_ylim(BOARD - 0.5, -0.5)
    axis.set_title(_title(game, index, moves), fontsize=10)
    handles = [Patch(facecolor=COLOURS[player + 1], edgecolor=PIECE_EDGE["color"], label=label)
               for player, label in enumerate(legend_labels(game, moves))]
    axis.figure.legend(handles=handles, loc="lower center", ncol=2, fontsize=9, frameon=False,
                       bbox_to_anchor=(0.5, 0.01))


def check_game(game: GameRecord) -> None:
    """ValueError naming the first move that breaks the rules; nothing is drawn for such a game."""
    velmar_rules.replay(game.history())


def _written_whole(path: str | Path, suffix: str, write) -> Path:
    """Calls ``write(temporary_path)`` and puts the result, synced, at ``path``; nothing is left on failure."""
    try:
        with atomic_path(path, suffix) as temporary:
            write(temporary)
    except OSError as error:  # a full disk names the temporary file, or none
        raise OSError(f"{path} cannot be written: {error.strerror or one_line(error)}") from None
    return Path(path)


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


def load_page_evaluator(name: str):
    """The evaluator a page asks for (as the arena takes one: a checkpoint, ``net:PATH``, a built-in),
    checked on the opening position; any failure to load as one ValueError line."""
    from velmar_pipeline.arena import arena  # torch and onnxruntime only when a page asks for them
    from velmar_pipeline.evaluators import inference, registry

    # A model is read as it is: no ONNX twin is exported beside a checkpoint for a page.
    backend = "onnx" if inference.is_onnx(name.removeprefix("net:")) else "torch"
    try:
        evaluator = arena.make_player(name, seed=0, backend=backend)
        registry.checked_outputs(evaluator, velmar_rules.Game().encode()[None])
    except Exception as error:  # a damaged checkpoint or a broken module fails in its own way
        lines = str(error).strip().splitlines() if isinstance(error, ValueError) else None
        why = lines[0] if lines else one_line(error)
        raise ValueError(f"evaluator {name!r} cannot be used: {why}") from None
    return evaluator


def write_page_text(text: bytes, path: str | Path) -> Path:
    with atomic_file(path) as file:
        file.write(text)
    return Path(path)


def page_text(game: GameRecord, index: int = 0, evaluator: str | None = None) -> bytes:
    """The page's HTML; ValueError for a record that fails its checks or an evaluator that cannot be used."""
    positions.game_positions(game)  # the page relies on every check a replay makes
    loaded = None if evaluator is None else load_page_evaluator(evaluator)
    title = f"{game.where}: {len(game)} tiles" if game.where != "game" else f"game {index}: {len(game)} tiles"
    history = game.history()
    data = page.page_data(game, title, piece_numbers(history), COLOURS, loaded, evaluator)
    return page.render(data).encode()


def load_records_game(records_path: str | Path, index: int) -> GameRecord:
    """Game ``index`` of a shard, or of a folder's shards taken in number order."""
    if not Path(records_path).is_dir():
        return load_game(records_path, index)
    found = records.shard_paths(records_path)
    if not found:
        raise ValueError(f"{records_path} holds no shards")
    skipped = 0
    for path in found:
        games = records.read_shard(path)
        if 0 <= index - skipped < len(games):
            return games[index - skipped]
        skipped += len(games)
    raise ValueError(f"{records_path} holds {skipped} games; there is no game {index}")


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
        help="draw a recorded game as a PNG (and optionally an animated GIF or a page to step through it)",
        description="Draws one game of a record shard: the final position, or the position after --move tiles. "
        "With --html: a self-contained page to step through the game, each search's visit shares as a heat map "
        "and a list (and, with --evaluator, the evaluator's payoffs along the game and its priors).",
    )
    parser.add_argument("shard", help="a shard file (shard-NNNNN.npz); with --html also a folder of shards")
    parser.add_argument("--game", type=int, default=0,
                        help="index of the game in the shard (with --html and a folder: across its shards in order)")
    parser.add_argument("--move", type=int, default=None, help="show the position after this many tiles (default: all)")
    parser.add_argument("--out", default=None,
                        help="PNG file (default: game-G.png, or game-G-move-K.png; with --html none unless named)")
    parser.add_argument("--gif", default=None, help="also write the game as an animated GIF to this file")
    parser.add_argument("--every", type=int, default=4, help="tiles per GIF frame")
    parser.add_argument("--fps", type=float, default=8.0, help="GIF frames per second")
    parser.add_argument("--html", default=None, help="write the game as a page to step through to this file")
    parser.add_argument("--evaluator", default=None,
                        help="with --html: an evaluator (checkpoint, net:PATH, built-in) whose payoffs and priors "
                        "the page shows for every position")
    parser.set_defaults(handler=_run_show)


def _png_target(args: argparse.Namespace) -> str | Path | None:
    if args.out is None and args.html is not None:
        return None
    name = f"game-{args.game}.png" if args.move is None else f"game-{args.game}-move-{args.move}.png"
    return Path(name) if args.out is None else Path(args.out) / name if os.path.isdir(args.out) else args.out


def _run_show(args: argparse.Namespace) -> int:
    with bad_input(ValueError, OSError):
        require_packages("show", "matplotlib")
        check_fps(args.fps)
        if args.every < 1:
            raise ValueError(f"--every must be >= 1, got {args.every}")
        if args.evaluator is not None and args.html is None:
            raise ValueError("--evaluator goes with --html (the page shows what it thinks)")
        out = _png_target(args)
        for target, flag in ((out, "--out"), (args.gif, "--gif"), (args.html, "--html")):
            if target is not None:  # every target before anything is drawn
                check_writable_file(target, flag)
        game = load_records_game(args.shard, args.game) if args.html else load_game(args.shard, args.game)
        check_game(game)
        text = None if args.html is None else page_text(game, args.game, args.evaluator)  # may fail: before any write
        if out is not None:
            draw_png(game, out, args.game, args.move)
            print(f"wrote {out}")
        if args.gif is not None:
            draw_gif(game, args.gif, args.game, args.every, args.fps)
            print(f"wrote {args.gif}")
        if args.html is not None:
            write_page_text(text, args.html)
            print(f"wrote {args.html}")
    return 0
