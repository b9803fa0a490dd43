// The single page the viewer serves for "/" and "/index.html": markup, style
// sheet and script in one fixed text.
//
// Every text that comes from the file (labels, paths, codec names, error
// messages) reaches the document through textContent or element properties,
// never as markup, and plot titles are entity-escaped because plotly.js reads
// them as its own small markup language. Record ids stay decimal strings in
// the page so that ids above 2^53 are requested exactly.
#include "viewer/state.h"
#include "viewer/strip_chart.h"

namespace morva::viewer {

namespace {

constexpr char kViewerPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>PSFXL viewer</title>
<script src=")PAGE" MORVA_PLOTLY_JS_URL R"PAGE("></script>
<style>
:root {
  --bg-0: #0d0f12;
  --bg-1: #15181d;
  --bg-2: #1d2229;
  --bg-3: #262d36;
  --fg-0: #e7ecf3;
  --fg-1: #b0b8c2;
  --fg-2: #7c8591;
  --accent: #5aa9ff;
  --accent-dim: #2a6ab3;
  --ok: #64d69c;
  --warn: #f2b65a;
  --err: #ef6a6a;
  --border: #2a3038;
  --pane-bg: #10131a;
  --sidebar-w: 340px;
  --topbar-h: 46px;
  --ease: cubic-bezier(.25,.9,.3,1);
  --dur: 140ms;
  --mono: ui-monospace, "SF Mono", "JetBrains Mono", "DejaVu Sans Mono", Menlo, Consolas, monospace;
  --sans: system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
}
* { box-sizing: border-box; }
html, body {
  margin: 0; padding: 0; height: 100%; overflow: hidden;
  background: var(--bg-0); color: var(--fg-0);
  font-family: var(--sans); font-size: 13px;
}
body { display: flex; flex-direction: column; }
button {
  font: inherit; color: var(--fg-1); background: transparent;
  border: 1px solid var(--border); border-radius: 5px;
  padding: 4px 10px; cursor: pointer;
  transition: background var(--dur) var(--ease), color var(--dur) var(--ease), border-color var(--dur) var(--ease);
}
button:hover { background: var(--bg-3); color: var(--fg-0); }
button.active { background: var(--accent-dim); border-color: var(--accent-dim); color: var(--fg-0); }

#topbar {
  flex: 0 0 var(--topbar-h); height: var(--topbar-h);
  display: flex; align-items: center; gap: 12px;
  padding: 0 12px; background: var(--bg-1);
  border-bottom: 1px solid var(--border);
}
#toggle-sidebar { font-size: 16px; line-height: 1; padding: 4px 9px; }
#brand { display: flex; align-items: center; gap: 8px; font-weight: 600; letter-spacing: .02em; white-space: nowrap; }
#brand .dot {
  width: 8px; height: 8px; border-radius: 50%;
  background: var(--ok); box-shadow: 0 0 6px var(--ok), 0 0 12px rgba(100,214,156,.45);
}
#file-meta {
  color: var(--fg-2); font-size: 12px; font-family: var(--mono);
  white-space: nowrap; overflow: hidden; text-overflow: ellipsis; min-width: 0;
}
#topbar .spacer { flex: 1 1 auto; }

#main { flex: 1 1 auto; display: flex; min-height: 0; }

