"""Stand-ins for the engine used by the pipeline tests (imported by the spawned workers too)."""

import signal

import numpy as np

ROUNDS = 40


def echo_checking_play(game_id, config, inference_queue, pipe):
    """Sends positions unique to this game and call; fails unless each reply echoes its own.

    Meant for the ``echo`` evaluator, which answers plane 0 as the logits. Returns a record
    whose payoff carries the game id, so the parent can see which games ran.
    """
    rng = np.random.default_rng(game_id)
    for round_number in range(ROUNDS):
        planes = (rng.random((5, 400)) < 0.5).astype(np.float32)
        planes[0, :32] = [(game_id >> bit) & 1 for bit in range(32)]
        planes[1, :8] = [(round_number >> bit) & 1 for bit in range(8)]
        inference_queue.put((game_id, planes.tolist()))
        reply = pipe.recv()
        if list(reply[0]) != planes[0].tolist():
            raise AssertionError(f"game {game_id} round {round_number}: the reply belongs to another request")
        expected = planes[:4].mean(axis=1)
        if not np.allclose(reply[1], expected):
            raise AssertionError(f"game {game_id} round {round_number}: wrong values")
    return [], [], [float(game_id), 0.0, 0.0, 0.0]


def stop_signals_by_default() -> None:
    """``preexec_fn`` of a command a test stops with a signal. A signal ignored when a process
    starts stays ignored, and children inherit it: the suite started as a background job of a
    script (SIGINT, SIGQUIT) or under nohup (SIGHUP) would otherwise pass that on to the command."""
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


def tiny_checkpoint(path):
    """A checkpoint of a network of one block of 8 channels, the same at every call."""
    import torch

    from velmar_pipeline.evaluators import network
    from velmar_pipeline.evaluators.architecture import Architecture

    torch.manual_seed(1)
    return network.save_checkpoint(path, network.PolicyValueNet(Architecture(blocks=1, channels=8)), step=0)
