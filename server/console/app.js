// The front-desk console: sign-in, guest and staff cards, reading and
// clearing, the journal and the encoders' live state. Texts come from texts.js.
import {T, say} from "./texts.js";
import * as api from "./api.js";

const $ = id => document.getElementById(id);
const STAFF_KINDS = {  // each kind's fields besides start, end, option and reason, as the server takes them
  "chief": [], "emergency": [], "building": ["buildings", "list_c", "ext_values", "ext_bytes"],
  "floor": ["number", "floors", "list_c", "ext_bytes"], "clean-district": ["districts", "list_c", "ext_bytes"],
  "long-open": ["ext_bytes"], "install": ["number", "room", "list_a", "list_b", "lock", "ext_bytes"],
  "lost": ["lost_type", "values"], "data": [], "time": ["time"], "guest-leave": [],
};
const NO_PERIOD = new Set(["time"]);
const LISTS = new Set(["floors", "districts", "buildings", "list_c", "ext_values", "ext_bytes", "values"]);
const MAX_ROOMS = 4;
const LAST_ENCODER = "kestrane.encoder";

let session = null;   // the server's answer to GET /v1/session
let encoders = new Map();
let events = null;
let jobs = [];        // the journal, as loaded

// ---- texts and small helpers -------------------------------------------------

function text(path) { return path.split(".").reduce((o, k) => (o ? o[k] : undefined), T) ?? path; }

function applyTexts() {
  document.documentElement.lang = T.lang;
  for (const el of document.querySelectorAll("[data-text]")) el.textContent = text(el.dataset.text);
  for (const el of document.querySelectorAll("[data-text-label]")) el.setAttribute("aria-label", text(el.dataset.textLabel));
}

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "text") e.textContent = v;
    else if (k === "class") e.className = v;
    else if (v !== false && v !== undefined) e.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children) e.append(c);
  return e;
}

// "2026-03-12 12:00" or "2026-03-12T12:00" -> "12 March 12:00", with the
// year when it is not the property's current one.
function wallTime(s) {
  const m = /^(\d{4})-(\d{2})-(\d{2})[ T](\d{2}:\d{2})/.exec(s || "");
  if (!m) return s || "";
  const thisYear = session && session.site.now.startsWith(m[1]);
  return say(thisYear ? T.dateTime : T.dateTimeYear,
             {day: Number(m[3]), month: T.months[Number(m[2]) - 1], year: m[1], time: m[4]});
}

// A journal time (UTC) as the property's wall time, and its day.
function propertyTime(iso) {
  if (!iso) return "";
  const f = new Intl.DateTimeFormat("en-CA", {timeZone: session.site.timezone, year: "numeric", month: "2-digit",
    day: "2-digit", hour: "2-digit", minute: "2-digit", second: "2-digit", hourCycle: "h23"});
  const p = Object.fromEntries(f.formatToParts(new Date(iso)).map(x => [x.type, x.value]));
  return `${p.year}-${p.month}-${p.day} ${p.hour}:${p.minute}:${p.second}`;
}

function addDays(date, n) {  // on "YYYY-MM-DD", free of the browser's own zone
  const d = new Date(date + "T00:00:00Z");
  d.setUTCDate(d.getUTCDate() + n);
  return d.toISOString().slice(0, 10);
}

function roomsText(rooms) {
  return say(rooms.length === 1 ? T.guest.roomOne : T.guest.roomMany, {list: rooms.join(", ")});
}

function show(box, message, ok, extra) {
  box.replaceChildren(el("p", {class: ok ? "ok" : "bad", text: message}));
  if (extra) box.append(extra);
}

// Runs `work` with the buttons disabled: a double click sends nothing twice.
async function busy(buttons, work) {
  if (buttons.some(b => b.disabled)) return;
  buttons.forEach(b => { b.disabled = true; });
  try { return await work(); } finally { buttons.forEach(b => { b.disabled = false; }); }
}