#sidebar {
  flex: 0 0 auto; width: var(--sidebar-w); min-width: 220px;
  display: flex; flex-direction: column; min-height: 0;
  background: var(--bg-1); border-right: 1px solid var(--border);
  overflow: hidden;
  transition: width var(--dur) var(--ease), min-width var(--dur) var(--ease);
}
body.collapsed #sidebar { width: 0; min-width: 0; border-right: none; }
#search-box { padding: 10px 10px 6px; }
#search {
  width: 100%; padding: 7px 10px; border-radius: 6px;
  border: 1px solid var(--border); background: var(--bg-2); color: var(--fg-0);
  font: inherit; outline: none;
  transition: border-color var(--dur) var(--ease);
}
#search:focus { border-color: var(--accent); }
#search::placeholder { color: var(--fg-2); }
#stats {
  display: flex; justify-content: space-between;
  padding: 2px 12px 8px; font-size: 11px; color: var(--fg-2);
  border-bottom: 1px solid var(--border); white-space: nowrap;
}
#stats-decodable { color: var(--ok); }
#tree { flex: 1 1 auto; overflow: auto; padding: 4px 0 12px; min-height: 0; }
.node {
  display: flex; align-items: center; gap: 6px;
  height: 24px; padding-right: 8px; cursor: pointer;
  white-space: nowrap; color: var(--fg-1); user-select: none;
  transition: background var(--dur) var(--ease);
}
.node:hover { background: var(--bg-2); color: var(--fg-0); }
.node.active { background: var(--accent-dim); color: var(--fg-0); }
.node.undecodable { opacity: .55; }
.node .caret {
  flex: 0 0 10px; font-size: 8px; color: var(--fg-2);
  transition: transform var(--dur) var(--ease);
}
.node.open > .caret { transform: rotate(90deg); }
.node.leaf > .caret { visibility: hidden; }
.node .label { flex: 1 1 auto; overflow: hidden; text-overflow: ellipsis; min-width: 0; }
.node.leaf .label { font-family: var(--mono); font-size: 12px; }
.node .badge {
  flex: 0 0 auto; font-size: 10px; font-family: var(--mono);
  padding: 1px 6px; border-radius: 8px;
  background: var(--bg-3); color: var(--fg-1);
}
.tree-msg { padding: 10px 14px; color: var(--fg-2); font-style: italic; }

#plots {
  flex: 1 1 auto; overflow-y: auto; overflow-x: hidden; min-width: 0;
  padding: 10px 12px 24px; display: flex; flex-direction: column; gap: 10px;
}
#empty {
  margin: auto; text-align: center; color: var(--fg-2); line-height: 1.9;
}
#empty .lead { font-size: 15px; color: var(--fg-1); }
#empty kbd {
  font-family: var(--mono); font-size: 11px;
  padding: 1px 6px; border-radius: 4px;
  background: var(--bg-3); color: var(--fg-0); border: 1px solid var(--border);
}
.pane {
  flex: 0 0 auto; background: var(--pane-bg);
  border: 1px solid var(--border); border-radius: 8px; overflow: hidden;
  transition: opacity 120ms var(--ease), transform 120ms var(--ease);
}
.pane.closing { opacity: 0; transform: translateY(-4px); }
.pane-head {
  display: flex; align-items: center; gap: 10px;
  padding: 5px 8px 5px 12px; background: var(--bg-1);
  border-bottom: 1px solid var(--border);
}
.pane.err .pane-head { background: rgba(239,106,106,.16); border-bottom-color: rgba(239,106,106,.4); }
.pane-title {
  flex: 0 1 auto; font-family: var(--mono); font-size: 12px; color: var(--fg-0);
  overflow: hidden; text-overflow: ellipsis; white-space: nowrap; min-width: 0;
}
.pane-stats {
  flex: 1 1 auto; font-size: 11px; color: var(--fg-2); font-family: var(--mono);
  white-space: nowrap; overflow: hidden; text-overflow: ellipsis; min-width: 0;
}
.pane.loading .pane-stats { color: var(--warn); }
.pane.err .pane-stats { color: var(--err); white-space: normal; }
.pane-close { padding: 0 8px; font-size: 16px; line-height: 20px; border-color: transparent; }
.pane-plot { height: 180px; width: 100%; }
body.tall .pane-plot { height: 320px; }

#toast {
  position: fixed; left: 50%; bottom: 24px;
  transform: translate(-50%, 12px); opacity: 0; pointer-events: none;
  padding: 8px 16px; border-radius: 6px;
  background: var(--bg-2); color: var(--fg-0); border: 1px solid var(--border);
  box-shadow: 0 6px 24px rgba(0,0,0,.45);
  transition: opacity var(--dur) var(--ease), transform var(--dur) var(--ease);
}
#toast.show { opacity: 1; transform: translate(-50%, 0); }

