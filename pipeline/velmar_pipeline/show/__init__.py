"""Pictures of a recorded game: the ``show`` command drawing a board as a PNG or an animation
(``pictures``), and a game as one self-contained HTML page stepping through each search
(``page``). It may import ``arena`` (players for a page's evaluator, inside a function),
``evaluators``, ``records``, ``errors`` and the native modules."""