// What a job's answer means for the desk, in words. Null when it went well.
function outcomeText(r) {
  if (r.status === 0) return T.outcome.offline;
  if (r.status === 409) return T.outcome.busy;
  if (r.status === 503) return T.outcome.journal;
  if (r.status === 429) return T.outcome.tooMany;
  if (r.status === 403) return say(T.outcome.notAllowed, {detail: r.body?.detail ?? ""});
  if (r.status >= 400) return say(T.outcome.invalid, {detail: r.body?.detail ?? String(r.status)});
  const job = r.body;
  if (job.state === "ok") return null;
  if (job.state === "expired") return T.outcome.expired;
  if (job.state === "unknown") return T.outcome.unknown;
  const name = job.result?.name ?? "";
  if (name === "KS_ERR_NOT_CLEARED") return T.notBlank;
  if (name === "KS_ERR_OPEN_OR_NO_DEV" || name === "KS_ERR_COMM") return T.outcome.noDevice;
  return say(T.outcome.failed, {error: job.error ?? "", code: name});
}

// ---- encoders ---------------------------------------------------------------

function encoderState(e) { return !e.online ? "offline" : e.busy ? "busy" : "ready"; }

function renderEncoderChoices() {
  const last = localStorage.getItem(LAST_ENCODER);
  for (const select of document.querySelectorAll("select[data-encoder]")) {
    // Encoders arrive one by one: the desk's last choice wins once it is there.
    const chosen = last && encoders.has(last) ? last : select.value;
    select.replaceChildren(...[...encoders.values()].map(e => el("option", {value: e.id,
      text: say(T.encoderOption, {id: e.id, state: T.encoderState[encoderState(e)]})})));
    if (chosen && encoders.has(chosen)) select.value = chosen;
  }
  const jsel = $("journal-encoder"), jv = jsel.value;
  jsel.replaceChildren(el("option", {value: "", text: T.journal.all}),
                       ...[...encoders.keys()].map(id => el("option", {value: id, text: id})));
  jsel.value = jv;
  const tbody = $("encoders-table").tBodies[0];
  tbody.replaceChildren(...[...encoders.values()].map(e => {
    const state = encoderState(e);
    return el("tr", {"data-encoder": e.id}, el("th", {scope: "row", text: e.id}),
      el("td", {class: state, text: T.encoderState[state]}), el("td", {text: e.queue}), el("td", {text: e.medium}),
      el("td", {text: e.device}), el("td", {text: e.worker?.restarts ?? 0}));
  }));
}

function encoderChanged(e) {
  const before = encoders.get(e.id);
  encoders.set(e.id, e);
  if (before) {
    const time = new Date().toTimeString().slice(0, 8);
    const log = [];
    if (before.online && !e.online) log.push(say(T.encoders.wentOffline, {time, id: e.id}));
    if ((e.worker?.restarts ?? 0) > (before.worker?.restarts ?? 0))
      log.push(say(T.encoders.restarted, {time, id: e.id, n: e.worker.restarts}));
    if (!before.online && e.online) log.push(say(T.encoders.cameBack, {time, id: e.id}));
    const list = $("encoders-changes");
    if (log.length && list.firstElementChild?.dataset.empty) list.replaceChildren();
    for (const line of log) list.prepend(el("li", {text: line}));
  }
  renderEncoderChoices();
}

function listen() {
  if (events) events.close();
  events = new EventSource("/v1/events");
  events.addEventListener("encoder", m => encoderChanged(JSON.parse(m.data)));
  events.addEventListener("job", m => {
    const job = JSON.parse(m.data);
    if (session?.role !== "manager") return;
    const i = jobs.findIndex(j => j.id === job.id);
    if (i >= 0) jobs[i] = job; else jobs.push(job);
    if (location.hash === "#journal") renderJournal();
  });
  // A stream the server closed for good (the session ended) is asked about once.
  events.onerror = () => { if (events.readyState === EventSource.CLOSED) checkSession(); };
}

// ---- sign-in and pages -----------------------------------------------------------

function signedOut(message) {
  session = null;
  if (events) { events.close(); events = null; }
  api.setSession("");
  $("nav").hidden = $("who").hidden = true;
  $("notice").textContent = message || "";
  showPage("signin");
}

