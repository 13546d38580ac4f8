// The review page: the class grid, one answer at a time, and the calibration panel.
// Everything comes from the JSON API of `quorvan review`; every request carries the token.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const MODE_KEY = "quorvan-review-mode";
const $ = (id) => document.getElementById(id);

const state = {
  data: null,           // GET /api/class
  order: [],            // sheets in the grid's order
  sort: { key: null, dir: 1 },
  cursor: { row: 0, col: 0 },
  answer: null,         // GET /api/answer of the open answer
  shown: { mark: "", feedback: "" },  // what the boxes showed when the answer was drawn
  view: "grid",
  mode: readMode(),     // "student" or "question": the way next/previous go
  done: [],             // {sheet, q_id} changed in this session, latest last: what z undoes from the grid
};

function readMode() {
  try {
    return localStorage.getItem(MODE_KEY) === "question" ? "question" : "student";
  } catch (e) {
    return "student";
  }
}

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
  if (!response.ok) {
    const error = new Error((data.error || "").trim() || `${response.status} ${response.statusText}`);
    error.status = response.status;
    throw error;
  }
  return data;
}

// Keys come faster than answers: each action waits for the one before, so a
// key always acts on what the previous one left on the screen.
let queue = Promise.resolve();
let pending = 0;
function run(action) {
  pending += 1;
  document.documentElement.dataset.pending = String(pending);
  queue = queue.then(action).catch((e) => say(e.message, true)).finally(() => {
    pending -= 1;
    document.documentElement.dataset.pending = String(pending);
  });
  return queue;
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

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  node.append(...children.filter((c) => c !== null && c !== undefined));
  return node;
}

function badge(kind) {
  return el("span", {
    className: "badge " + kind,
    textContent: { not_marked: "not marked", changed_paper: "changed paper", overridden: "overridden",
                   approved: "approved", look_again: "look again", suspect: "suspect",
                   not_answered: "not answered" }[kind] || kind,
  });
}

// A cell the parse found no answer for, and that has no mark of the teacher.
// A server without `state` marks an unattempted question 0: it is shown as not answered all the same.
function notAnswered(cell) {
  return cell.state ? cell.state === "not_answered" : !cell.answered && cell.awarded !== null;
}

// Whether the answer can be opened: every cell of a sheet that was read, once the server says its state.
function openable(cell) {
  return cell.answered || (cell.state !== undefined && cell.state !== "unread");
}

function reviewedCell(cell, sheet) {
  return sheet.approved || cell.badges.includes("overridden") || cell.badges.includes("approved");
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
  if (notAnswered(cell)) return -2;
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
    const th = el("th", { textContent: c.label });
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
        if (sheet.student_id && sheet.student_id !== sheet.name) td.appendChild(el("small", { textContent: sheet.student_id }));
        if (sheet.flags.length) td.appendChild(badge("suspect"));
        if (sheet.approved) td.appendChild(badge("approved"));
      } else if (c.key === "total") {
        td.textContent = fmt(sheet.total);
      } else if (c.key === "status") {
        td.className = "status";
        td.title = sheet.failure;
        const approve = el("button", {
          type: "button", className: "approve-row", textContent: sheet.approved ? "Withdraw" : "Approve",
          title: (sheet.approved ? "Withdraw the approval of " : "Approve the whole sheet of ") + sheet.name + " (a)",
        });
        approve.addEventListener("click", (event) => {
          event.stopPropagation();
          state.cursor = { row: r, col: ci };
          run(() => approveSheetRow(sheet));
        });
        td.append(sheet.status, " ", approve);
      } else {
        const cell = sheet.cells[c.q];
        td.dataset.q = cell.q_id;
        td.dataset.sheet = sheet.sheet;
        if (cell.state === "unread") {
          td.className = "q unread";
          td.title = "The sheet was not read: nothing to mark here";
        } else if (notAnswered(cell)) {
          td.className = "q not-answered";
          td.textContent = "–";
          td.title = `Not answered: the parse found no answer to ${cell.q_id}` +
            (openable(cell) ? "; open it to look at the pages" : "");
        } else {
          td.className = "q";
          td.textContent = fmt(cell.awarded);
          if (cell.state === "unmarked" || (cell.awarded === null && !cell.state)) td.classList.add("unmarked");
        }
        if (reviewedCell(cell, sheet)) td.classList.add("reviewed");
        cell.badges.forEach((b) => td.appendChild(badge(b)));
        td.addEventListener("click", () => { state.cursor = { row: r, col: ci }; run(openCursor); });
      }
      if (r === state.cursor.row && ci === state.cursor.col) td.classList.add("cursor");
      tr.appendChild(td);
    });
    return tr;
  });
  $("grid").tBodies[0].replaceChildren(...rows);
}

