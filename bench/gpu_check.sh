#!/usr/bin/env bash
# A few minutes on a machine with an NVIDIA GPU and a set-up checkout (scripts/setup.sh):
#   1. forward throughput of the default network on the GPU by batch size (1 to 4096), the model
#      alone and through the net evaluator (with the copies to and from the GPU);
#   2. selfplay with that network (a fresh checkpoint) behind the service, many games in flight
#      per worker so that the GPU sees batches: requests/s;
#   3. one training epoch on the GPU on those games: its time.
# Everything lives in a temporary folder, removed at the end.
#
#   bench/gpu_check.sh
#
# Environment: PYTHON (default .venv/bin/python), DEVICE (cuda; cpu for a smoke run anywhere),
# MAX_BATCH (4096), GAMES (48), SIMS (32), WORKERS (the cores), THREADS_PER_WORKER (8).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-.venv/bin/python}
DEVICE=${DEVICE:-cuda}
MAX_BATCH=${MAX_BATCH:-4096}
GAMES=${GAMES:-48}
SIMS=${SIMS:-32}
WORKERS=${WORKERS:-$(nproc)}
THREADS_PER_WORKER=${THREADS_PER_WORKER:-8}
WORK=$(mktemp -d -t velmar-gpu-check-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

if [ "$DEVICE" = cuda ]; then
  command -v nvidia-smi >/dev/null && nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader
fi

echo "== 1. forward throughput on $DEVICE (default network)"
"$PYTHON" - "$DEVICE" "$MAX_BATCH" "$WORK/model.pt" <<'EOF'
import sys
import time

import numpy as np
import torch

from velmar_pipeline.evaluators import network
from velmar_pipeline.evaluators.architecture import Architecture

device, max_batch, checkpoint = torch.device(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
if device.type == "cuda" and not torch.cuda.is_available():
    sys.exit("torch sees no CUDA device")
torch.manual_seed(0)
model = network.PolicyValueNet(Architecture())
network.save_checkpoint(checkpoint, model, step=0)  # for selfplay and training below
model = model.to(device).eval()
evaluate = network.NetEvaluator(model)
name = torch.cuda.get_device_name(device) if device.type == "cuda" else "cpu"
print(f"{name}: {network.parameter_count(model)} parameters, {Architecture().blocks} blocks x "
      f"{Architecture().channels} channels")


def sync():
    if device.type == "cuda":
        torch.cuda.synchronize(device)


def rate(call, batch, seconds=0.4):
    call()
    sync()
    done, started = 0, time.perf_counter()
    while time.perf_counter() - started < seconds:
        call()
        done += batch
    sync()
    return done / (time.perf_counter() - started)


print(f"{'batch':>6} {'model pos/s':>12} {'evaluator pos/s':>16}")
batch = 1
while batch <= max_batch:
    planes = (np.random.default_rng(batch).random((batch, 5, 400)) < 0.2).astype(np.float32)
    on_device = torch.from_numpy(planes).to(device)
    with torch.inference_mode():
        alone = rate(lambda: model(on_device), batch)
    through = rate(lambda: evaluate(planes), batch)
    print(f"{batch:>6} {alone:>12.0f} {through:>16.0f}", flush=True)
    batch *= 2
EOF

echo "== 2. selfplay with the network: $GAMES games, $WORKERS workers x $THREADS_PER_WORKER games in flight, sims $SIMS"
started=$(now)
"$PYTHON" -m velmar_pipeline selfplay --evaluator net --model "$WORK/model.pt" --games "$GAMES" \
  --workers "$WORKERS" --threads-per-worker "$THREADS_PER_WORKER" --sims-per-move "$SIMS" \
  --out "$WORK/games" --no-progress 2>&1 | grep -E "requests|moves:"
echo "selfplay wall time: $(since "$started") s"

echo "== 3. one training epoch on $DEVICE on those games"
started=$(now)
"$PYTHON" -m velmar_pipeline train "$WORK/games" --out "$WORK/train" --init "$WORK/model.pt" \
  --device "$DEVICE" --epochs 1 --no-progress 2>&1 | grep -E "^train:|trained|last"
echo "training wall time (start-up and replaying the records included): $(since "$started") s"