async function checkSession() {
  const r = await api.call("GET", "/v1/session");
  if (r.status === 200) return signedIn(r.body);
  signedOut(session ? T.signIn.ended : "");
}

function signedIn(s) {
  session = s;
  api.setSession(s.csrf, () => signedOut(T.signIn.ended));
  $("notice").textContent = "";
  $("nav").hidden = $("who").hidden = false;
  $("who-name").textContent = say(T.signedInAs, {name: s.name, role: T.roles[s.role] ?? s.role});
  for (const li of document.querySelectorAll("[data-manager]")) li.hidden = s.role !== "manager";
  $("room-names").replaceChildren(...s.site.rooms.map(r => el("option", {value: r})));
  resetGuestForm();
  renderAreas();
  renderStaffFields();
  listen();
  route();
}

function showPage(name) {
  for (const p of document.querySelectorAll("[data-page]")) p.hidden = p.id !== "page-" + name;
  for (const a of document.querySelectorAll("nav a"))
    if (a.getAttribute("href") === "#" + name) a.setAttribute("aria-current", "page");
    else a.removeAttribute("aria-current");
  $("page-" + name).querySelector("h2").focus();
}

function route() {
  if (!session) return showPage("signin");
  const name = (location.hash || "#guest").slice(1);
  const page = ["guest", "read", "staff", "journal", "encoders"].includes(name) ? name : "guest";
  const manager = session.role === "manager";
  $("staff-form").hidden = !manager;
  $("staff-refused").hidden = manager;
  $("journal-filters").hidden = $("journal-table").hidden = !manager;
  $("journal-refused").hidden = manager;
  if (page === "journal" && manager) loadJournal();
  showPage(page);
}

$("signin-form").addEventListener("submit", ev => {
  ev.preventDefault();
  const button = ev.target.querySelector("button");
  busy([button], async () => {
    const r = await api.call("POST", "/v1/session",
                             {body: {name: $("signin-name").value.trim(), password: $("signin-password").value}});
    $("signin-password").value = "";
    if (r.status === 201) {
      $("signin-result").textContent = "";
      return signedIn(r.body);
    }
    $("signin-result").textContent = r.status === 429 ? T.signIn.locked : r.status === 0 ? T.outcome.offline
                                                                         : T.signIn.wrong;
  });
});

$("sign-out").addEventListener("click", () => busy([$("sign-out")], async () => {
  await api.call("DELETE", "/v1/session");
  signedOut(T.signIn.signedOut);
}));

for (const select of document.querySelectorAll("select[data-encoder]"))
  select.addEventListener("change", () => localStorage.setItem(LAST_ENCODER, select.value));

// ---- guest card ------------------------------------------------------------------

let guestKey = null;  // kept across a retry of the same request, renewed when the form changes

function roomInputs() { return [...$("guest-room-list").querySelectorAll("input")]; }

function addRoom() {
  const n = roomInputs().length + 1;
  const id = "guest-room-" + n;
  $("guest-room-list").append(el("div", {class: "room-row"},
    el("label", {for: id, text: n === 1 ? T.guest.room : say(T.guest.roomN, {n})}),
    el("input", {id, list: "room-names", size: 8, autocomplete: "off", "aria-describedby": id + "-error"}),
    el("span", {class: "error", id: id + "-error"})));
  $("guest-add-room").disabled = n >= MAX_ROOMS;
  return $(id);
}

function resetGuestForm() {
  $("guest-room-list").replaceChildren();
  addRoom();
  const today = session.site.now.slice(0, 10);
  $("guest-start").value = `${today}T${session.site.arrival}`;
  $("guest-end").value = `${addDays(today, 1)}T${session.site.departure}`;
  clearErrors($("guest-form"));
  guestKey = null;
}

function renderAreas() {
  const box = $("guest-areas");
  box.replaceChildren(el("legend", {text: T.guest.areas}));
  if (!session.site.areas.length) return box.append(el("p", {text: T.guest.noAreas}));
  session.site.areas.forEach((a, i) => box.append(el("span", {class: "area"},
    el("input", {type: "checkbox", id: "guest-area-" + i, value: a}), " ",
    el("label", {for: "guest-area-" + i, text: a}))));
}