// The header's counts: the server's when it gives them, else the same worked out here.
function counts() {
  if (state.data.counts) return state.data.counts;
  const c = { answers: 0, answers_reviewed: 0, answers_approved: 0, sheets: 0, sheets_reviewed: 0, sheets_approved: 0 };
  state.data.sheets.forEach((sheet) => {
    let all = true;
    sheet.cells.forEach((cell) => {
      if (notAnswered(cell) || !openable(cell)) return;
      c.answers += 1;
      const reviewed = cell.badges.includes("overridden") || cell.badges.includes("approved");
      if (reviewed || sheet.approved) c.answers_reviewed += 1;
      else all = false;
      if (cell.badges.includes("approved") || sheet.approved) c.answers_approved += 1;
    });
    c.sheets += 1;
    if (sheet.approved || sheet.sheet_decision || all) c.sheets_reviewed += 1;
    if (sheet.approved) c.sheets_approved += 1;
  });
  return c;
}

function renderCounts() {
  const c = counts();
  $("counts").textContent = `Answers: ${c.answers_reviewed} of ${c.answers} reviewed, ${c.answers_approved} approved · ` +
    `Sheets: ${c.sheets_reviewed} of ${c.sheets} reviewed, ${c.sheets_approved} approved`;
}

function moveCursor(dr, dc) {
  const rows = state.order.length, cols = columns().length;
  state.cursor.row = Math.max(0, Math.min(rows - 1, state.cursor.row + dr));
  state.cursor.col = Math.max(0, Math.min(cols - 1, state.cursor.col + dc));
  renderGrid();
  const td = document.querySelector("#grid td.cursor");
  if (td) td.scrollIntoView({ block: "nearest", inline: "nearest" });
}

async function openCursor() {
  const col = columns()[state.cursor.col];
  const sheet = state.order[state.cursor.row];
  if (!sheet || col.q === undefined) return;
  const cell = sheet.cells[col.q];
  if (!openable(cell)) { say(`${sheet.name} did not answer ${cell.q_id}.`, false); return; }
  await openAnswer(sheet.sheet, cell.q_id);
}

async function approveSheetRow(sheet) {
  const value = !sheet.approved;
  await api("/api/approve", { sheet: sheet.sheet, value });
  remember(sheet.sheet, "");
  say(value ? `Approved the whole sheet of ${sheet.name}.` : `Withdrew the approval of ${sheet.name}'s sheet.`, false);
  await loadClass();
}

async function loadClass() {
  state.data = await api("/api/class");
  $("where").textContent = `${state.data.outdir} — reviewing as ${state.data.reviewer}`;
  applySort();
  renderGrid();
  renderCounts();
}

// ------------------------------------------------------------- the way through

function setMode(mode) {
  state.mode = mode;
  try { localStorage.setItem(MODE_KEY, mode); } catch (e) { /* private window: the choice lasts the visit */ }
  $("mode-student").setAttribute("aria-pressed", String(mode === "student"));
  $("mode-question").setAttribute("aria-pressed", String(mode === "question"));
  if (state.answer) renderPosition();
}

// Every answer that can be opened, in the order next/previous walk: a student's
// answers one after another, or one question down the class.
function sequence() {
  const out = [];
  const add = (sheet, r, q) => {
    const cell = sheet.cells[q];
    if (openable(cell)) out.push({ sheet: sheet.sheet, q_id: cell.q_id, row: r, col: q + 1, cell, owner: sheet });
  };
  const nq = state.data.questions.length;
  if (state.mode === "question") {
    for (let q = 0; q < nq; q++) state.order.forEach((sheet, r) => add(sheet, r, q));
  } else {
    state.order.forEach((sheet, r) => { for (let q = 0; q < nq; q++) add(sheet, r, q); });
  }
  return out;
}

function here(cells) {
  return cells.findIndex((c) => c.sheet === state.answer.sheet && c.q_id === state.answer.q_id);
}

function renderPosition() {
  const cells = sequence();
  const at = here(cells);
  const way = state.mode === "question" ? `${state.answer.q_id} down the class` : `${state.answer.name}'s answers`;
  $("position").textContent = at < 0 ? "" : `${at + 1} of ${cells.length} · ${way}`;
}

