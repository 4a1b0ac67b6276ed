"""Arena: games between evaluators, to compare their strength. Owns the seats and the result of a
match (``seats``), games without search, each tile chosen from an evaluator's priors, and the
``arena`` command (``arena``), games with the engine's tree search (``search_arena``), and the
gatekeeper that duels a new network against the best one (``gatekeeper``). It may import
``selfplay``'s search settings (``selfplay.config``), ``evaluators``, ``records``, ``errors``,
``streams`` and the native modules.
"""
