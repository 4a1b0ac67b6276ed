"""The game rules for Python: games played tile by tile, replay of records, position encoding."""

from collections.abc import Iterable, Sequence
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

CELLS: int
BOARD_WIDTH: int
PLAYERS: int
PLANES: int
START_CORNERS: tuple[int, int, int, int]

class InternalFailure(RuntimeError):
    """A violated invariant inside the C++ rules library (always a bug)."""

class Game:
    """The state of one game; ``Game()`` is a new game with player 0 to move."""

    def __init__(self) -> None: ...
    def apply(self, tile: SupportsIndex) -> None:
        """Lays one square of the player to move; ValueError when illegal or the game is over."""
    def legal_tiles(self) -> list[int]:
        """The cells the player to move may lay a square on, ascending."""
    @property
    def current_player(self) -> int | None:
        """The player to move (0..3), or None once the game is over."""
    @property
    def is_over(self) -> bool:
        """True once no player can move."""
    @property
    def history(self) -> list[tuple[int, int]]:
        """The tiles laid so far as (player, cell) tuples."""
    @property
    def players(self) -> list[int]:
        """The players still in the game, in turn order."""
    @property
    def cells(self) -> bytes:
        """The 400 cell bytes: owner + 1 in the low four bits, one closed flag per player above."""
    def encode(self) -> npt.NDArray[np.float32]:
        """The (5, 400) float32 position planes; ValueError once the game is over."""
    def encode_children(
        self,
    ) -> tuple[
        npt.NDArray[np.int32],
        npt.NDArray[np.float32],
        npt.NDArray[np.int8],
        npt.NDArray[np.float32],
    ]:
        """Every child after each legal tile: (tiles, planes, players, payoffs); ValueError once over."""
    def score(self) -> list[int]:
        """The four players' scores."""
    def payoff(self) -> list[float]:
        """The four players' payoffs: the leaders share 1."""
    def copy(self) -> Game:
        """An independent copy of this game."""
    def __copy__(self) -> Game: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Game: ...
    def board_string(self) -> str:
        """20 lines of 20 characters: the owner's digit or '.'."""
    def __getstate__(self) -> tuple[list[tuple[int, int]]]: ...
    def __setstate__(self, state: tuple[Iterable[Sequence[SupportsIndex]]]) -> None: ...

def replay(history: Iterable[Sequence[SupportsIndex]]) -> Game:
    """Rebuilds a game from (player, cell) pairs; ValueError naming the first illegal move."""