async function step(delta) {
  if (!state.answer) return;
  const cells = sequence();
  const next = cells[here(cells) + delta];
  if (!next) { say(delta > 0 ? "This is the last answer." : "This is the first answer.", false); return; }
  await go(next);
}

// The next answer with no decision of the teacher and no approval, after this one (round to the start).
async function nextOpen() {
  const cells = sequence();
  let from = -1;
  if (state.view === "answer" && state.answer) {
    from = here(cells);
  } else {
    const sheet = state.order[state.cursor.row];
    const col = columns()[state.cursor.col];
    if (sheet) {
      from = cells.findIndex((c) => c.sheet === sheet.sheet && (col.q === undefined || c.col === state.cursor.col)) - 1;
    }
  }
  for (let i = 1; i <= cells.length; i++) {
    const c = cells[(from + i + cells.length) % cells.length];
    if (notAnswered(c.cell) || reviewedCell(c.cell, c.owner)) continue;
    if (state.view === "answer" && state.answer && c.sheet === state.answer.sheet && c.q_id === state.answer.q_id) continue;
    await go(c);
    return;
  }
  say("Every answer has your decision or approval.", false);
}

async function go(target) {
  const note = await leaveAnswer();
  if (note === false) return;
  state.cursor = { row: target.row, col: target.col };
  await openAnswer(target.sheet, target.q_id, note || undefined);
}

function show(view) {
  state.view = view;
  $("grid-view").hidden = view !== "grid";
  $("answer-view").hidden = view !== "answer";
  $("agreement-view").hidden = view !== "agreement";
  if (view !== "answer") state.answer = null;
}

async function showGrid() {
  const note = await leaveAnswer();
  if (note === false) return;
  show("grid");
  renderGrid();
  if (note) say(note, false);
  const td = document.querySelector("#grid td.cursor");
  if (td) td.scrollIntoView({ block: "nearest", inline: "nearest" });
}

// ---------------------------------------------------------------- answer

// A message to keep on the screen replaces the one there; none clears it.
async function openAnswer(sheet, q, message) {
  try {
    const a = await api(`/api/answer?sheet=${sheet}&q=${encodeURIComponent(q)}`);
    say(message || "", false);
    state.answer = null;
    show("answer");
    state.answer = a;
    renderAnswer(a, true);
    window.scrollTo(0, 0);
  } catch (e) {
    say(e.message, true);
  }
}

// The mark and feedback typed and not yet saved.
function unsaved() {
  if (!state.answer) return [];
  const out = [];
  // An emptied box is no mark to save (Clear my decision takes the teacher's mark away).
  const mark = $("mark-input").value.trim();
  if (mark !== "" && mark !== state.shown.mark && Number(mark.replace(",", ".")) !== Number(state.shown.mark || NaN)) {
    out.push("mark");
  }
  if ($("feedback").value !== state.shown.feedback) out.push("feedback");
  return out;
}

// Before moving away from an answer, what was typed is saved: false when it could
// not be (the teacher stays, with the reason), else the words saying what was saved.
async function leaveAnswer() {
  const fields = unsaved();
  if (state.view !== "answer" || !fields.length) return "";
  const a = state.answer;
  try {
    if (fields.includes("mark")) {
      await api("/api/change", { sheet: a.sheet, q_id: a.q_id, field: "awarded", value: markValue() });
      remember(a.sheet, a.q_id);
    }
    if (fields.includes("feedback")) {
      await api("/api/change", { sheet: a.sheet, q_id: a.q_id, field: "feedback", value: $("feedback").value });
      remember(a.sheet, a.q_id);
    }
  } catch (e) {
    say(`Not moved on: your ${fields.join(" and ")} for ${a.q_id} could not be saved: ${e.message}`, true);
    return false;
  }
  await loadClass();
  return `Saved your ${fields.join(" and ")} for ${a.q_id} before moving on.`;
}

// The mark as typed: the server reads "2.5" and "2,5" alike and says what it refuses.
function markValue() {
  const raw = $("mark-input").value.trim();
  return raw === "" ? null : raw;
}

function pageImage(a, p) {
  const img = el("img", { alt: `page ${p}`, src: `/api/page.png?sheet=${a.sheet}&page=${p}&token=${TOKEN}` });
  const read = (a.page_reading || {})[String(p)];
  if (!read || !read.note) return img;
  // A page read badly is flagged on its image: its text may not be what was written.
  const figure = el("figure", { className: read.reliable ? "" : "unreliable" },
                    el("figcaption", { textContent: `Page ${p}: ${read.note}` }), img);
  return figure;
}

