"""A game as one self-contained HTML page: step through it and see what each search did.

The page carries its data as JSON inside a script element and draws everything itself (SVG built
by an inline script), so it opens from a file with no server and loads nothing else; its content
security policy forbids any other load. Position m is the board after m tiles; for m < n the page
shows the search that chose tile m: its visit shares over the legal tiles (a heat map and a sorted
list) and the tile it laid, marked.

Numbers are stored small: shares in hundredths of a percent, only for the children the search
visited; priors and payoffs in thousandths, priors for the legal tiles alone.
"""

from __future__ import annotations

import html
import json
import re
from collections.abc import Sequence

import numpy as np

import velmar_rules
from velmar_rules import BOARD_WIDTH, PLAYERS, START_CORNERS
from velmar_pipeline.evaluators import registry
from velmar_pipeline.records import positions
from velmar_pipeline.records.shards import GameRecord

SHARE_SCALE = 10_000  # visit shares in hundredths of a percent: 1/800 of the visits still shows
PRIOR_SCALE = 1_000
BATCH = 256


def hex_colour(rgb: Sequence[float]) -> str:
    return "#" + "".join(f"{round(255 * channel):02x}" for channel in rgb)


def legal_tiles(planes: np.ndarray) -> list[list[int]]:
    """The legal tiles of each position, in cell order."""
    return [np.flatnonzero(mask).tolist() for mask in positions.legal_mask(planes)]


def visit_shares(game: GameRecord) -> list[list[int]]:
    """Per tile, the visited children as a flat [cell, share, cell, share, ...] list in SHARE_SCALE units.
    A child keeps its entry even when its share rounds to 0: the number of children visited stays exact."""
    rows = []
    for policy in game.policies:
        cells = np.flatnonzero(policy > 0)
        shares = np.rint(policy[cells].astype(np.float64) * SHARE_SCALE).astype(int)
        rows.append(np.stack([cells, shares], axis=1).ravel().tolist())
    return rows


def scores_along(game: GameRecord) -> list[list[int]]:
    """Each player's score after 0, 1, ..., n tiles."""
    state = velmar_rules.Game()
    scores = [list(state.score())]
    for _, cell in game.moves:
        state.apply(int(cell))
        scores.append(list(state.score()))
    return scores


def evaluate(evaluator: registry.Evaluator, planes: np.ndarray, to_move: np.ndarray) -> tuple[list, list]:
    """The evaluator's priors over each position's legal tiles and its payoffs by player, in batches."""
    priors, payoffs = [], []
    for start in range(0, len(planes), BATCH):
        batch = planes[start:start + BATCH].astype(np.float32)
        logits, values = registry.checked_outputs(evaluator, batch)
        legal = positions.legal_mask(batch)
        logits = np.where(legal, logits.astype(np.float64), -np.inf)
        logits -= logits.max(axis=1, keepdims=True)
        weights = np.exp(logits)
        weights /= weights.sum(axis=1, keepdims=True)
        priors += [np.rint(row[mask] * PRIOR_SCALE).astype(int).tolist() for row, mask in zip(weights, legal)]
        by_player = positions.players_from_slots(values, to_move[start:start + BATCH])
        payoffs += np.rint(by_player.astype(np.float64) * PRIOR_SCALE).astype(int).tolist()
    return priors, payoffs


def sample_moves(game: GameRecord) -> int | None:
    """The search's ``sample_moves`` from the record's metadata (tile k was drawn while k + 1 < it), if known."""
    search = game.metadata.get("search") if isinstance(game.metadata, dict) else None
    value = search.get("sample_moves") if isinstance(search, dict) else None
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def page_data(game: GameRecord, title: str, pieces: Sequence[int], colours: np.ndarray,
              evaluator: registry.Evaluator | None = None, evaluator_name: str | None = None) -> dict:
    """Everything the page shows, for a game whose record passed ``positions.game_positions``."""
    planes, to_move = positions.game_positions(game)
    data = {
        "title": title, "width": BOARD_WIDTH, "players": PLAYERS,
        "colours": [hex_colour(c) for c in colours], "corners": list(START_CORNERS),
        "tiles": game.moves[:, 1].tolist(), "movers": game.moves[:, 0].tolist(), "pieces": list(pieces),
        "payoff": [round(float(p), 4) for p in game.payoff], "scores": scores_along(game),
        "legal": legal_tiles(planes), "visits": visit_shares(game), "shareScale": SHARE_SCALE,
        "sampleMoves": sample_moves(game), "evaluator": evaluator_name, "priors": None, "values": None,
        "priorScale": PRIOR_SCALE,
    }
    if evaluator is not None:
        data["priors"], data["values"] = evaluate(evaluator, planes, to_move)
    return data