function clearErrors(form) { for (const e of form.querySelectorAll(".error")) e.textContent = ""; }

// A refusal naming a field ("rooms[1]", "end") is shown beside that field.
function fieldError(prefix, field, message) {
  const m = /^rooms\[(\d+)\]$/.exec(field || "");
  const target = m ? $(`${prefix}-room-${Number(m[1]) + 1}-error`) : $(`${prefix}-${field}-error`);
  if (!target) return false;
  target.textContent = message;
  return true;
}

$("guest-add-room").addEventListener("click", () => addRoom().focus());
$("guest-form").addEventListener("input", () => { guestKey = null; });

$("guest-form").addEventListener("submit", ev => {
  ev.preventDefault();
  busy([$("guest-submit")], async () => {
    clearErrors(ev.target);
    const box = $("guest-result");
    box.replaceChildren();
    const inputs = roomInputs().filter(i => i.value.trim());
    if (!inputs.length) {
      fieldError("guest", "rooms[0]", T.guest.needRoom);
      return $("guest-room-1").focus();
    }
    for (const input of inputs) {
      if (!session.site.rooms.includes(input.value.trim())) {
        $(input.id + "-error").textContent = say(T.guest.unknownRoom, {room: input.value.trim()});
        return input.focus();
      }
    }
    const rooms = inputs.map(i => i.value.trim());
    const body = {kind: "guest", rooms, start: $("guest-start").value, end: $("guest-end").value};
    const areas = [...$("guest-areas").querySelectorAll("input:checked")].map(c => c.value);
    if (areas.length) body.areas = areas;
    const encoder = $("guest-encoder").value;
    localStorage.setItem(LAST_ENCODER, encoder);
    guestKey = guestKey || api.newKey();
    const r = await api.job(`/v1/encoders/${encodeURIComponent(encoder)}/cards`, body, guestKey,
                            j => show(box, say(T.outcome.working, {id: j.id}), true));
    if (r.status !== 0) guestKey = null;  // a definite answer: the next request is a new one
    if (r.status === 400 && r.body?.field) {
      const f = r.body.field;
      const message = f.startsWith("rooms") ? (/lock numbers/.test(r.body.detail) ? T.guest.tooManyRooms
                                               : say(T.guest.unknownRoom, {room: rooms[Number(f.slice(6, -1))]}))
                    : f === "end" && /before/.test(r.body.detail) ? T.guest.endBeforeStart : r.body.detail;
      if (fieldError("guest", f, message)) return;
    }
    const problem = outcomeText(r);
    if (!problem) return show(box, say(T.guest.issued, {rooms: roomsText(rooms), end: wallTime(r.body.request.end)}), true);
    if (r.body?.result?.name === "KS_ERR_NOT_CLEARED") {
      const clear = el("button", {type: "button", id: "guest-clear", text: T.clearIt});
      clear.addEventListener("click", () => busy([clear, $("guest-submit")], async () => {
        const c = await api.job(`/v1/encoders/${encodeURIComponent(encoder)}/clear`, undefined, api.newKey());
        const p = outcomeText(c);
        show(box, p || T.clearedNowIssue, !p);
        if (!p) $("guest-submit").focus();
      }));
      show(box, problem, false, clear);
      return clear.focus();
    }
    show(box, problem, false);
  });
});

// ---- read and clear --------------------------------------------------------------

function renderCard(card) {
  const dl = $("read-card");
  dl.replaceChildren();
  if (!card) return;
  const row = (label, value) => dl.append(el("dt", {text: label}), el("dd", {text: value}));
  row(T.read.kind, T.kinds[card.kind] ?? card.kind);
  if (card.rooms) row(T.read.rooms, card.rooms.filter(r => r).join(", "));
  if (card.start) row(T.read.start, wallTime(card.start));
  if (card.end) row(T.read.end, wallTime(card.end));
  if (card.serial) row(T.read.serial, card.serial);
  for (const [k, v] of Object.entries(card))
    if (!["kind", "rooms", "start", "end", "serial"].includes(k))
      row(k, Array.isArray(v) ? v.join(", ") : typeof v === "object" ? JSON.stringify(v) : String(v));
}