function showPages(a, pages) {
  $("pages").replaceChildren(...pages.map((p) => pageImage(a, p)));
  $("page-chooser").querySelectorAll("button").forEach((b) => {
    b.setAttribute("aria-pressed", String(pages.includes(Number(b.dataset.page))));
  });
}

// Buttons for every page of the sheet: where the parse found no answer, the
// teacher looks for it; elsewhere an answer may have gone on past its pages.
function renderPageChooser(a) {
  const count = a.sheet_pages || 0;
  const chooser = $("page-chooser");
  const answered = a.answered !== false;
  if (count < 1 || (answered && count <= a.pages.length)) {
    chooser.hidden = true;
    chooser.replaceChildren();
    return;
  }
  const buttons = [];
  for (let p = 1; p <= count; p++) {
    const b = el("button", { type: "button", textContent: `Page ${p}` });
    b.dataset.page = p;
    b.addEventListener("click", () => showPages(a, [p]));
    buttons.push(b);
  }
  chooser.replaceChildren(el("span", { textContent: answered ? "Other pages: " : "Look on: " }), ...buttons);
  chooser.hidden = false;
}

function renderAnswer(a, withPages) {
  const answered = a.answered !== false;
  $("answer-title").textContent = `${a.name} — ${a.q_id}`;
  $("answer-badges").replaceChildren(...a.badges.map(badge), ...(answered ? [] : [badge("not_answered")]));
  if (withPages) {
    renderPageChooser(a);
    showPages(a, answered ? a.pages : (a.sheet_pages ? [1] : []));
  }
  renderPosition();
  $("question").textContent = a.question;
  $("reference").textContent = a.reference_answer;
  $("no-answer").hidden = answered;
  $("no-answer").textContent = answered ? "" :
    `The parse found no answer to ${a.q_id}. Look on the pages; if the student answered it, type a mark or tick the criteria.`;
  $("answer-text").hidden = !answered;
  $("answer-text").textContent = a.text || "(no text)";
  const flags = [...a.sheet_flags, ...a.flags].map((f) => el("p", { className: "flag", textContent: f.note }));
  if (a.failure) flags.push(el("p", { className: "flag", textContent: "Not marked: " + a.failure }));
  $("flags").replaceChildren(...flags);
  $("look-again").hidden = !a.reviewed.look_again;

  const ticked = new Set(a.reviewed.criteria_met);
  const byModel = new Set(a.model.criteria_met);
  $("criteria").tBodies[0].replaceChildren(...a.criteria.map((c, i) => {
    const box = el("input", { type: "checkbox", className: "crit", checked: ticked.has(i) });
    box.dataset.index = i;
    box.addEventListener("change", () => run(saveTicks));
    const label = el("label", { className: "tick-label", title: i < 9 ? `key ${i + 1}` : "" }, box,
                     el("span", { className: "key", textContent: String(i + 1) }));
    return el("tr", {},
      el("td", { className: "tick" }, label),
      el("td", { className: "tick", textContent: byModel.has(i) ? "✓" : "" }),
      el("td", { textContent: c.statement }),
      el("td", { textContent: fmt(c.mark) }));
  }));

  state.shown.mark = a.reviewed.awarded === null ? "" : fmt(a.reviewed.awarded);
  state.shown.feedback = a.reviewed.feedback;
  $("mark-input").value = state.shown.mark;
  $("mark-max").textContent = fmt(a.max);
  $("model-mark").textContent = a.model.awarded === null ? "the model gave no mark" : `the model gave ${fmt(a.model.awarded)}`;
  $("feedback").value = a.reviewed.feedback;
  $("model-feedback-note").textContent = a.decision && a.decision.feedback !== null ? "your feedback (the model's is replaced)" : "the model's feedback";
  $("approve-answer").textContent = a.reviewed.approved ? "Withdraw approval" : "Approve answer";
  $("approve-sheet").textContent = a.sheet_approved ? "Withdraw sheet approval" : "Approve whole sheet";
  $("history").replaceChildren(...historyLines(a).map((text) => el("li", { textContent: text })));
}

// ---------------------------------------------------------------- history

