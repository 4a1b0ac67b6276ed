"""The network through ONNX Runtime: export, agreement with torch, the twin beside a checkpoint,
bad models, and a self-play node without torch."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from velmar_pipeline.evaluators import inference, serving  # noqa: E402
from velmar_pipeline.__main__ import main  # noqa: E402
from velmar_pipeline.evaluators.architecture import Architecture  # noqa: E402

torch = pytest.importorskip("torch")
pytest.importorskip("onnxruntime")
onnx = pytest.importorskip("onnx")
from velmar_pipeline.evaluators import network  # noqa: E402
from velmar_pipeline.evaluators import onnx_export  # noqa: E402  (needs torch)

SMALL = Architecture(blocks=3, channels=16, policy_head=False)


def checkpoint(path, architecture=Architecture(), seed=0):
    """A network with random weights and batch-norm statistics far from the identity, so that a
    layer left in training mode, or statistics lost on the way, show in the outputs."""
    torch.manual_seed(seed)
    model = network.PolicyValueNet(architecture)
    for layer in model.modules():
        if isinstance(layer, torch.nn.BatchNorm2d):
            layer.running_mean.uniform_(-1, 1)
            layer.running_var.uniform_(0.5, 2)
    return network.save_checkpoint(path, model)


@pytest.mark.parametrize("architecture", [Architecture(), SMALL], ids=["default", "value-only"])
def test_both_backends_agree_on_a_thousand_positions(tmp_path, architecture):
    path = checkpoint(tmp_path / "m.pt", architecture)
    assert main(["export", str(path)]) == 0
    exported = inference.OnnxEvaluator(tmp_path / "m.onnx")
    planes = inference.reference_planes(1000, seed=3)
    expected = network.NetEvaluator.load(path, "cpu")(planes)
    for batch in (planes[:1], planes[:7], planes):
        found = exported(batch)
        for want, got in zip(expected, found):
            assert got.dtype == np.float32 and got.shape == want[:len(batch)].shape
            np.testing.assert_allclose(got, want[:len(batch)], rtol=0, atol=1e-4)
    assert json.loads(exported.metadata["velmar.architecture"]) == architecture.as_dict()
    assert "slot" in exported.metadata["velmar.value_slots"]


def test_the_twin_is_reused_until_the_checkpoint_changes(tmp_path, monkeypatch):
    path = checkpoint(tmp_path / "m.pt")
    twin = Path(serving.served_model(str(path), "onnx"))
    assert twin == tmp_path / "m.onnx"
    written = twin.stat().st_mtime_ns
    assert serving.served_model(str(path), "onnx") == str(twin) and twin.stat().st_mtime_ns == written
    checkpoint(path, seed=1)  # a new checkpoint under the same name: exported anew
    assert serving.served_model(str(path), "onnx") == str(twin) and twin.stat().st_mtime_ns != written
    np.testing.assert_allclose(inference.OnnxEvaluator(twin)(inference.reference_planes(4))[1],
                               network.NetEvaluator.load(path, "cpu")(inference.reference_planes(4))[1], atol=1e-4)
    assert serving.served_model(str(path), "torch") == str(path)

    # A folder that cannot take the twin: it goes to the spare place instead.
    blocked = tmp_path / "a-file"
    blocked.write_text("")
    spare = tmp_path / "spare" / "m.onnx"
    monkeypatch.setattr(inference, "twin_paths", lambda checkpoint, sha256: [blocked / "m.onnx", spare])
    assert serving.served_model(str(path), "onnx") == str(spare)


def foreign_model(path):
    """A valid ONNX model with the wrong input: (batch, 3) -> (batch, 3)."""
    helper = onnx.helper
    graph = helper.make_graph(
        [helper.make_node("Relu", ["x"], ["y"])], "foreign",
        [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, ["batch", 3])],
        [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, ["batch", 3])])
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), path)
    return path


def mismatched_twin(tmp_path):
    """A checkpoint whose twin claims to be its export but holds another network's weights."""
    path = checkpoint(tmp_path / "m.pt")
    other, _ = network.load_checkpoint(checkpoint(tmp_path / "other.pt", seed=5), "cpu")
    (tmp_path / "m.onnx").write_bytes(onnx_export.onnx_bytes(other, inference.file_sha256(path)))
    return path


def exported(path, batch=None, broken=None):
    """The ONNX model of a small network: with a fixed ``batch``, or ``broken`` ("weights": NaN in
    them; "variance": a batch-norm variance below 0, so finite weights that compute NaN)."""
    torch.manual_seed(0)
    model = network.PolicyValueNet(SMALL)
    with torch.no_grad():
        if broken == "weights":
            model.stem[0].weight[0, 0, 0, 0] = float("nan")
        elif broken == "variance":
            model.stem[1].running_var[0] = -1.0
    if path.suffix == ".pt":
        torch.save({"kind": network.CHECKPOINT_KIND, "version": network.CHECKPOINT_VERSION,
                    "architecture": SMALL.as_dict(), "state_dict": model.state_dict()}, path)
        return path
    proto = onnx.load_from_string(onnx_export.onnx_bytes(model))
    for value in (*proto.graph.input, *proto.graph.output) if batch is not None else ():
        value.type.tensor_type.shape.dim[0].Clear()
        value.type.tensor_type.shape.dim[0].dim_value = batch
    onnx.save(proto, path)
    return path