async function readOrClear(action) {
  const box = $("read-result");
  const encoder = $("read-encoder").value;
  localStorage.setItem(LAST_ENCODER, encoder);
  box.replaceChildren();
  renderCard(null);
  const r = await api.job(`/v1/encoders/${encodeURIComponent(encoder)}/${action}`, undefined, api.newKey(),
                          j => show(box, say(T.outcome.working, {id: j.id}), true));
  const problem = outcomeText(r);
  if (problem) return show(box, problem, false);
  if (action === "clear") return show(box, T.read.cleared, true);
  const card = r.body.card;
  show(box, card?.kind === "cleared" ? T.read.blank : T.kinds[card?.kind] ?? card?.kind ?? "", true);
  renderCard(card);
}
const readButtons = [$("read-read"), $("read-clear")];
$("read-read").addEventListener("click", () => busy(readButtons, () => readOrClear("read")));
$("read-clear").addEventListener("click", () => busy(readButtons, () => readOrClear("clear")));

// ---- staff cards -------------------------------------------------------------------

let staffKey = null;

function renderStaffFields() {
  const kind = $("staff-kind").value;
  const box = $("staff-fields");
  box.replaceChildren();
  const field = (name, input, hint) => {
    input.id = "staff-" + name;
    input.setAttribute("aria-describedby", `staff-${name}-error`);
    box.append(el("p", {}, el("label", {for: input.id, text: T.staff.fields[name] ?? T.staff[name]}),
      hint ? el("span", {class: "hint", text: ` (${hint}) `}) : " ", input,
      el("span", {class: "error", id: `staff-${name}-error`})));
  };
  const now = session.site.now;
  if (!NO_PERIOD.has(kind)) {
    field("start", el("input", {type: "datetime-local", value: now}));
    field("end", el("input", {type: "datetime-local", value: `${addDays(now.slice(0, 10), 365)}T${session.site.departure}`}));
  }
  for (const name of STAFF_KINDS[kind]) {
    if (name === "time") field(name, el("input", {type: "datetime-local", step: 1, value: now + ":00"}));
    else if (LISTS.has(name)) field(name, el("input", {inputmode: "numeric", size: 16}), T.staff.listHint);
    else field(name, el("input", {type: "number", min: name === "lock" ? 1 : 0, size: 6}));
  }
  const option = el("input", {type: "checkbox", id: "staff-option"});
  box.append(el("p", {}, option, " ", el("label", {for: "staff-option", text: T.staff.option})));
  staffKey = null;
}

$("staff-kind").addEventListener("change", renderStaffFields);
$("staff-form").addEventListener("input", () => { staffKey = null; });

$("staff-form").addEventListener("submit", ev => {
  ev.preventDefault();
  busy([$("staff-submit")], async () => {
    clearErrors(ev.target);
    const box = $("staff-result");
    box.replaceChildren();
    const kind = $("staff-kind").value;
    const body = {kind};
    const reason = $("staff-reason").value.trim();
    if (reason) body.reason = reason;
    else if (kind !== "guest-leave") {
      $("staff-reason-error").textContent = T.staff.needReason;
      return $("staff-reason").focus();
    }
    for (const name of [...(NO_PERIOD.has(kind) ? [] : ["start", "end"]), ...STAFF_KINDS[kind]]) {
      const v = $("staff-" + name).value.trim();
      if (!v) continue;
      body[name] = LISTS.has(name) ? v.split(/[\s,;]+/).filter(x => x).map(Number)
                 : ["start", "end", "time"].includes(name) ? v : Number(v);
    }
    if ($("staff-option").checked) body.option = true;
    const encoder = $("staff-encoder").value;
    localStorage.setItem(LAST_ENCODER, encoder);
    staffKey = staffKey || api.newKey();
    const r = await api.job(`/v1/encoders/${encodeURIComponent(encoder)}/cards`, body, staffKey,
                            j => show(box, say(T.outcome.working, {id: j.id}), true));
    if (r.status !== 0) staffKey = null;
    if (r.status === 400 && r.body?.field && fieldError("staff", r.body.field.replace(/\[\d+\]$/, ""), r.body.detail))
      return;
    const problem = outcomeText(r);
    if (!problem) {
      const end = r.body.request.end;
      return show(box, say(end ? T.staff.issued : T.staff.issuedNoEnd, {kind: T.kinds[kind], end: wallTime(end)}), true);
    }
    show(box, problem, false);
  });
});