function when(at) {
  const d = new Date(at);
  if (Number.isNaN(d.getTime())) return at;
  const time = `${d.getHours()}:${String(d.getMinutes()).padStart(2, "0")}`;
  const now = new Date();
  if (d.toDateString() === now.toDateString()) return time;
  const options = { day: "numeric", month: "short" };
  if (d.getFullYear() !== now.getFullYear()) options.year = "numeric";
  return `${d.toLocaleDateString(undefined, options)} ${time}`;
}

function listing(items) {
  if (items.length < 2) return items.join("");
  return items.slice(0, -1).join(", ") + " and " + items[items.length - 1];
}

function phrase(e, max) {
  const q = e.q_id;
  const of = q ? ` of ${q}` : " of the sheet";
  switch (e.field) {
    case "awarded":
      return e.new === null ? `cleared the mark${of}` : `set ${q} to ${fmt(e.new)}${max !== null ? " of " + fmt(max) : ""}`;
    case "criteria_met":
      if (e.new === null) return `went back to the model's ticks on ${q}`;
      if (!e.new.length) return `unticked every criterion${of}`;
      return `ticked ${e.new.length === 1 ? "criterion" : "criteria"} ${listing(e.new.map((i) => String(i + 1)))}${of}`;
    case "feedback":
      if (e.new === null) return `cleared the feedback${of}`;
      return e.new === "" ? `emptied the feedback${of}` : `wrote feedback for ${q}`;
    case "approved":
      if (e.new === null) return `cleared the approval${of}`;
      if (!q) return e.new ? "approved the sheet" : "withdrew the approval of the sheet";
      return e.new ? `approved ${q}` : `withdrew the approval of ${q}`;
    default:
      return `changed ${e.field}${of}`;
  }
}

// One line per request (its events share reviewer and time), newest first.
function historyLines(a) {
  const groups = [];
  a.history.forEach((e) => {
    const last = groups[groups.length - 1];
    if (last && last.at === e.at && last.reviewer === e.reviewer && last.q_id === e.q_id) last.events.push(e);
    else groups.push({ at: e.at, reviewer: e.reviewer, q_id: e.q_id, events: [e] });
  });
  const max = (q) => (q === a.q_id ? a.max : null);
  return groups.reverse().map((g) => {
    const ticks = g.events.find((e) => e.field === "criteria_met" && e.new !== null);
    const parts = g.events.map((e) => {
      // Ticking sets the mark too: said once, as the mark the ticks give.
      if (ticks && e.field === "awarded" && e.new !== null) return null;
      return phrase(e, max(e.q_id));
    }).filter(Boolean);
    const mark = ticks && g.events.find((e) => e.field === "awarded" && e.new !== null);
    const sum = mark ? ` (${fmt(mark.new)}${max(mark.q_id) !== null ? " of " + fmt(max(mark.q_id)) : ""})` : "";
    return `${g.reviewer} ${listing(parts)}${sum}, ${when(g.at)}`;
  });
}

// ---------------------------------------------------------------- changes

function remember(sheet, q_id) {
  state.done.push({ sheet, q_id });
}

// Draws the answer the server sent back, keeping what is typed and not saved in
// the boxes the change did not write.
function redraw(answer, wrote) {
  const typed = { mark: $("mark-input").value, feedback: $("feedback").value };
  const open = unsaved();
  state.answer = answer;
  renderAnswer(answer, false);
  if (open.includes("mark") && !wrote.includes("mark")) $("mark-input").value = typed.mark;
  if (open.includes("feedback") && !wrote.includes("feedback")) $("feedback").value = typed.feedback;
}

async function post(path, body, done, wrote) {
  const a = state.answer;
  try {
    const result = await api(path, body);
    remember(body.sheet, body.q_id || "");
    if (a && state.answer === a) {
      // A decision on the whole sheet sends no answer back: the open one is asked for again.
      redraw(result.answer || await api(`/api/answer?sheet=${a.sheet}&q=${encodeURIComponent(a.q_id)}`), wrote || []);
    }
    say(result.warning || done, Boolean(result.warning));
    await loadClass();
    return true;
  } catch (e) {
    // What stands is shown again (a refused mark does not stay in the box), with the reason.
    if (a && state.answer === a) {
      try {
        redraw(await api(`/api/answer?sheet=${a.sheet}&q=${encodeURIComponent(a.q_id)}`), wrote || []);
      } catch (ignored) { /* the reason below says enough */ }
    }
    say(e.message, true);
    return false;
  }
}

