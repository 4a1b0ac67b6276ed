"""Arena: games between evaluators, to compare their strength. Owns the seats and the result of a
match (``seats``), games without search, each tile chosen from an evaluator's priors, and the
``arena`` command (``arena``), games with the engine's tree search (``search_arena``), and the
gatekeeper that duels a new network against the best one (``gatekeeper``). It may import
``selfplay``'s search settings (``selfplay.config``), ``evaluators``, ``records``, ``errors``,
``streams`` and the native modules.

The names of ``velmar_pipeline.arena`` from before the rooms (``play``, ``make_player``,
``ArenaResult``, ``seating``, ...) are those of ``velmar_pipeline.arena.arena``.
"""

from velmar_pipeline.arena.arena import (  # noqa: F401 (the room's public names)
    CHOICES, Z_95, ArenaResult, add_arena, check_json_target, choose_tiles, labels, make_player, play, seating,
)