::-webkit-scrollbar { width: 10px; height: 10px; }
::-webkit-scrollbar-track { background: transparent; }
::-webkit-scrollbar-thumb { background: var(--bg-3); border-radius: 5px; border: 2px solid var(--bg-1); }
* { scrollbar-color: var(--bg-3) transparent; }
</style>
</head>
<body>
<div id="topbar">
  <button id="toggle-sidebar" title="Toggle tree (S)">&#9776;</button>
  <div id="brand"><span class="dot"></span><span>PSFXL viewer</span></div>
  <div id="file-meta">loading…</div>
  <div class="spacer"></div>
  <button id="btn-tall" title="Pane height">Tall</button>
  <button id="btn-clear" title="Clear all panes">Clear</button>
</div>
<div id="main">
  <div id="sidebar">
    <div id="search-box"><input id="search" type="search" placeholder="Search signals…" spellcheck="false" autocomplete="off"></div>
    <div id="stats"><span id="stats-count">0 signals</span><span id="stats-decodable">0 decodable</span></div>
    <div id="tree"></div>
  </div>
  <div id="plots">
    <div id="empty">
      <div class="lead">Click a signal on the left to add a pane.</div>
      <div><kbd>S</kbd> toggle tree · <kbd>C</kbd> clear · <kbd>T</kbd> tall mode · <kbd>/</kbd> focus search</div>
    </div>
  </div>