// ---- journal ---------------------------------------------------------------------

const COLUMNS = ["created", "encoder", "who", "interface", "action", "kind", "rooms", "end", "state", "serial", "reason"];

function cell(job, column) {
  switch (column) {
  case "created": return propertyTime(job.created);
  case "rooms": return (job.request?.rooms ?? []).join(" ");
  case "end": return job.request?.end ?? "";
  case "state": return job.state + (job.result && job.result.name !== "KS_OK" ? " " + job.result.name : "");
  case "serial": return job.serial ?? "";
  default: return job[column] ?? "";
  }
}

async function loadJournal() {
  busy([$("journal-refresh")], async () => {
    const all = [];
    let next = "/v1/jobs?limit=1000";
    while (next) {
      const r = await api.call("GET", next);
      if (r.status !== 200) return;
      all.push(...r.body.jobs);
      next = r.body.next;
    }
    jobs = all;
    renderJournal();
  });
}

function journalRows() {
  const room = $("journal-room").value.trim(), who = $("journal-who").value.trim().toLowerCase();
  const encoder = $("journal-encoder").value, kind = $("journal-kind").value, day = $("journal-day").value;
  return jobs.filter(j => (!room || (j.request?.rooms ?? []).map(String).includes(room)) &&
                          (!who || j.who.toLowerCase().includes(who)) && (!encoder || j.encoder === encoder) &&
                          (!kind || j.kind === kind) && (!day || propertyTime(j.created).startsWith(day)))
             .sort((a, b) => b.id - a.id);
}

function renderJournal() {
  const rows = journalRows();
  $("journal-table").tBodies[0].replaceChildren(...rows.map(j =>
    el("tr", {}, ...COLUMNS.map(c => el("td", {text: cell(j, c)})))));
  $("journal-count").textContent = rows.length ? say(T.journal.count, {shown: rows.length, total: jobs.length})
                                               : T.journal.empty;
}

function csvField(v) { const s = String(v); return /[",\n\r]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s; }

$("journal-export").addEventListener("click", () => {
  const lines = [COLUMNS.join(","), ...journalRows().map(j => COLUMNS.map(c => csvField(cell(j, c))).join(","))];
  const url = URL.createObjectURL(new Blob([lines.join("\r\n") + "\r\n"], {type: "text/csv"}));
  const a = el("a", {href: url, download: `journal-${session.site.now.slice(0, 10)}.csv`});
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 1000);
});
$("journal-refresh").addEventListener("click", loadJournal);
$("journal-filters").addEventListener("input", renderJournal);

// ---- start -----------------------------------------------------------------------

function start() {
  applyTexts();
  const thead = (table, cols) => table.tHead.replaceChildren(el("tr", {}, ...cols.map(c => el("th", {scope: "col", text: c}))));
  thead($("journal-table"), COLUMNS.map(c => T.journal.columns[c]));
  thead($("encoders-table"), Object.values(T.encoders.columns));
  $("journal-kind").replaceChildren(el("option", {value: "", text: T.journal.all}),
    ...["guest", ...Object.keys(STAFF_KINDS)].map(k => el("option", {value: k, text: T.kinds[k]})));
  $("staff-kind").replaceChildren(...Object.keys(STAFF_KINDS).map(k => el("option", {value: k, text: T.kinds[k]})));
  $("encoders-changes").replaceChildren(el("li", {text: T.encoders.noChanges, "data-empty": "1"}));
  window.addEventListener("hashchange", route);
  checkSession();
}

start();
