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


@pytest.mark.parametrize("form, priors, share", [("lookahead", None, 1.0), ("improved", "heuristic", 0.5)])
def test_lookahead_targets_match_each_child_valued_alone(tmp_path, form, priors, share):
    model = teacher_file(tmp_path)
    evaluate = inference.OnnxEvaluator(model)
    prior_logits = None if priors is None else lookahead.make_teacher(priors)
    rng = np.random.default_rng(4)
    game, cells = velmar_rules.Game(), []
    while not game.is_over:
        cells.append(int(rng.choice(game.legal_tiles())))
        game.apply(cells[-1])
    recipe = lookahead.Recipe(model, priors, form, temperature=0.05, share=share)
    found = lookahead.Teacher(recipe).targets([cells], first_game=1)
    labelled = set(lookahead.labelled_rows(len(cells), 1, share).tolist())
    # Every labelled row checked in the opening, mid-game and at the end (the last child ends the game).
    checked = [i for i in sorted(labelled) if i < 3 or 100 <= i < 102 or i >= len(cells) - 2]
    assert abs(len(labelled) - len(cells) * share) <= 1
    assert not found[sorted(set(range(len(cells))) - labelled)].any()
    replay = velmar_rules.Game()
    for index, cell in enumerate(cells):
        if index in checked:
            mover, worth, legal = replay.current_player, [], replay.legal_tiles()
            for tile in legal:
                child = replay.copy()
                child.apply(tile)
                if child.is_over:
                    worth.append(child.payoff()[mover])
                else:
                    slot = (mover + child.current_player) % 4  # the slot holding the mover's value
                    worth.append(evaluate(child.encode()[None])[1][0, slot])
            worth = np.array(worth, np.float64)
            logits = 0.0 if prior_logits is None else prior_logits(replay.encode()[None])[0][0, legal]
            centred = worth - worth.mean() if priors else worth
            want = np.zeros(400)
            want[legal] = lookahead.softmax(logits + centred / 0.05)
            np.testing.assert_allclose(found[index], want, atol=1e-5)
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


@pytest.mark.parametrize("first", ["heuristic", "init"])
def test_loop_gatekeeper_decides_every_generation_and_keeps_its_decisions(tmp_path, first):
    from velmar_pipeline.training.loop import INIT_NAME, LoopSettings, run_loop
    from velmar_pipeline.records import shards as records

    root = tmp_path / "loop"
    init = None
    if first == "init":
        init = str(network.save_checkpoint(tmp_path / "init.pt", network.PolicyValueNet(
            Architecture(blocks=1, channels=8))))
    loop = LoopSettings(generations=3, games=2, first_games=3, window=2, workers=2, gate_games=2, priors_games=2,
                        init=init)
    search = SearchConfig(sims_per_move=1, sample_moves=10)
    training = TrainSettings(epochs=1, batch_size=256, holdout=0.0, progress=False, threads=1,
                             policy_targets="improved", teacher="heuristic", policy_share=0.5)

    def run():
        return run_loop(root, loop, search, training, Architecture(blocks=1, channels=8), log=print)

    reports, interrupted = run()
    assert not interrupted
    ledger = gatekeeper.Ledger.load(root)
    assert [d.generation for d in ledger.decisions] == [0, 1, 2]
    # The first best player plays generation 0's games and must be beaten by generation 0.
    first_best = "heuristic" if init is None else INIT_NAME
    assert ledger.decided(0).best_before == first_best and ledger.decided(0).duel["games"] == 2
    assert len(records.load_games(root / "gen-0000")) == 3
    assert ledger.decided(1).priors["games"] == 2
    # Generation 2 played the best player after generation 1's decision (a network through its ONNX twin).
    best_for_2 = ledger.decided(2).best_before
    expected_best = next((d.candidate for d in reversed(ledger.decisions[:2]) if d.promoted), first_best)
    assert best_for_2 == expected_best
    played = {game.metadata["evaluator"] for game in records.load_games(root / "gen-0002")}
    assert played == ({"heuristic"} if best_for_2 == "heuristic"
                      else {f"net:{root / best_for_2.replace('.pt', '.onnx')}"})
    assert all(network.load_checkpoint(root / f"gen-000{g}" / "model.pt", "cpu")[0].architecture.policy_head
               for g in range(3))

    # Stopped after generation 2's training, before its duel: resuming plays the duel only and
    # keeps the earlier decisions as they were.
    stored = json.loads((root / gatekeeper.LEDGER_NAME).read_text())
    stored["decisions"], stored["best"] = stored["decisions"][:2], best_for_2
    (root / gatekeeper.LEDGER_NAME).write_text(json.dumps(stored))
    trained = (root / "gen-0002" / "model.pt").stat().st_mtime_ns
    reports, _ = run()
    again = gatekeeper.Ledger.load(root)
    assert [d.generation for d in again.decisions] == [0, 1, 2]
    assert again.decided(1).decided == ledger.decided(1).decided
    assert (root / "gen-0002" / "model.pt").stat().st_mtime_ns == trained