</div>
<div id="toast"></div>
<script>
"use strict";
(function () {
  const MAX_HITS = 400;
  const SEARCH_DELAY_MS = 80;
  const TOAST_MS = 1800;
  const PLOT_H = 180;
  const PLOT_H_TALL = 320;

  const state = {
    tree: null,
    nodes: new Map(),      // record id (decimal text) -> leaf node
    nameIndex: [],         // every leaf in depth-first order, for search
    openPanes: new Map(),  // record id -> open pane
    tallMode: false,
    filter: "",
  };

  const $ = (id) => document.getElementById(id);
  const treeEl = $("tree");
  const plotsEl = $("plots");
  const emptyEl = $("empty");
  const searchEl = $("search");
  const toastEl = $("toast");

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // plotly.js reads titles and trace names as markup: write them as text.
  function plotText(s) {
    return String(s).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
  }

  function fmtSamples(n) {
    if (n === null || n === undefined) return "–";
    if (n >= 1000) return (n / 1000).toFixed(1) + "k";
    return String(n);
  }

  function fmtTime(v) {
    if (v === null || v === undefined) return "–";
    if (!Number.isFinite(v)) return String(v);
    if (v === 0) return "0";
    const a = Math.abs(v);
    if (a < 1e-6) return (v * 1e9).toPrecision(3) + " ns";
    if (a < 1e-3) return (v * 1e6).toPrecision(3) + " µs";
    if (a < 1) return (v * 1e3).toPrecision(3) + " ms";
    return v.toPrecision(3) + " s";
  }

  function fmt3(v) {
    if (v === null || v === undefined || !Number.isFinite(v)) return "–";
    return v.toPrecision(3);
  }

  function idHex(id) {
    try { return BigInt(id).toString(16); } catch (e) { return String(id); }
  }

  let toastTimer = null;
  function toast(msg) {
    toastEl.textContent = msg;
    toastEl.classList.add("show");
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => toastEl.classList.remove("show"), TOAST_MS);
  }

  // ---- tree ---------------------------------------------------------------

  // Decodable leaves below a folder, counted once per folder without
  // recursion (names can nest very deep).
  function decodableBelow(folder) {
    if (folder._decodable !== undefined) return folder._decodable;
    let count = 0;
    const stack = [folder];
    while (stack.length) {
      const n = stack.pop();
      if (n.leaf) { if (n.decodable) count++; continue; }
      for (const c of n.children || []) stack.push(c);
    }
    folder._decodable = count;
    return count;
  }

  function indexLeaves(root) {
    state.nodes.clear();
    state.nameIndex = [];
    const stack = [];
    const kids = root.children || [];
    for (let i = kids.length - 1; i >= 0; i--) stack.push(kids[i]);
    while (stack.length) {
      const n = stack.pop();
      if (n.leaf) {
        state.nodes.set(n.id, n);
        state.nameIndex.push({ id: n.id, label: n.label, path: n.path, lower: n.path.toLowerCase(),
                               decodable: n.decodable, samples: n.samples, node: n });
        continue;
      }
      const c = n.children || [];
      for (let i = c.length - 1; i >= 0; i--) stack.push(c[i]);
    }
  }

  function leafTooltip(n) {
    const samples = (n.samples === null || n.samples === undefined) ? "?" : String(n.samples);
    return n.path + "  →  record 0x" + idHex(n.id) + "  ·  " + samples + " samples  ·  " + n.codec;
  }

  function makeRow(depth, label, badge, isLeaf) {
    const row = el("div", "node" + (isLeaf ? " leaf" : ""));
    row.style.paddingLeft = (4 + 12 * depth) + "px";
    row.appendChild(el("span", "caret", "▶"));
    const lab = el("span", "label", label);
    row.appendChild(lab);
    row.appendChild(el("span", "badge", badge));
    return row;
  }

  function leafRow(n, depth, label, tooltip) {
    const row = makeRow(depth, label, fmtSamples(n.samples), true);
    row.title = tooltip;
    row.dataset.id = n.id;
    if (!n.decodable) row.classList.add("undecodable");
    if (state.openPanes.has(n.id)) row.classList.add("active");
    row.addEventListener("click", () => onLeafClick(n));
    return row;
  }

  function folderRow(n, depth) {
    const row = makeRow(depth, n.label, String(decodableBelow(n)), false);
    row.title = n.path;
    const wrap = el("div", "folder");
    wrap.appendChild(row);
    let box = null;
    row.addEventListener("click", () => {
      if (!box) {
        box = el("div", "children");
        appendChildren(box, n, depth + 1);
        wrap.appendChild(box);
        row.classList.add("open");
        return;
      }
      const open = box.style.display !== "none";
      box.style.display = open ? "none" : "";
      row.classList.toggle("open", !open);
    });
    return wrap;
  }

  function appendChildren(container, folder, depth) {
    const frag = document.createDocumentFragment();
    for (const c of folder.children || []) {
      frag.appendChild(c.leaf ? leafRow(c, depth, c.label, leafTooltip(c)) : folderRow(c, depth));
    }
    container.appendChild(frag);
  }

  function drawTree() {
    treeEl.replaceChildren();
    if (!state.tree) return;
    if (!state.filter) {
      appendChildren(treeEl, state.tree, 0);
      return;
    }
    const frag = document.createDocumentFragment();
    let hits = 0;
    for (const item of state.nameIndex) {
      if (!item.lower.includes(state.filter)) continue;
      frag.appendChild(leafRow(item.node, 0, item.path, item.path + "  →  record 0x" + idHex(item.id)));
      if (++hits >= MAX_HITS) break;
    }
    if (hits === 0) frag.appendChild(el("div", "tree-msg", "no matches"));
    treeEl.appendChild(frag);
  }

  function markRows(id, active) {
    for (const row of treeEl.querySelectorAll(".node[data-id]")) {
      if (row.dataset.id === id) row.classList.toggle("active", active);
    }
  }

  function onLeafClick(n) {
    if (!n.decodable) {
      toast("this signal has no decodable waveform");
      return;
    }
    if (state.openPanes.has(n.id)) closePane(n.id);
    else openPane(n);
  }

  // ---- panes --------------------------------------------------------------

  function plotHeight() { return state.tallMode ? PLOT_H_TALL : PLOT_H; }

  // Chromium keeps a few WebGL contexts per page (plotly takes two per plot)
  // and blanks the oldest plots beyond that: only panes in view are plotted,
  // and a pane scrolled out of view lets its contexts go and keeps its zoom.
  const inView = new IntersectionObserver((items) => {
    for (const item of items) {
      const entry = item.target.paneEntry;
      if (!entry || state.openPanes.get(entry.node.id) !== entry) continue;
      entry.visible = item.isIntersecting;
      entry.placed();
      if (entry.visible) drawPlot(entry);
      else releasePlot(entry);
    }
  }, { root: plotsEl, rootMargin: "40px 0px" });

  async function drawPlot(entry) {
    const fig = entry.figure;
    if (!fig || entry.plotted || entry.drawing) return;
    entry.drawing = true;
    try {
      // plotly keeps and changes the objects it is given: each drawing gets
      // its own (the samples themselves are only read).
      await Plotly.newPlot(entry.plot, [Object.assign({}, fig.trace)], structuredClone(fig.layout), fig.config);
      entry.plotted = true;
      if (entry.view) await Plotly.relayout(entry.plot, entry.view);
    } catch (e) {
      failPane(entry, e && e.message ? e.message : e);
    } finally {
      entry.drawing = false;
    }
    if (state.openPanes.get(entry.node.id) !== entry || !entry.visible) releasePlot(entry);
  }

  function releasePlot(entry) {
    if (!entry.plotted || entry.drawing) return;
    entry.plotted = false;
    const full = entry.plot._fullLayout;
    const contexts = [];
    if (full) {
      if (full.xaxis && full.yaxis)
        entry.view = { "xaxis.range": full.xaxis.range.slice(), "yaxis.range": full.yaxis.range.slice() };
      if (full._glcanvas) full._glcanvas.each((d) => { if (d.regl && d.regl._gl) contexts.push(d.regl._gl); });
    }
    try { Plotly.purge(entry.plot); } catch (e) { /* already gone */ }
    for (const gl of contexts) {
      const lose = gl.getExtension("WEBGL_lose_context");
      if (lose) lose.loseContext();
    }
  }

  function openPane(n) {
    emptyEl.style.display = "none";
    const pane = el("div", "pane loading");
    const head = el("div", "pane-head");
    const title = el("span", "pane-title", n.path);
    title.title = n.path;
    const stats = el("span", "pane-stats", "loading…");
    const close = el("button", "pane-close", "×");
    close.title = "Remove (click signal again)";
    head.append(title, stats, close);
    const plot = el("div", "pane-plot");
    plot.style.height = plotHeight() + "px";
    pane.append(head, plot);
    plotsEl.appendChild(pane);
    const entry = { pane, plot, head, stats, node: n, plotted: false, visible: false };
    // Settled once the observer has told whether the new pane is in view.
    entry.seen = new Promise((done) => { entry.placed = done; });
    state.openPanes.set(n.id, entry);
    close.addEventListener("click", () => closePane(n.id));
    markRows(n.id, true);
    pane.paneEntry = entry;
    inView.observe(pane);
    loadWave(entry);
  }

  function failPane(entry, msg) {
    entry.pane.classList.remove("loading");
    entry.pane.classList.add("err");
    entry.stats.textContent = String(msg).slice(0, 120);
    entry.stats.title = String(msg);
  }

  async function loadWave(entry) {
    const n = entry.node;
    let d;
    try {
      const r = await fetch("/api/wave?id=" + encodeURIComponent(n.id));
      d = await r.json();
    } catch (e) {
      if (state.openPanes.get(n.id) === entry) failPane(entry, e && e.message ? e.message : e);
      return;
    }
    if (state.openPanes.get(n.id) !== entry) return;  // closed meanwhile
    if (d.error !== undefined) {
      failPane(entry, d.error);
      return;
    }
    const axis = {
      gridcolor: "#1d2229", linecolor: "#2a3038", tickcolor: "#2a3038",
      zeroline: false, tickfont: { size: 10 },
    };
    const trace = {
      type: "scattergl", mode: "lines", x: d.x, y: d.y,
      line: { width: 1.2, color: "#5aa9ff", shape: "linear" },
      hovertemplate: "%{y:.6g}<extra></extra>",
      name: plotText(n.label),
    };
    const layout = {
      paper_bgcolor: "#10131a", plot_bgcolor: "#10131a",
      font: { color: "#b0b8c2", size: 11 },
      showlegend: false,
      margin: { l: 62, r: 14, t: 6, b: 28 },
      hovermode: "x unified",
      hoverlabel: { bgcolor: "#1d2229", bordercolor: "#2a3038", font: { color: "#e7ecf3", size: 11 } },
      dragmode: "zoom",
      xaxis: Object.assign({}, axis, {
        showspikes: true, spikemode: "across", spikesnap: "cursor",
        spikecolor: "#5aa9ff", spikethickness: 1, spikedash: "solid",
        range: [d.x_total_min, d.x_total_max],
      }),
      yaxis: Object.assign({}, axis, {
        automargin: true,
        title: { text: plotText(n.label), font: { size: 11, color: "#b0b8c2" }, standoff: 4 },
      }),
    };
    const config = { responsive: true, scrollZoom: true, displaylogo: false, displayModeBar: false };
    entry.figure = { trace, layout, config };
    await entry.seen;
    if (entry.visible) await drawPlot(entry);
    if (state.openPanes.get(n.id) !== entry || entry.pane.classList.contains("err")) return;
    entry.stats.textContent = fmtSamples(d.total) + " pts · " + fmtTime(d.x_total_min) + " → " +
      fmtTime(d.x_total_max) + " · min " + fmt3(d.y_min) + " · max " + fmt3(d.y_max);
    entry.pane.classList.remove("loading");
  }

  function closePane(id) {
    const entry = state.openPanes.get(id);
    if (!entry) return;
    state.openPanes.delete(id);
    markRows(id, false);
    inView.unobserve(entry.pane);
    releasePlot(entry);
    entry.pane.classList.add("closing");
    setTimeout(() => {
      entry.pane.remove();
      if (state.openPanes.size === 0) emptyEl.style.display = "";
    }, 130);
  }

  function clearPanes() {
    for (const id of Array.from(state.openPanes.keys())) closePane(id);
  }

  function resizePlots() {
    for (const entry of state.openPanes.values()) {
      if (entry.plotted) Plotly.Plots.resize(entry.plot);
    }
  }

  function toggleTall() {
    state.tallMode = !state.tallMode;
    document.body.classList.toggle("tall", state.tallMode);
    $("btn-tall").classList.toggle("active", state.tallMode);
    for (const entry of state.openPanes.values()) entry.plot.style.height = plotHeight() + "px";
    resizePlots();
  }

  function toggleSidebar() {
    document.body.classList.toggle("collapsed");
    setTimeout(resizePlots, 160);
  }

  // ---- wiring -------------------------------------------------------------

  $("toggle-sidebar").addEventListener("click", toggleSidebar);
  $("btn-clear").addEventListener("click", clearPanes);
  $("btn-tall").addEventListener("click", toggleTall);

  let searchTimer = null;
  function applySearch() {
    state.filter = searchEl.value.trim().toLowerCase();
    drawTree();
  }
  searchEl.addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(applySearch, SEARCH_DELAY_MS);
  });

  document.addEventListener("keydown", (ev) => {
    if (ev.target === searchEl) {
      if (ev.key === "Escape") {
        clearTimeout(searchTimer);
        searchEl.value = "";
        applySearch();
        searchEl.blur();
      }
      return;
    }
    if (ev.ctrlKey || ev.metaKey || ev.altKey) return;
    const t = ev.target;
    if (t && (t.tagName === "INPUT" || t.tagName === "TEXTAREA" || t.isContentEditable)) return;
    switch (ev.key) {
      case "s": case "S": toggleSidebar(); break;
      case "c": case "C": clearPanes(); break;
      case "t": case "T": toggleTall(); break;
      case "/": ev.preventDefault(); searchEl.focus(); break;
      default: return;
    }
  });

  let resizeQueued = false;
  window.addEventListener("resize", () => {
    if (resizeQueued) return;
    resizeQueued = true;
    requestAnimationFrame(() => { resizeQueued = false; resizePlots(); });
  });

  // Record ids are read as decimal text: JSON numbers above 2^53 would round.
  function parseTree(text) {
    return JSON.parse(text.replace(/"id":(\d+)/g, '"id":"$1"'));
  }

  async function start() {
    try {
      const r = await fetch("/api/tree");
      if (!r.ok) throw new Error("HTTP " + r.status);
      const t = parseTree(await r.text());
      state.tree = t.root;
      indexLeaves(t.root);
      const file = String(t.path).split("/").pop();
      $("file-meta").textContent = file + " · " + fmtSamples(t.total_signals) + " signals · " +
        fmtSamples(t.decodable) + " decodable · " + Number(t.file_size_mb).toFixed(1) + " MB";
      $("file-meta").title = String(t.path);
      $("stats-count").textContent = t.total_signals + " signals";
      $("stats-decodable").textContent = t.decodable + " decodable";
      drawTree();
    } catch (e) {
      $("file-meta").textContent = "load failed: " + (e && e.message ? e.message : e);
    }
  }

  start();
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view viewer_page() { return {kViewerPage, sizeof kViewerPage - 1}; }

}  // namespace morva::viewer