def render(data: dict) -> str:
    # No "<" at all: a title holding "</script>" or "<!--" cannot end or confuse the data's element.
    payload = json.dumps(data, separators=(",", ":")).replace("<", "\\u003c")
    fields = {"TITLE": html.escape(data["title"]), "DATA": payload}
    return re.sub("@(TITLE|DATA)@", lambda found: fields[found.group(1)], TEMPLATE)  # one pass: no field inside another


TEMPLATE = r"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy"
      content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:">
<link rel="icon" href="data:,">
<title>@TITLE@</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 16px; color: #222; background: #fafaf8; }
h1 { font-size: 17px; margin: 0 0 8px; }
#controls { display: flex; gap: 6px; align-items: center; margin-bottom: 8px; }
#controls input[type=range] { width: 420px; }
#controls button { min-width: 34px; }
#main { display: flex; gap: 18px; align-items: flex-start; }
figure { margin: 0; }
figcaption { font-size: 12px; color: #555; text-align: center; }
svg.board { width: 440px; height: 440px; background: #404040; }
svg.board.small { width: 300px; height: 300px; }
.grid { stroke: #fff; stroke-width: 0.04; }
.edges { stroke: #404040; stroke-width: 0.07; fill: none; stroke-linecap: square; }
.last { stroke: #000; stroke-width: 0.16; fill: none; stroke-linecap: square; }
.mark { fill: none; stroke: #000; stroke-width: 0.14; stroke-dasharray: 0.22 0.12; }
.label { font-size: 0.42px; text-anchor: middle; dominant-baseline: central; fill: #fff; pointer-events: none; }
.legal { fill: #777; }
#side { flex: 0 1 460px; min-width: 300px; }
#status p { margin: 2px 0; }
table { border-collapse: collapse; }
td, th { padding: 1px 8px; text-align: right; }
th { font-weight: 600; border-bottom: 1px solid #bbb; }
tr.played td { font-weight: 700; }
.swatch { display: inline-block; width: 11px; height: 11px; border: 1px solid #404040; vertical-align: -1px; }
#shares-box { max-height: 330px; overflow-y: auto; margin-top: 8px; }
#chart { width: 440px; height: 150px; background: #fff; border: 1px solid #ccc; cursor: pointer; }
.hint { color: #666; font-size: 12px; }
</style>
</head>
<body>
<h1 id="title"></h1>
<div id="controls">
  <button id="first" title="first position (Home)">|&#x25C0;</button>
  <button id="back" title="one tile back (left arrow)">&#x25C0;</button>
  <input id="slider" type="range" min="0" value="0" step="1" aria-label="position">
  <button id="forward" title="one tile forward (right arrow)">&#x25B6;</button>
  <button id="last" title="final position (End)">&#x25B6;|</button>
  <span>move <b id="move-number">0</b> of <span id="move-count"></span></span>
</div>
<div id="main">
  <div>
    <figure><svg id="board" class="board" viewBox="-0.1 -0.1 20.2 20.2"></svg>
      <figcaption>visit shares of the search for the tile marked (dashed)</figcaption></figure>
    <figure id="chart-box" hidden><svg id="chart" viewBox="0 0 440 150" preserveAspectRatio="none"></svg>
      <figcaption id="chart-caption"></figcaption></figure>
  </div>
  <div id="side">
    <div id="status"></div>
    <table id="players"></table>
    <figure id="priors-box" hidden><svg id="priors" class="board small" viewBox="-0.1 -0.1 20.2 20.2"></svg>
      <figcaption id="priors-caption"></figcaption></figure>
    <div id="shares-box"><table id="shares"></table></div>
    <p class="hint">Arrow keys step a tile, Home and End jump to the ends; the address keeps the position (#move=N).</p>
  </div>
</div>
<script id="game-data" type="application/json">@DATA@</script>
<script>
"use strict";
const D = JSON.parse(document.getElementById("game-data").textContent);
const W = D.width, N = D.tiles.length, SVG = "http://www.w3.org/2000/svg";
const HEAT = [0x7a, 0x1f, 0xa2];  // the darkest heat: far from every player's colour
let current = 0;

function el(name, attrs, parent) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attrs)) node.setAttribute(key, value);
  if (parent) parent.appendChild(node);
  return node;
}
function rgb(hex) { return [1, 3, 5].map(i => parseInt(hex.slice(i, i + 2), 16)); }
function heat(t) {  // from the empty cell's colour to HEAT
  const empty = rgb(D.colours[0]);
  return "rgb(" + empty.map((c, i) => Math.round(c + (HEAT[i] - c) * t)).join(",") + ")";
}
function where(cell) { return "(" + Math.floor(cell / W) + ", " + (cell % W) + ")"; }
function percent(units, scale) { return (100 * units / scale).toFixed(units * 10000 / scale < 1 ? 2 : 1) + "%"; }

function makeBoard(svg) {
  const cells = [];
  for (let cell = 0; cell < W * W; cell++)
    cells.push(el("rect", {x: cell % W, y: Math.floor(cell / W), width: 1, height: 1, "data-cell": cell}, svg));
  let grid = "";
  for (let i = 0; i <= W; i++) grid += `M${i} 0V${W}M0 ${i}H${W}`;
  el("path", {d: grid, class: "grid"}, svg);
  const layers = {cells, svg};
  layers.dots = el("g", {}, svg);
  for (const name of ["edges", "last"]) layers[name] = el("path", {class: name}, svg);
  layers.labels = el("g", {}, svg);
  layers.mark = el("rect", {class: "mark", width: 0.9, height: 0.9}, svg);
  return layers;
}

// Sides where a laid square's piece ends, as one path, after m tiles; ``only``: one piece's.
function edges(m, only) {
  const piece = new Array(W * W).fill(-1);
  for (let k = 0; k < m; k++) piece[D.tiles[k]] = D.pieces[k];
  const at = (r, c) => (r < 0 || c < 0 || r >= W || c >= W) ? -1 : piece[r * W + c];
  let d = "";
  for (let cell = 0; cell < W * W; cell++) {
    const p = piece[cell];
    if (p < 0 || (only !== undefined && p !== only)) continue;
    const r = Math.floor(cell / W), c = cell % W;
    if (at(r - 1, c) !== p) d += `M${c} ${r}h1`;
    if (at(r + 1, c) !== p) d += `M${c} ${r + 1}h1`;
    if (at(r, c - 1) !== p) d += `M${c} ${r}v1`;
    if (at(r, c + 1) !== p) d += `M${c + 1} ${r}v1`;
  }
  return d;
}

// Draws position m on a board, the legal tiles shaded by ``weights`` (cell -> units of ``scale``).
function drawBoard(b, m, weights, scale) {
  const owner = new Array(W * W).fill(-1);
  for (let k = 0; k < m; k++) owner[D.tiles[k]] = D.movers[k];
  let top = 0;
  for (const w of weights.values()) top = Math.max(top, w);
  const legal = new Set(m < N ? D.legal[m] : []);
  b.dots.replaceChildren(); b.labels.replaceChildren();
  for (let cell = 0; cell < W * W; cell++) {
    const rect = b.cells[cell], w = weights.get(cell) || 0;
    const fill = owner[cell] >= 0 ? D.colours[owner[cell] + 1] : w > 0 ? heat(Math.sqrt(w / top)) : D.colours[0];
    rect.setAttribute("fill", fill);
    rect.setAttribute("class", w > 0 ? "heat" : "");
    const x = cell % W + 0.5, y = Math.floor(cell / W) + 0.5;
    if (legal.has(cell) && !(w > 0)) el("circle", {cx: x, cy: y, r: 0.08, class: "legal"}, b.dots);
    if (w > 0 && 100 * w / scale >= 0.5) {
      const text = el("text", {x, y, class: "label"}, b.labels);
      text.textContent = Math.round(100 * w / scale);
      if (w / top < 0.3) text.setAttribute("fill", "#333");
    }
  }
  D.corners.forEach((cell, player) => {
    if (owner[cell] < 0) el("circle", {cx: cell % W + 0.5, cy: Math.floor(cell / W) + 0.5, r: 0.2,
                                       fill: D.colours[player + 1]}, b.dots);
  });
  b.edges.setAttribute("d", edges(m));
  b.last.setAttribute("d", m > 0 ? edges(m, D.pieces[m - 1]) : "");
  const marked = m < N ? D.tiles[m] : D.tiles[N - 1];
  b.mark.setAttribute("x", marked % W + 0.05);
  b.mark.setAttribute("y", Math.floor(marked / W) + 0.05);
  b.mark.setAttribute("data-cell", marked);
}

function visits(m) {
  const map = new Map(), row = m < N ? D.visits[m] : [];
  for (let i = 0; i < row.length; i += 2) map.set(row[i], row[i + 1]);
  return map;
}
function priors(m) {
  const map = new Map();
  if (D.priors && m < N) D.legal[m].forEach((cell, i) => map.set(cell, D.priors[m][i]));
  return map;
}

function how(m, shares) {
  let best = -1, bestCell = -1;
  for (const [cell, w] of shares) if (w > best) { best = w; bestCell = cell; }
  const mostVisited = shares.get(D.tiles[m]) === best;
  if (D.sampleMoves !== null && m + 1 < D.sampleMoves)
    return "drawn by visit share (the opening)" + (mostVisited ? ", the most visited child too" : "");
  return mostVisited ? "the most visited child" : "not the most visited child (" + where(bestCell) + " was)";
}

function status(m, shares) {
  const box = document.getElementById("status");
  const p = text => { const node = document.createElement("p"); node.innerHTML = text; box.appendChild(node); };
  box.replaceChildren();
  if (m === N) { p("final position: " + N + " tiles laid"); return; }
  const cell = D.tiles[m], mover = D.movers[m];
  const swatch = `<span class="swatch" style="background:${D.colours[mover + 1]}"></span>`;
  p(`player <b id="mover">${mover}</b> ${swatch} to move; ` +
    `lays tile ${m + 1}, cell <b id="tile">${cell}</b> ${where(cell)}`);
  p(`<span id="how">${how(m, shares)}</span>`);
  p(`children visited: <b id="visited">${shares.size}</b> of ${D.legal[m].length} legal tiles`);
}

function players(m) {
  const table = document.getElementById("players");
  const head = "<tr><th>player</th><th>score</th><th>final payoff</th>" +
               (D.values ? "<th>predicted</th>" : "") + "</tr>";
  let rows = "";
  for (let p = 0; p < D.players; p++) {
    const predicted = D.values ? "<td>" + (m < N ? (D.values[m][p] / D.priorScale).toFixed(3) : "") + "</td>" : "";
    rows += `<tr><td><span class="swatch" style="background:${D.colours[p + 1]}"></span> ${p}</td>` +
            `<td class="score">${D.scores[m][p]}</td><td>${D.payoff[p]}</td>${predicted}</tr>`;
  }
  table.innerHTML = head + rows;
}

function shareList(m, shares, prior) {
  const table = document.getElementById("shares");
  const sorted = [...shares.entries()].sort((a, b) => b[1] - a[1] || a[0] - b[0]);
  let rows = "<tr><th>tile</th><th>cell</th><th>visit share</th>" + (D.priors ? "<th>prior</th>" : "") + "</tr>";
  for (const [cell, w] of sorted) {
    const played = m < N && cell === D.tiles[m] ? " class=\"played\"" : "";
    const p = D.priors ? `<td>${percent(prior.get(cell) || 0, D.priorScale)}</td>` : "";
    rows += `<tr data-cell="${cell}"${played}><td>${where(cell)}</td><td>${cell}</td>` +
            `<td class="share">${percent(w, D.shareScale)}</td>${p}</tr>`;
  }
  table.innerHTML = rows;
}

function chart() {
  const svg = document.getElementById("chart"), w = 440, h = 150;
  const x = m => N > 1 ? m * (w - 8) / (N - 1) + 4 : w / 2, y = v => h - 4 - v * (h - 8);
  el("line", {x1: 0, x2: w, y1: y(0.25), y2: y(0.25), stroke: "#bbb", "stroke-dasharray": "4 3"}, svg);
  for (let p = 0; p < D.players; p++) {
    const points = D.values.map((v, m) => x(m).toFixed(1) + "," + y(v[p] / D.priorScale).toFixed(1)).join(" ");
    el("polyline", {points, fill: "none", stroke: D.colours[p + 1], "stroke-width": 1.6}, svg);
  }
  const cursor = el("line", {id: "cursor", y1: 0, y2: h, stroke: "#000", "stroke-width": 1}, svg);
  svg.addEventListener("click", event => {
    const box = svg.getBoundingClientRect();
    go(Math.round((event.clientX - box.left) / box.width * (N - 1)));
  });
  return m => { const at = x(Math.min(m, N - 1)); cursor.setAttribute("x1", at); cursor.setAttribute("x2", at); };
}

const board = makeBoard(document.getElementById("board"));
const priorBoard = D.priors ? makeBoard(document.getElementById("priors")) : null;
const moveCursor = D.values ? chart() : () => {};
const slider = document.getElementById("slider");

function go(m) {
  current = Math.max(0, Math.min(N, m | 0));
  const shares = visits(current), prior = priors(current);
  drawBoard(board, current, shares, D.shareScale);
  if (priorBoard) drawBoard(priorBoard, current, prior, D.priorScale);
  slider.value = current;
  document.getElementById("move-number").textContent = current;
  status(current, shares);
  players(current);
  shareList(current, shares, prior);
  moveCursor(current);
  const fragment = "#move=" + current + (current < N ? "&mover=" + D.movers[current] : "");
  if (location.hash !== fragment) history.replaceState(null, "", fragment);
}

function fromFragment() {
  const found = /(?:^#|&)move=(\d+)/.exec(location.hash);
  return found ? Number(found[1]) : 0;
}

document.getElementById("title").textContent = D.title;
document.getElementById("move-count").textContent = N;
slider.max = N;
if (D.priors) {
  document.getElementById("priors-box").hidden = false;
  document.getElementById("priors-caption").textContent = "priors of " + D.evaluator + " over the legal tiles";
  document.getElementById("chart-box").hidden = false;
  document.getElementById("chart-caption").textContent =
    "payoffs predicted by " + D.evaluator + " along the game (dashed: a fair share); click to jump";
}
slider.addEventListener("input", () => go(Number(slider.value)));
document.getElementById("first").addEventListener("click", () => go(0));
document.getElementById("back").addEventListener("click", () => go(current - 1));
document.getElementById("forward").addEventListener("click", () => go(current + 1));
document.getElementById("last").addEventListener("click", () => go(N));
document.addEventListener("keydown", event => {
  const step = {ArrowLeft: -1, ArrowDown: -1, ArrowRight: 1, ArrowUp: 1}[event.key];
  if (step !== undefined) go(current + step);
  else if (event.key === "Home") go(0);
  else if (event.key === "End") go(N);
  else return;
  event.preventDefault();  // the slider, when focused, would take the same step again
});
window.addEventListener("hashchange", () => { if (fromFragment() !== current) go(fromFragment()); });
go(fromFragment());
</script>
</body>
</html>
"""
