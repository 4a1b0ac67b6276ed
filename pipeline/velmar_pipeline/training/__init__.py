"""Training: fitting the network on records, and the loop of generations. Owns the positions of
uniform-random games that start a loop (``bootstrap``), the one-tile lookahead targets of the
priors (``lookahead``), training with its settings and loss log (``train``, the ``train``
command) and the loop of self-play, training and gatekeeping, resumable from disk (``loop``, the
``loop`` command). ``train`` may import ``evaluators``, ``records``, ``errors``, torch and
matplotlib; ``loop``, above it, may import every room but the command line (``selfplay.cluster``
only with ``--cluster``).
"""
