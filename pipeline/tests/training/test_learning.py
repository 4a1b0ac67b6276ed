"""Priors from a value lookahead, a value network growing a policy head, and the loop's gatekeeper."""

import json

import numpy as np
import pytest

import velmar_rules
from velmar_pipeline.arena import gatekeeper  # noqa: E402
from velmar_pipeline.evaluators import inference  # noqa: E402
from velmar_pipeline.evaluators.architecture import Architecture  # noqa: E402
from velmar_pipeline.selfplay.config import SearchConfig  # noqa: E402

torch = pytest.importorskip("torch")
pytest.importorskip("onnxruntime")
from velmar_pipeline.training import lookahead  # noqa: E402
from velmar_pipeline.evaluators import network  # noqa: E402
from velmar_pipeline.evaluators import onnx_export  # noqa: E402  (needs torch)
from velmar_pipeline.training.train import TrainSettings  # noqa: E402


def teacher_file(tmp_path, policy_head=False):
    torch.manual_seed(2)
    path = network.save_checkpoint(tmp_path / "teacher.pt", network.PolicyValueNet(
        Architecture(blocks=1, channels=8, policy_head=policy_head)))
    return str(onnx_export.export_checkpoint(path, tmp_path / "teacher.onnx"))


def test_lookahead_targets_match_each_child_valued_alone(tmp_path):
    model = teacher_file(tmp_path)
    evaluate = inference.OnnxEvaluator(model)
    rng = np.random.default_rng(4)
    game, cells = velmar_rules.Game(), []
    while not game.is_over:
        cells.append(int(rng.choice(game.legal_tiles())))
        game.apply(cells[-1])
    # The opening, a same-player continuation, mid-game, and the last tile (its only child ends the game).
    picks = [0, 1, 100, len(cells) - 1]
    found = lookahead.Teacher(model, temperature=0.05).targets([cells], [picks])
    replay = velmar_rules.Game()
    for index, cell in enumerate(cells):
        if index in picks:
            mover, worth = replay.current_player, []
            for tile in replay.legal_tiles():
                child = replay.copy()
                child.apply(tile)
                if child.is_over:
                    worth.append(child.payoff()[mover])
                else:
                    slot = (mover + child.current_player) % 4  # the slot holding the mover's value
                    worth.append(evaluate(child.encode()[None])[1][0, slot])
            want = np.zeros(400)
            want[replay.legal_tiles()] = lookahead.softmax(np.array(worth) / 0.05)
            np.testing.assert_allclose(found[picks.index(index)], want, atol=1e-5)
        replay.apply(cell)


def test_a_value_network_grows_a_policy_head_with_uniform_priors():
    torch.manual_seed(0)
    value_only = network.PolicyValueNet(Architecture(blocks=1, channels=8, policy_head=False)).eval()
    grown = network.with_policy_head(value_only).eval()
    planes = torch.from_numpy(inference.reference_planes(8))
    with torch.inference_mode():
        (_, before), (logits, after) = value_only(planes), grown(planes)
    assert grown.architecture.policy_head and not logits.any()
    torch.testing.assert_close(after, before)


@pytest.mark.parametrize("score, stderr, promoted", [(0.30, 0.02, True), (0.30, 0.04, False), (0.20, 0.01, False)])
def test_promotion_needs_a_measured_win(score, stderr, promoted):
    assert gatekeeper.promotes(gatekeeper.Duel(64, score, stderr, 1.0)) == promoted


def test_loop_gatekeeper_decides_every_generation_and_keeps_its_decisions(tmp_path):
    from velmar_pipeline.training.loop import LoopSettings, run_loop
    from velmar_pipeline.records import shards as records

    root = tmp_path / "loop"
    loop = LoopSettings(generations=3, games=2, window=2, workers=2, bootstrap_games=20, bootstrap_positions=4,
                        gate_games=2, priors_games=2)
    search = SearchConfig(sims_per_move=1, sample_moves=10)
    training = TrainSettings(epochs=1, batch_size=256, holdout=0.0, progress=False, threads=1)
    run = lambda: run_loop(root, loop, search, training, Architecture(blocks=1, channels=8, policy_head=False),
                           log=print)
    reports, interrupted = run()
    assert not interrupted
    ledger = gatekeeper.Ledger.load(root)
    assert [d.generation for d in ledger.decisions] == [1, 2]
    first = ledger.decided(1)
    assert first.best_before == "gen-0000/model.pt" and first.duel["games"] == 2 and first.priors["games"] == 2
    # Generation 2 played the best network after generation 1's decision, through its ONNX twin.
    best_for_2 = ledger.decided(2).best_before
    assert best_for_2 == ("gen-0001/model.pt" if first.promoted else "gen-0000/model.pt")
    played = {game.metadata["evaluator"] for game in records.load_games(root / "gen-0002")}
    assert played == {f"net:{root / best_for_2.replace('.pt', '.onnx')}"}
    # Every network after generation 0 learned priors from the lookahead.
    assert network.load_checkpoint(root / "gen-0001" / "model.pt", "cpu")[0].architecture.policy_head

    # Stopped after generation 2's training, before its duel: resuming plays the duel only and
    # keeps generation 1's decision as it was.
    stored = json.loads((root / gatekeeper.LEDGER_NAME).read_text())
    stored["decisions"] = stored["decisions"][:1]
    stored["best"] = best_for_2  # as the ledger stood before generation 2's duel
    (root / gatekeeper.LEDGER_NAME).write_text(json.dumps(stored))
    trained = (root / "gen-0002" / "model.pt").stat().st_mtime_ns
    reports, _ = run()
    again = gatekeeper.Ledger.load(root)
    assert [d.generation for d in again.decisions] == [1, 2] and again.decided(1).decided == first.decided
    assert (root / "gen-0002" / "model.pt").stat().st_mtime_ns == trained
