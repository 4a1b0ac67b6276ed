"""Exporting a checkpoint as an ONNX model, and the ``export`` command.

The model carries what a user needs to run it anywhere: input ``planes`` (batch, 5, 400) float32,
outputs ``logits`` (batch, 400) and ``values`` (batch, 4, the payoff softmax in slot order), a
dynamic batch, and in its metadata the architecture, the value-slot convention and the SHA-256
of the checkpoint it came from. Needs torch and onnx (the ``[train]`` extra).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import warnings
from pathlib import Path

import numpy as np

from velmar_rules import CELLS, PLAYERS
from velmar_pipeline.evaluators import inference
from velmar_pipeline.records.atomic import atomic_file, check_writable_file, is_existing_file
from velmar_pipeline.errors import ModelError, bad_input, one_line

VALUE_SLOTS = ("values[:, k] is the predicted payoff share of player (k - p) mod 4, p the player to move "
               "(slot 0: the player to move); the four are a softmax and sum to 1")


def _torch_parts():
    try:
        import torch

        from velmar_pipeline.evaluators import network
    except ImportError:
        raise ModelError("exporting a checkpoint needs torch: pip install '.[train]'") from None
    return torch, network


def onnx_bytes(model, source_sha256: str | None = None) -> bytes:
    """The ONNX model of a ``PolicyValueNet`` (put in eval mode first: batch norm must use its
    running statistics, not the batch's), with the metadata described in the module docstring."""
    torch, _ = _torch_parts()
    try:
        import onnx
    except ImportError:
        raise ModelError("exporting a checkpoint needs onnx: pip install '.[train]'") from None

    class Deployed(torch.nn.Module):  # type: ignore[name-defined]  # torch: imported when an export runs
        def __init__(self, net):
            super().__init__()
            self.net = net

        def forward(self, planes):
            logits, value_logits = self.net(planes)
            return logits, torch.softmax(value_logits, dim=1)

    deployed = Deployed(model).to("cpu").eval()
    sample = torch.from_numpy(inference.reference_planes(2))
    buffer = io.BytesIO()
    batch = {0: "batch"}
    with warnings.catch_warnings(), torch.inference_mode():
        warnings.simplefilter("ignore")  # the exporter's notes on its own future
        torch.onnx.export(deployed, (sample,), buffer, dynamo=False, opset_version=17,
                          input_names=[inference.INPUT], output_names=list(inference.OUTPUTS),
                          dynamic_axes={name: batch for name in (inference.INPUT, *inference.OUTPUTS)})
    proto = onnx.load_from_string(buffer.getvalue())
    # The exporter leaves the width of a value-only network's zero logits symbolic; declare it.
    for output, width in zip(proto.graph.output, (CELLS, PLAYERS)):
        dims = output.type.tensor_type.shape.dim
        dims[1].Clear()
        dims[1].dim_value = width
    metadata = {
        "velmar.kind": "velmar-policy-value",
        "velmar.architecture": json.dumps(model.architecture.as_dict()),
        "velmar.value_slots": VALUE_SLOTS,
        "velmar.input": ("planes[:, 0:4] the stones of slots 0-3, planes[:, 4] the legal tiles; "
                         "cell = row * 20 + column"),
    }
    if source_sha256:
        metadata[inference.METADATA_SOURCE_HASH] = source_sha256
    onnx.helper.set_model_props(proto, metadata)
    proto.producer_name = "velmar-pipeline"
    return proto.SerializeToString()


def export_checkpoint(checkpoint: str | os.PathLike, out: str | os.PathLike) -> Path:
    """Writes the ONNX model of ``checkpoint`` to ``out``, atomically and only once it agrees with
    torch; ValueError in one line (naming the file) when anything fails, nothing left behind."""
    model = _loaded(checkpoint)
    data = _checked_export(checkpoint, model, inference.file_sha256(checkpoint))
    return _written(data, Path(out))


def checked_twin(checkpoint: str | os.PathLike) -> Path:
    """The checkpoint's ONNX twin, exported where missing or stale, checked against torch."""
    sha256 = inference.file_sha256(checkpoint)
    model = _loaded(checkpoint)
    twin = inference.current_twin(checkpoint, sha256)
    if twin is not None:
        check_against_torch(twin.path, model, twin)
        return Path(twin.path)
    data = _checked_export(checkpoint, model, sha256)
    beside, spare = inference.twin_paths(checkpoint, sha256)
    try:
        return _written(data, beside)
    except ModelError:  # a folder the checkpoint can be read from but not written to
        spare.parent.mkdir(parents=True, exist_ok=True)
        return _written(data, spare)


def check_against_torch(name: str, model, runtime: inference.OnnxEvaluator) -> None:
    """ValueError naming ``name`` when the ONNX model's outputs differ from the torch model's on
    the reference batch."""
    torch, _ = _torch_parts()
    planes = inference.reference_planes()
    with torch.inference_mode():
        logits, value_logits = model.to("cpu").eval()(torch.from_numpy(planes))
        expected = (logits.numpy(), torch.softmax(value_logits, dim=1).numpy())
    if not all(np.isfinite(output).all() for output in expected):  # no export could agree with NaN
        raise ModelError(f"{name}: the network computes NaN or infinity with torch itself "
                         "(its batch-norm statistics, say); this network cannot be used")
    inference.check_agreement(expected, runtime(planes), name)


def _loaded(checkpoint):
    _, network = _torch_parts()
    try:
        model, _ = network.load_checkpoint(checkpoint, device="cpu")
    except ValueError as error:
        raise ModelError(str(error)) from None
    except Exception as error:
        raise ModelError(f"{checkpoint}: not a readable checkpoint ({one_line(error)})") from None
    return model


def _checked_export(checkpoint, model, sha256: str) -> bytes:
    try:
        data = onnx_bytes(model, sha256)
    except ValueError:
        raise
    except Exception as error:
        raise ModelError(f"{checkpoint}: cannot be exported ({one_line(error)})") from None
    check_against_torch(f"the ONNX export of {checkpoint}", model, inference.OnnxEvaluator(checkpoint, data=data))
    return data


def _written(data: bytes, out: Path) -> Path:
    try:
        with atomic_file(out) as file:
            file.write(data)
    except OSError as error:
        raise ModelError(f"{out}: cannot be written ({error.strerror or error})") from None
    return out


def add_export(subparsers: argparse._SubParsersAction) -> None:
    parser = subparsers.add_parser(
        "export",
        help="write a checkpoint's network as an ONNX model",
        description="Writes the network of CHECKPOINT as an ONNX model for any runtime: input planes "
        "(batch, 5, 400) float32, outputs logits (batch, 400) and values (batch, 4, the payoff softmax in slot "
        "order), a dynamic batch; the architecture and the value-slot convention are in its metadata. The "
        "model is checked against torch before the command succeeds.",
    )
    parser.add_argument("checkpoint", help="network checkpoint (.pt)")
    parser.add_argument("--out", default=None, help="the ONNX file (default: the checkpoint's path with .onnx)")
    parser.set_defaults(handler=_run_export)


def _run_export(args: argparse.Namespace) -> int:
    with bad_input(ValueError):
        if not is_existing_file(args.checkpoint, "the checkpoint"):
            raise ModelError(f"no checkpoint at {args.checkpoint!r}")
        if inference.is_onnx(args.checkpoint):
            raise ModelError(f"{args.checkpoint} is an ONNX model, not a checkpoint; export reads a checkpoint (.pt)")
        out = args.out if args.out is not None else str(Path(args.checkpoint).with_suffix(inference.SUFFIX))
        if out and os.path.isdir(out):
            raise ModelError(f"--out {out!r} is a folder; name a file")
        if Path(out).resolve() == Path(args.checkpoint).resolve():
            raise ModelError(f"--out {out!r} would replace the checkpoint")
        check_writable_file(out, "--out")
        path = export_checkpoint(args.checkpoint, out)
    size = path.stat().st_size
    print(f"export: {path} ({size / 1024:.0f} KiB), checked against torch within {inference.TOLERANCE:g}")
    return 0
