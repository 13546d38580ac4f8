// The review page: the class grid, one answer at a time, and the calibration panel.
// Everything comes from the JSON API of `quorvan review`; every request carries the token.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);

const state = {
  data: null,           // GET /api/class
  order: [],            // sheets in the grid's order
  sort: { key: null, dir: 1 },
  cursor: { row: 0, col: 0 },
  answer: null,         // GET /api/answer of the open answer
  view: "grid",
};

async function api(path, body) {
  const options = { headers: { "X-Quorvan-Token": TOKEN } };
  if (body !== undefined) {
    options.method = "POST";
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  const type = response.headers.get("Content-Type") || "";
  const data = type.startsWith("application/json") ? await response.json() : { error: await response.text() };
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function say(text, isError) {
  const box = $("message");
  box.textContent = text;
  box.className = isError ? "error" : "";
  box.hidden = !text;
}

function fmt(value) {
  if (value === null || value === undefined) return "";
  return Number.isInteger(value) ? String(value) : String(Math.round(value * 100) / 100);
}

function badge(kind) {
  const span = document.createElement("span");
  span.className = "badge " + kind;
  span.textContent = { not_marked: "not marked", changed_paper: "changed paper", overridden: "overridden",
                       approved: "approved", look_again: "look again", suspect: "suspect" }[kind] || kind;
  return span;
}

// ------------------------------------------------------------------ grid

function columns() {
  const qs = state.data.questions.map((q, i) => ({ key: "q" + i, label: `${q.q_id} (${fmt(q.max)})`, q: i }));
  return [{ key: "name", label: "Student" }, ...qs, { key: "total", label: `Total (${fmt(state.data.maximum)})` },
          { key: "status", label: "Status" }];
}

function sortValue(sheet, key) {
  if (key === "name") return sheet.name.toLowerCase();
  if (key === "total") return sheet.total === null ? -1 : sheet.total;
  if (key === "status") return sheet.status + (sheet.approved ? " approved" : "");
  const cell = sheet.cells[Number(key.slice(1))];
  return cell.awarded === null ? -1 : cell.awarded;
}

function applySort() {
  const sheets = state.data.sheets.slice();
  const { key, dir } = state.sort;
  if (key) {
    sheets.sort((a, b) => {
      const x = sortValue(a, key), y = sortValue(b, key);
      return (x < y ? -1 : x > y ? 1 : 0) * dir;
    });
  }
  state.order = sheets;
}

function renderGrid() {
  const cols = columns();
  const head = document.createElement("tr");
  cols.forEach((c) => {
    const th = document.createElement("th");
    th.textContent = c.label;
    th.dataset.key = c.key;
    if (state.sort.key === c.key) th.className = state.sort.dir > 0 ? "sorted-asc" : "sorted-desc";
    th.addEventListener("click", () => {
      state.sort = { key: c.key, dir: state.sort.key === c.key ? -state.sort.dir : 1 };
      applySort();
      renderGrid();
    });
    head.appendChild(th);
  });
  $("grid").tHead.replaceChildren(head);

  const rows = state.order.map((sheet, r) => {
    const tr = document.createElement("tr");
    tr.dataset.sheet = sheet.sheet;
    if (sheet.approved) tr.className = "approved";
    cols.forEach((c, ci) => {
      const td = document.createElement("td");
      if (c.key === "name") {
        td.className = "student";
        td.textContent = sheet.name;
        if (sheet.student_id && sheet.student_id !== sheet.name) {
          const small = document.createElement("small");
          small.textContent = sheet.student_id;
          td.appendChild(small);
        }
        if (sheet.flags.length) td.appendChild(badge("suspect"));
        if (sheet.approved) td.appendChild(badge("approved"));
      } else if (c.key === "total") {
        td.textContent = fmt(sheet.total);
      } else if (c.key === "status") {
        td.textContent = sheet.status;
        td.title = sheet.failure;
      } else {
        const cell = sheet.cells[c.q];
        td.className = "q" + (cell.answered ? "" : " unanswered");
        td.dataset.q = cell.q_id;
        td.dataset.sheet = sheet.sheet;
        td.textContent = cell.answered ? fmt(cell.awarded) : (cell.awarded === null ? "" : "–");
        td.title = cell.answered ? "" : "not attempted";
        cell.badges.forEach((b) => td.appendChild(badge(b)));
        td.addEventListener("click", () => { state.cursor = { row: r, col: ci }; openCursor(); });
      }
      if (r === state.cursor.row && ci === state.cursor.col) td.classList.add("cursor");
      tr.appendChild(td);
    });
    return tr;
  });
  $("grid").tBodies[0].replaceChildren(...rows);
}

function moveCursor(dr, dc) {
  const rows = state.order.length, cols = columns().length;
  state.cursor.row = Math.max(0, Math.min(rows - 1, state.cursor.row + dr));
  state.cursor.col = Math.max(0, Math.min(cols - 1, state.cursor.col + dc));
  renderGrid();
  const td = document.querySelector("#grid td.cursor");
  if (td) td.scrollIntoView({ block: "nearest", inline: "nearest" });
}

function openCursor() {
  const col = columns()[state.cursor.col];
  const sheet = state.order[state.cursor.row];
  if (!sheet || col.q === undefined) return;
  const cell = sheet.cells[col.q];
  if (!cell.answered) { say(`${sheet.name} did not answer ${cell.q_id}.`, false); return; }
  openAnswer(sheet.sheet, cell.q_id);
}

async function loadClass() {
  state.data = await api("/api/class");
  $("where").textContent = `${state.data.outdir} — reviewing as ${state.data.reviewer}`;
  applySort();
  renderGrid();
}

// ---------------------------------------------------------------- answer

// Every answered cell in the grid's order: what next/previous walk through.
function answeredCells() {
  const out = [];
  state.order.forEach((sheet, r) => sheet.cells.forEach((cell, q) => {
    if (cell.answered) out.push({ sheet: sheet.sheet, q_id: cell.q_id, row: r, col: q + 1 });
  }));
  return out;
}

function step(delta) {
  if (!state.answer) return;
  const cells = answeredCells();
  const at = cells.findIndex((c) => c.sheet === state.answer.sheet && c.q_id === state.answer.q_id);
  const next = cells[at + delta];
  if (!next) { say(delta > 0 ? "This is the last answer." : "This is the first answer.", false); return; }
  state.cursor = { row: next.row, col: next.col };
  openAnswer(next.sheet, next.q_id);
}

function show(view) {
  state.view = view;
  $("grid-view").hidden = view !== "grid";
  $("answer-view").hidden = view !== "answer";
  $("agreement-view").hidden = view !== "agreement";
}

async function openAnswer(sheet, q, keepMessage) {
  try {
    const a = await api(`/api/answer?sheet=${sheet}&q=${encodeURIComponent(q)}`);
    if (!keepMessage) say("");
    state.answer = a;
    show("answer");
    renderAnswer(a, true);
  } catch (e) {
    say(e.message, true);
  }
}

function renderAnswer(a, withPages) {
  $("answer-title").textContent = `${a.name} — ${a.q_id}`;
  $("answer-badges").replaceChildren(...a.badges.map(badge));
  if (withPages) {
    $("pages").replaceChildren(...a.pages.map((p) => {
      const img = document.createElement("img");
      img.alt = `page ${p}`;
      img.src = `/api/page.png?sheet=${a.sheet}&page=${p}&token=${TOKEN}`;
      const read = (a.page_reading || {})[String(p)];
      if (!read || !read.note) return img;
      // A page read badly is flagged on its image: its text may not be what was written.
      const figure = document.createElement("figure");
      const caption = document.createElement("figcaption");
      caption.textContent = `Page ${p}: ${read.note}`;
      if (!read.reliable) figure.className = "unreliable";
      figure.append(caption, img);
      return figure;
    }));
  }
  $("question").textContent = a.question;
  $("reference").textContent = a.reference_answer;
  $("answer-text").textContent = a.text || "(no text)";
  const flags = [...a.sheet_flags, ...a.flags].map((f) => {
    const p = document.createElement("p");
    p.className = "flag";
    p.textContent = f.note;
    return p;
  });
  if (a.failure) {
    const p = document.createElement("p");
    p.className = "flag";
    p.textContent = "Not marked: " + a.failure;
    flags.push(p);
  }
  $("flags").replaceChildren(...flags);

  const ticked = new Set(a.reviewed.criteria_met);
  const byModel = new Set(a.model.criteria_met);
  $("criteria").tBodies[0].replaceChildren(...a.criteria.map((c, i) => {
    const tr = document.createElement("tr");
    const mine = document.createElement("td");
    mine.className = "tick";
    const box = document.createElement("input");
    box.type = "checkbox";
    box.className = "crit";
    box.dataset.index = i;
    box.checked = ticked.has(i);
    box.addEventListener("change", saveTicks);
    mine.appendChild(box);
    const model = document.createElement("td");
    model.className = "tick";
    model.textContent = byModel.has(i) ? "✓" : "";
    const text = document.createElement("td");
    text.textContent = c.statement;
    const marks = document.createElement("td");
    marks.textContent = fmt(c.mark);
    tr.append(mine, model, text, marks);
    return tr;
  }));

  $("mark-input").value = a.reviewed.awarded === null ? "" : fmt(a.reviewed.awarded);
  $("mark-input").max = a.max;
  $("mark-max").textContent = fmt(a.max);
  $("model-mark").textContent = a.model.awarded === null ? "the model gave no mark" : `the model gave ${fmt(a.model.awarded)}`;
  $("feedback").value = a.reviewed.feedback;
  $("model-feedback-note").textContent = a.decision && a.decision.feedback !== null ? "your feedback (the model's is replaced)" : "the model's feedback";
  $("approve-answer").textContent = a.reviewed.approved ? "Withdraw approval" : "Approve answer";
  $("approve-sheet").textContent = a.sheet_approved ? "Withdraw sheet approval" : "Approve whole sheet";
  $("history").replaceChildren(...a.history.map((e) => {
    const li = document.createElement("li");
    li.textContent = `${e.at} ${e.reviewer}: ${e.q_id || "sheet"} ${e.field} ${JSON.stringify(e.old)} → ${JSON.stringify(e.new)}`;
    return li;
  }));
}

async function post(path, body, done) {
  try {
    const result = await api(path, body);
    if (result.answer) { state.answer = result.answer; renderAnswer(result.answer, false); }
    say(result.warning || done, Boolean(result.warning));
    await loadClass();
  } catch (e) {
    // What stands is shown again (a refused mark does not stay in the box), with the reason.
    if (state.answer) await openAnswer(state.answer.sheet, state.answer.q_id, true);
    say(e.message, true);
  }
}

function change(field, value, done) {
  const a = state.answer;
  return post("/api/change", { sheet: a.sheet, q_id: a.q_id, field, value }, done);
}

function saveTicks() {
  const ticked = [...document.querySelectorAll("#criteria input.crit")].filter((b) => b.checked)
    .map((b) => Number(b.dataset.index));
  return change("criteria_met", ticked, "Ticks saved; the mark follows them.");
}

function saveMark() {
  const raw = $("mark-input").value.trim();
  const value = raw === "" ? NaN : Number(raw);
  if (Number.isNaN(value)) { say("Type a mark first.", true); return; }
  return change("awarded", value, "Mark saved.");
}

// -------------------------------------------------------------- calibration

async function showAgreement() {
  show("agreement");
  const box = $("agreement");
  box.textContent = "Loading…";
  try {
    const report = await api("/api/agreement");
    const pre = document.createElement("pre");
    pre.textContent = typeof report === "string" ? report : JSON.stringify(report, null, 2);
    box.replaceChildren(pre);
  } catch (e) {
    box.textContent = e.message;
  }
}

// ---------------------------------------------------------------- wiring

function typing(target) {
  return target instanceof HTMLInputElement && target.type !== "checkbox" || target instanceof HTMLTextAreaElement;
}

document.addEventListener("keydown", (event) => {
  if (event.key === "Escape") {
    if (typing(event.target)) event.target.blur();
    if (state.view !== "grid") { show("grid"); renderGrid(); }
    return;
  }
  if (typing(event.target)) {
    if (event.key === "Enter" && event.target.id === "mark-input") saveMark();
    return;
  }
  if (state.view === "grid") {
    const moves = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1] };
    if (moves[event.key]) { event.preventDefault(); moveCursor(...moves[event.key]); }
    else if (event.key === "Enter") { event.preventDefault(); openCursor(); }
  } else if (state.view === "answer") {
    if (event.key === "]" || event.key === "n") step(1);
    else if (event.key === "[" || event.key === "p") step(-1);
  }
});

window.addEventListener("DOMContentLoaded", () => {
  $("show-grid").addEventListener("click", () => { show("grid"); renderGrid(); });
  $("show-agreement").addEventListener("click", showAgreement);
  $("back").addEventListener("click", () => { show("grid"); renderGrid(); });
  $("prev").addEventListener("click", () => step(-1));
  $("next").addEventListener("click", () => step(1));
  $("mark-save").addEventListener("click", saveMark);
  $("feedback-save").addEventListener("click", () => change("feedback", $("feedback").value, "Feedback saved."));
  $("approve-answer").addEventListener("click", () =>
    change("approved", !state.answer.reviewed.approved, "Approval saved."));
  $("approve-sheet").addEventListener("click", () => {
    const a = state.answer;
    post("/api/approve", { sheet: a.sheet, value: !a.sheet_approved }, "Sheet approval saved.");
  });
  $("clear").addEventListener("click", () => {
    const a = state.answer;
    post("/api/clear", { sheet: a.sheet, q_id: a.q_id }, "Your decision is cleared; the model's marking stands.");
  });
  loadClass().catch((e) => say(e.message, true));
});