@pytest.mark.parametrize(
    "make, command, message",
    [
        (lambda p: (p / "bad.onnx").write_bytes(os.urandom(3000)) and p / "bad.onnx",
         "selfplay", "not a usable ONNX model"),
        (lambda p: foreign_model(p / "foreign.onnx"), "selfplay", "not a velmar network"),
        (lambda p: foreign_model(p / "foreign.onnx"), "arena", "not a velmar network"),
        (mismatched_twin, "selfplay", "differ from torch's"),
        (mismatched_twin, "arena", "differ from torch's"),
        (lambda p: (p / "junk.pt").write_bytes(os.urandom(500)) and p / "junk.pt", "export",
         "not a velmar policy-value checkpoint"),
        (lambda p: checkpoint(p / "m.pt"), "export-unwritable", "cannot be written"),
        (lambda p: exported(p / "one.onnx", batch=1), "selfplay", "one.onnx: its batch is fixed at 1; export it"),
        (lambda p: exported(p / "one.onnx", batch=1), "arena", "one.onnx: its batch is fixed at 1; export it"),
        (lambda p: exported(p / "nan.onnx", broken="weights"), "arena-search",
         "nan.onnx: the evaluator returned non-finite"),
        (lambda p: exported(p / "m.onnx"), "export", "is an ONNX model, not a checkpoint"),
        (lambda p: exported(p / "m.pt", broken="variance"), "export", "computes NaN or infinity with torch itself"),
    ],
)
def test_bad_models_fail_in_one_line(tmp_path, capsys, make, command, message):
    model = str(make(tmp_path))
    args = {
        "selfplay": ["selfplay", "--evaluator", "net", "--model", model, "--games", "1", "--out", str(tmp_path / "o"),
                     "--no-progress"],
        "arena": ["arena", model, "uniform", "--games", "1", "--no-progress"],
        "arena-search": ["arena", model, "uniform", "--games", "1", "--no-progress", "--sims-per-move", "2"],
        "export": ["export", model],
        "export-unwritable": ["export", model, "--out", str(tmp_path / "no-such-folder" / "m.onnx")],
    }[command]
    assert main(args) == 2
    err = capsys.readouterr().err.strip()
    assert message in err and len(err.splitlines()) == 1, err
    assert not list(tmp_path.rglob("*.tmp")) and not (tmp_path / "o").exists()


LONG = "x" * 256


@pytest.mark.parametrize("argv, message", [
    (["export", ""], "the checkpoint '' names no file"),
    (["export", "."], "no checkpoint at '.'"),
    (["export", LONG], "File name too long"),
    (["export", "CHECKPOINT", "--out", LONG + ".onnx"], "cannot be written: File name too long"),
    (["export", "CHECKPOINT", "--out", ""], "--out '' names no file"),
    (["loop", "--dir", "OUT", "--init", LONG, "--no-progress"], "File name too long"),
])
def test_names_that_cannot_be_files_are_one_line(tmp_path, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    checkpoint(tmp_path / "m.pt", SMALL)
    argv = [{"CHECKPOINT": "m.pt", "OUT": str(tmp_path / "out")}.get(word, word) for word in argv]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.pt"]


@pytest.mark.parametrize("absent, argv", [
    ("torch", ["train", "SHARD", "--out", "OUT"]),
    ("matplotlib", ["train", "SHARD", "--out", "OUT", "--policy-targets", "visits"]),
    ("torch", ["loop", "--dir", "OUT"]),
    ("matplotlib", ["show", "SHARD", "--out", "OUT"]),
    ("torch", ["selfplay", "--evaluator", "net:CHECKPOINT", "--inference", "torch", "--out", "OUT"]),
])
def test_commands_that_need_the_train_extra_say_so_before_any_work(tmp_path, monkeypatch, capsys, absent, argv):
    from scripted_games import lowest_tile_games, write_games

    shard = write_games(tmp_path / "games", lowest_tile_games(1, seed=4))
    model = checkpoint(tmp_path / "m.pt", SMALL)
    monkeypatch.setitem(sys.modules, absent, None)  # import fails as where it is not installed
    words = {"SHARD": str(shard), "OUT": str(tmp_path / "out"), "CHECKPOINT": str(model)}
    for key, value in words.items():
        argv = [word.replace(key, value) for word in argv]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and absent in err and "pip install '.[train]'" in err, err
    assert not (tmp_path / "out").exists()


def test_a_node_without_torch_plays_an_onnx_model(tmp_path):
    path = checkpoint(tmp_path / "m.pt", SMALL)
    assert main(["export", str(path), "--out", str(tmp_path / "deployed.onnx")]) == 0
    blocker = tmp_path / "blocker" / "torch"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('torch is not installed here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(blocker.parent), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run(
        [sys.executable, "-m", "velmar_pipeline", "selfplay", "--evaluator", "net", "--model",
         str(tmp_path / "deployed.onnx"), "--games", "2", "--workers", "1", "--sims-per-move", "2",
         "--out", str(tmp_path / "out"), "--no-progress"],
        capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "games: 2" in done.stdout
    assert len(list((tmp_path / "out").glob("*.npz"))) == 1


def test_built_in_evaluators_never_load_a_network_runtime(tmp_path):
    script = ("import sys\nfrom velmar_pipeline.__main__ import main\n"
              f"assert main(['selfplay', '--games', '1', '--workers', '1', '--evaluator', 'heuristic', '--out', "
              f"{str(tmp_path / 'out')!r}, '--no-progress']) == 0\n"
              "print(sorted(name for name in ('torch', 'onnxruntime') if name in sys.modules))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1] == "[]"
