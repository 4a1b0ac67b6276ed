"""Evaluators: what answers a batch of positions with priors and payoffs, under one value
convention for all. Owns the registry and the built-in evaluators (``registry``), the network's
shape (``architecture``) and the network itself with its checkpoints (``network``, torch), the
network on the CPU through ONNX Runtime (``inference``, no torch), its export (``onnx_export``)
and the choice between the two (``serving``). It may import ``records`` (positions, atomic files),
``errors``, ``velmar_rules``, numpy, and torch or onnxruntime only where a network is used.
"""