function change(field, value, done, wrote) {
  const a = state.answer;
  return post("/api/change", { sheet: a.sheet, q_id: a.q_id, field, value }, done, wrote);
}

function saveTicks() {
  if (!state.answer) return;
  const ticked = [...document.querySelectorAll("#criteria input.crit")].filter((b) => b.checked)
    .map((b) => Number(b.dataset.index));
  return change("criteria_met", ticked, "Ticks saved; the mark follows them.", ["mark"]);
}

function toggleCriterion(n) {
  const box = document.querySelectorAll("#criteria input.crit")[n - 1];
  if (!box) { say(`${state.answer.q_id} has no criterion ${n}.`, true); return; }
  box.checked = !box.checked;
  return saveTicks();
}

function saveMark() {
  if (!state.answer) return;
  const value = markValue();
  if (value === null) { say("Type a mark first.", true); return; }
  return change("awarded", value, "Mark saved.", ["mark"]);
}

function saveFeedback() {
  if (!state.answer) return;
  return change("feedback", $("feedback").value, "Feedback saved.", ["feedback"]);
}

async function saveAll() {
  const fields = unsaved();
  if (!fields.length) { say("Nothing to save: the mark and feedback are as stored.", false); return; }
  if (fields.includes("mark") && markValue() === null) { say("Type a mark first.", true); return; }
  if (fields.includes("mark") && !await change("awarded", markValue(), "Mark saved.", ["mark"])) return;
  if (fields.includes("feedback") && !await saveFeedback()) return;
  say(`Saved your ${fields.join(" and ")} for ${state.answer.q_id}.`, false);
}

function approveAnswer() {
  if (!state.answer) return;
  const value = !state.answer.reviewed.approved;
  return change("approved", value, value ? "Approval saved." : "Approval withdrawn.");
}

function approveSheet() {
  const a = state.answer;
  return post("/api/approve", { sheet: a.sheet, value: !a.sheet_approved }, "Sheet approval saved.");
}

function clearDecision() {
  const a = state.answer;
  return post("/api/clear", { sheet: a.sheet, q_id: a.q_id }, "Your decision is cleared; the model's marking stands.",
              ["mark", "feedback"]);
}

function keepMark() {
  const a = state.answer;
  return post("/api/keep", { sheet: a.sheet, q_id: a.q_id }, "Your mark is kept; the look-again flag is cleared.");
}

// On an answer: its latest change, or the sheet's approval when that came later
// in this session. In the class: the latest change made in this session.
async function undo() {
  let target = null;
  const a = state.view === "answer" ? state.answer : null;
  for (let i = state.done.length - 1; i >= 0; i--) {
    const d = state.done[i];
    if (!a || (d.sheet === a.sheet && (d.q_id === a.q_id || d.q_id === ""))) { target = { ...d, index: i }; break; }
  }
  if (!target && a) target = { sheet: a.sheet, q_id: a.q_id, index: -1 };
  if (!target) { say("Nothing changed in this visit to undo: open an answer to undo its latest change.", false); return; }
  const sheetName = (state.data.sheets.find((s) => s.sheet === target.sheet) || {}).name || "the sheet";
  try {
    const result = await api("/api/undo", { sheet: target.sheet, q_id: target.q_id });
    if (target.index >= 0) state.done.splice(target.index, 1);
    const what = target.q_id ? `your latest change to ${target.q_id} of ${sheetName}` : `your latest decision on ${sheetName}'s sheet`;
    if (a && state.answer === a) {
      const fresh = result.answer && target.q_id === a.q_id ? result.answer :
        await api(`/api/answer?sheet=${a.sheet}&q=${encodeURIComponent(a.q_id)}`);
      redraw(fresh, []);
    }
    say(result.warning || `Undid ${what}.`, Boolean(result.warning));
    await loadClass();
  } catch (e) {
    // Nothing stands to undo there any more: the next z goes on to the change before.
    if (e.status === 400 && target.index >= 0) state.done.splice(target.index, 1);
    say(e.message, true);
  }
}

// -------------------------------------------------------------- calibration

function percent(v) { return v === null || v === undefined ? "–" : `${Math.round(v * 100)}%`; }
function fixed(v) { return v === null || v === undefined ? "–" : v.toFixed(2); }

function table(caption, head, rows, className) {
  return el("div", { className: "table-box" }, el("table", { className: className || "" },
    el("caption", { textContent: caption }),
    el("thead", {}, el("tr", {}, ...head.map((h) => el("th", { scope: "col", textContent: h })))),
    el("tbody", {}, ...rows)));
}

function row(...cells) {
  return el("tr", {}, ...cells.map((c) => (c instanceof Node ? c : el("td", { textContent: String(c) }))));
}

const TOO_FEW = 10;

// Exact agreement per question as bars; a question on too few answers gets no bar.
function agreementChart(report) {
  const entries = Object.entries(report.questions);
  const ns = "http://www.w3.org/2000/svg";
  const rowHeight = 26, labelWidth = 44, barWidth = 200, width = labelWidth + barWidth + 130;
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("viewBox", `0 0 ${width} ${entries.length * rowHeight + 8}`);
  svg.setAttribute("role", "img");
  svg.setAttribute("aria-label", "Exact agreement by question");
  svg.classList.add("chart");
  const add = (tag, attrs, text) => {
    const node = document.createElementNS(ns, tag);
    Object.entries(attrs).forEach(([k, v]) => node.setAttribute(k, v));
    if (text !== undefined) node.textContent = text;
    svg.appendChild(node);
    return node;
  };
  entries.forEach(([q, f], i) => {
    const y = 4 + i * rowHeight;
    add("text", { x: 0, y: y + 16, class: "label" }, q);
    add("rect", { x: labelWidth, y: y + 3, width: barWidth, height: 16, class: "track" });
    if (f.n >= TOO_FEW && f.exact !== null) {
      add("rect", { x: labelWidth, y: y + 3, width: Math.max(1, f.exact * barWidth), height: 16, class: "bar" });
      add("text", { x: labelWidth + barWidth + 6, y: y + 16, class: "value" }, `${percent(f.exact)} of ${f.n}`);
    } else {
      add("text", { x: labelWidth + barWidth + 6, y: y + 16, class: "value small" }, `too few (n = ${f.n})`);
    }
  });
  return el("figure", { className: "chart-box" }, el("figcaption", { textContent: "Exact agreement by question" }), svg);
}

function renderAgreement(report) {
  const box = $("agreement");
  const o = report.overall;
  const parts = [];
  if (!o.n) {
    parts.push(el("p", { className: "notice", textContent:
      "Nothing to compare yet: no answer has both the model's mark and yours. Set marks on answers, or import them with quorvan agreement --teacher-marks." }));
  }
  parts.push(table("Overall", ["Answers compared", "Exact", "Within 1 mark", "Mean diff.", "QWK"],
                   [row(o.n, percent(o.exact), percent(o.within_one), fixed(o.mean_abs_diff), fixed(o.qwk))], "overall"));
  parts.push(table("By question", ["Question", "Answers", "Exact", "Within 1 mark", "Mean diff.", "QWK"],
    Object.entries(report.questions).map(([q, f]) => {
      if (f.n < TOO_FEW) {
        return row(q, f.n, el("td", { colSpan: 4, className: "too-few", textContent: `sample too small (n < ${TOO_FEW})` }));
      }
      return row(q, f.n, percent(f.exact), percent(f.within_one), fixed(f.mean_abs_diff), fixed(f.qwk));
    }), "questions"));
  parts.push(agreementChart(report));
  if (report.criteria.length) {
    parts.push(table("Criteria you ticked differently", ["Question", "Criterion", "Answers", "Model only", "You only"],
      report.criteria.map((c) => row(c.question, el("td", { textContent: `${c.index + 1}. ${c.statement}` }),
                                     c.n, c.model_only, c.teacher_only)), "criteria"));
  }
  if (report.largest_differences.length) {
    parts.push(table("Largest differences", ["Student", "Question", "Model", "You", "Difference"],
      report.largest_differences.map((d) => {
        const who = [d.name, d.student_id].filter(Boolean).join(" ") || d.sheet;
        const open = el("button", { type: "button", className: "link", textContent: who });
        open.addEventListener("click", () => run(async () => { state.answer = null; await openAnswer(d.sheet_id, d.question); }));
        return row(el("td", {}, open), d.question, fmt(d.model), fmt(d.teacher), fmt(Math.abs(d.model - d.teacher)));
      }), "largest"));
  } else if (o.n) {
    parts.push(el("p", { textContent: "The model gave your mark on every answer you both marked." }));
  }
  parts.push(el("p", { className: "muted", textContent:
    "QWK, quadratic weighted kappa: 1 = the same marks, 0 = no closer than chance, below 0 = further apart than chance." }));
  box.replaceChildren(...parts);
}

async function showAgreement() {
  const note = await leaveAnswer();
  if (note === false) return;
  show("agreement");
  say(note || "", false);
  const box = $("agreement");
  box.textContent = "Loading…";
  try {
    renderAgreement(await api("/api/agreement"));
  } catch (e) {
    box.textContent = e.message;
  }
}

// ---------------------------------------------------------------- wiring

function typing(target) {
  return target instanceof HTMLInputElement && target.type !== "checkbox" || target instanceof HTMLTextAreaElement ||
    target instanceof HTMLSelectElement;
}

function setHelp(open) {
  $("help").hidden = !open;
  if (open) $("help-close").focus({ preventScroll: true });
}

document.addEventListener("keydown", (event) => {
  if (event.ctrlKey && event.key === "Enter" && event.target.id === "feedback") {
    event.preventDefault();
    event.target.blur();
    run(saveFeedback);
    return;
  }
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if (!$("help").hidden) {
    if (event.key === "Escape" || event.key === "?") { event.preventDefault(); setHelp(false); }
    return;
  }
  if (event.key === "Escape") {
    if (typing(event.target)) event.target.blur();
    if (state.view !== "grid") run(showGrid);
    return;
  }
  if (typing(event.target)) {
    if (event.key === "Enter" && event.target.id === "mark-input") {
      event.preventDefault();
      // Out of the box, so the next key (n, a, …) is a key again.
      event.target.blur();
      run(saveMark);
    }
    return;
  }
  // A focused button or link does its own Enter and Space.
  const onControl = event.target instanceof HTMLButtonElement || event.target instanceof HTMLAnchorElement ||
    event.target.tagName === "SUMMARY";
  if (onControl && (event.key === "Enter" || event.key === " ")) return;
  const key = event.key;
  if (key === "?") { event.preventDefault(); setHelp(true); return; }
  if (state.view === "grid" && state.data) {
    const moves = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1] };
    if (moves[key]) { event.preventDefault(); moveCursor(...moves[key]); }
    else if (key === "Enter") { event.preventDefault(); run(openCursor); }
    else if (key === "a") {
      const sheet = state.order[state.cursor.row];
      if (sheet) run(() => approveSheetRow(sheet));
    } else if (key === "u") run(nextOpen);
    else if (key === "z") run(undo);
  } else if (state.view === "answer" && state.answer) {
    if (key === "]" || key === "n") run(() => step(1));
    else if (key === "[" || key === "p") run(() => step(-1));
    else if (key === "u") run(nextOpen);
    else if (key === "z") run(undo);
    else if (key === "a") run(approveAnswer);
    else if (key === "s") run(saveAll);
    else if (key === "m") {
      event.preventDefault();  // the m itself is not typed into the box
      $("mark-input").focus();
      $("mark-input").select();
    } else if (/^[1-9]$/.test(key)) run(() => toggleCriterion(Number(key)));
  }
});

window.addEventListener("beforeunload", (event) => {
  if (!unsaved().length) return;
  event.preventDefault();
  event.returnValue = "";
});

window.addEventListener("DOMContentLoaded", () => {
  document.documentElement.dataset.pending = "0";
  setMode(state.mode);
  $("mode-student").addEventListener("click", () => setMode("student"));
  $("mode-question").addEventListener("click", () => setMode("question"));
  $("show-grid").addEventListener("click", () => run(showGrid));
  $("show-agreement").addEventListener("click", () => run(showAgreement));
  $("show-help").addEventListener("click", () => setHelp(true));
  $("help-close").addEventListener("click", () => setHelp(false));
  $("help").addEventListener("click", (event) => { if (event.target === $("help")) setHelp(false); });
  $("back").addEventListener("click", () => run(showGrid));
  $("prev").addEventListener("click", () => run(() => step(-1)));
  $("next").addEventListener("click", () => run(() => step(1)));
  $("next-open").addEventListener("click", () => run(nextOpen));
  $("mark-save").addEventListener("click", () => run(saveMark));
  $("feedback-save").addEventListener("click", () => run(saveFeedback));
  $("approve-answer").addEventListener("click", () => run(approveAnswer));
  $("approve-sheet").addEventListener("click", () => run(approveSheet));
  $("undo").addEventListener("click", () => run(undo));
  $("clear").addEventListener("click", () => run(clearDecision));
  $("keep").addEventListener("click", () => run(keepMark));
  run(loadClass);
});
