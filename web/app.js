// vexo's page: the card, its playlist and the operations, all through the
// JSON API of the running vexo (nothing else is loaded).
"use strict";

const DATA_AREA_START = 0x10000;
const $ = (id) => document.getElementById(id);
let card = null;          // the last listing
let busy = false;

// ---- talking to vexo -------------------------------------------------------

class VexoError extends Error {
  constructor(message, status) { super(message); this.status = status; }
}

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (e) {
    throw new VexoError("vexo does not answer: is it still running?", 0);
  }
  let data = null;
  try { data = await response.json(); } catch (e) { data = null; }
  if (!response.ok) {
    throw new VexoError(explain(data, response.status), response.status);
  }
  return data;
}

// vexo's message, with a few words on what it means for the user.
const HINTS = {
  "CARD FULL": "The card has no room for this song.",
  "TABLE FULL": "The card's playlist cannot take another title.",
  "- NOT SUPPORTED -": "This kind of card does not allow it.",
  "TRANSFER STOPPED": "The operation was stopped.",
  "CARD TOO LARGE": "The file is larger than the card.",
  "PORT IN USE": "Another program uses the port.",
  "NO VALID SAMPLE NUMBER": "That title is no longer on the card.",
};

function explain(data, status) {
  if (!data || !data.message) return "vexo refused the request (HTTP " + status + ").";
  const hint = HINTS[data.message];
  return "Error: " + data.message + (hint ? "\n" + hint : "");
}

function showMessage(text, info) {
  const box = $("message");
  box.textContent = text;
  box.className = info ? "info" : "";
  box.hidden = !text;
}

// After a failure the page shows what the card holds now.
async function fail(error) {
  showMessage(error.message || String(error));
  if (error.status !== 409) await load(true);
}

// ---- the card and its playlist ----------------------------------------------

function formatBytes(n) {
  if (n >= 1048576) return (n / 1048576).toFixed(1) + " MB";
  if (n >= 1024) return (n / 1024).toFixed(0) + " KB";
  return n + " B";
}

async function load(quiet) {
  try {
    card = await api("GET", "/api/card");
  } catch (e) {
    if (!quiet) showMessage(e.message);
    return;
  }
  render();
}

function render() {
  const facts = $("cardFacts");
  if (!card.valid) {
    $("cardName").textContent = "(no playlist on this card)";
    facts.textContent = formatBytes(card.cardSize) + ", " + card.version;
  } else {
    $("cardName").textContent = card.cardName || "(no name)";
    facts.textContent = "type " + card.cardType + " · " + formatBytes(card.cardSize) + " · " +
      formatBytes(card.freeBytes) + " free · " + card.version;
  }
  renderBar();
  renderList();
}

// The card as a bar: the header area, every title where it lies, the free
// stretches between them.
function renderBar() {
  const bar = $("bar");
  bar.textContent = "";
  const size = card.cardSize || 1;
  const add = (kind, start, length, label, number) => {
    const block = document.createElement("div");
    block.className = "block " + kind;
    block.style.left = (100 * start / size) + "%";
    block.style.width = (100 * length / size) + "%";
    block.dataset.start = start;
    block.dataset.size = length;
    block.dataset.label = label;
    if (number) block.dataset.number = number;
    block.addEventListener("mouseenter", () => hover(block));
    block.addEventListener("mouseleave", () => hover(null));
    bar.appendChild(block);
  };
  add("header", 0, Math.min(DATA_AREA_START, size), "Header and playlist table");
  const titles = card.valid ? [...card.titles].sort((a, b) => a.start - b.start) : [];
  let at = DATA_AREA_START;
  for (const t of titles) {
    if (t.start > at) add("free", at, t.start - at, "Free: " + formatBytes(t.start - at));
    add("title", t.start, t.size, t.number + ". " + t.title + " (" + formatBytes(t.size) + ")", t.number);
    at = Math.max(at, t.start + Math.ceil(t.size / 512) * 512);
  }
  if (size > at) add("free", at, size - at, "Free: " + formatBytes(size - at));
}

function hover(block) {
  $("barLabel").textContent = block ? block.dataset.label : "\u00a0";
  for (const row of document.querySelectorAll("#playlist tr.hot")) row.classList.remove("hot");
  if (block && block.dataset.number) {
    const row = document.querySelector('#playlist tr[data-number="' + block.dataset.number + '"]');
    if (row) row.classList.add("hot");
  }
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function button(parent, text, title, action) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = text;
  b.title = title;
  b.className = title.split(" ")[0].toLowerCase();
  b.addEventListener("click", action);
  parent.appendChild(b);
  return b;
}

function renderList() {
  const body = document.querySelector("#playlist tbody");
  body.textContent = "";
  const titles = card.valid ? card.titles : [];
  $("empty").hidden = titles.length !== 0;
  for (const t of titles) {
    const row = document.createElement("tr");
    row.dataset.number = t.number;
    const grip = cell(row, "\u2630", "grip");
    grip.title = "Drag to move";
    grip.addEventListener("mousedown", (e) => startDrag(e, row));
    cell(row, t.number, "num number");
    const name = cell(row, t.title, "title");
    name.addEventListener("dblclick", () => editTitle(row, t));
    cell(row, t.size, "num size");
    cell(row, t.start, "num start");
    const actions = cell(row, "", "actions");
    button(actions, "Rename", "Rename this title", () => editTitle(row, t));
    button(actions, "Read", "Read this title back and download it", () => readTitle(t));
    button(actions, "Delete", "Delete this title", () => deleteTitle(t));
    row.addEventListener("mouseenter", () => {
      const block = document.querySelector('#bar .block[data-number="' + t.number + '"]');
      for (const b of document.querySelectorAll("#bar .hot")) b.classList.remove("hot");
      if (block) { block.classList.add("hot"); $("barLabel").textContent = block.dataset.label; }
    });
    body.appendChild(row);
  }
}

// ---- rename, delete, move ---------------------------------------------------

function editTitle(row, t) {
  if (busy) return;
  const td = row.querySelector("td.title");
  const input = document.createElement("input");
  input.value = t.title;
  input.maxLength = 22;
  input.setAttribute("aria-label", "New title");
  td.textContent = "";
  td.appendChild(input);
  input.focus();
  input.select();
  let done = false;
  const finish = async (save) => {
    if (done) return;
    done = true;
    if (!save || input.value === t.title || input.value === "") { render(); return; }
    try {
      card = await api("PUT", "/api/titles/" + t.number, { title: input.value });
      showMessage("");
      render();
    } catch (e) { await fail(e); }
  };
  input.addEventListener("keydown", (e) => {
    if (e.key === "Enter") finish(true);
    if (e.key === "Escape") finish(false);
  });
  input.addEventListener("blur", () => finish(true));
}

$("renameCard").addEventListener("click", async () => {
  if (!card || busy) return;
  const input = document.createElement("input");
  input.value = card.cardName || "";
  input.maxLength = 36;
  input.id = "cardNameInput";
  if (!await confirmDialog("Rename the card", input)) return;
  try {
    card = await api("PUT", "/api/card", { name: input.value });
    render();
  } catch (e) { await fail(e); }
});

async function deleteTitle(t) {
  if (busy) return;
  if (!await confirmDialog("Delete title " + t.number + "?", t.title)) return;
  try {
    card = await api("DELETE", "/api/titles/" + t.number);
    showMessage("");
    render();
  } catch (e) { await fail(e); }
}

// Dragging a row by its grip with the mouse; dropping it on another row puts
// it in that row's place.
let drag = null;

function startDrag(event, row) {
  if (busy || event.button !== 0) return;
  event.preventDefault();
  drag = { row, from: Number(row.dataset.number), to: null };
  row.classList.add("dragging");
}

document.addEventListener("mousemove", (event) => {
  if (!drag) return;
  for (const r of document.querySelectorAll("#playlist tr.target")) r.classList.remove("target");
  const over = document.elementFromPoint(event.clientX, event.clientY);
  const target = over && over.closest("#playlist tbody tr");
  drag.to = target ? Number(target.dataset.number) : null;
  if (target && target !== drag.row) target.classList.add("target");
});

document.addEventListener("mouseup", async () => {
  if (!drag) return;
  const { from, to } = drag;
  drag = null;
  for (const r of document.querySelectorAll("#playlist tr.dragging, #playlist tr.target")) {
    r.classList.remove("dragging", "target");
  }
  if (to === null || to === from) return;
  try {
    card = await api("POST", "/api/move", { from, to });
    showMessage("");
    render();
  } catch (e) { await fail(e); }
});

// ---- long operations and their progress ------------------------------------

function setBusy(on, text) {
  busy = on;
  $("busy").hidden = !on;
  $("progress").hidden = !on;
  if (text !== undefined) $("progressText").textContent = text;
  for (const b of document.querySelectorAll("main button:not(#stop), #renameCard")) b.disabled = on;
}

function formatTime(seconds) {
  if (seconds < 60) return seconds + " s";
  const m = Math.floor(seconds / 60);
  if (m < 60) return m + " min " + (seconds % 60) + " s";
  return Math.floor(m / 60) + " h " + (m % 60) + " min";
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts an operation vexo runs on its own and follows it to its end.
async function runLong(method, path, body, label) {
  const started = await api(method, path, body);
  setBusy(true, label);
  try {
    for (;;) {
      const p = await api("GET", "/api/progress");
      if (p.busy && p.id === started.id) {
        showProgress(p, label);
      } else if (p.last && p.last.id === started.id) {
        $("progressFill").style.width = "100%";
        if (p.last.result !== 0) throw new VexoError(explain(p.last, 422), 422);
        return p.last.data || {};
      }
      await sleep(250);
    }
  } finally {
    setBusy(false);
  }
}

function showProgress(p, label) {
  $("progressText").textContent = label + (p.step ? ": " + p.step : "") + (p.stopping ? " (stopping)" : "");
  const percent = p.percent || 0;
  $("progressFill").style.width = percent + "%";
  const facts = [percent + " %"];
  if (p.rate) facts.push(formatBytes(p.rate) + "/s");
  if (p.secondsLeft !== undefined) facts.push(formatTime(p.secondsLeft) + " left");
  $("progressFacts").textContent = facts.join(" · ");
}

$("stop").addEventListener("click", () => api("POST", "/api/stop").catch(() => {}));

function download(result) {
  const link = document.createElement("a");
  link.href = "/api/downloads/" + result.download;
  link.download = result.name;
  document.body.appendChild(link);
  link.click();
  link.remove();
}

async function readTitle(t) {
  if (busy) return;
  try {
    download(await runLong("POST", "/api/titles/" + t.number + "/read", undefined, "Reading " + t.title));
    showMessage("Read " + t.title + ".", true);
  } catch (e) { await fail(e); }
}

$("backup").addEventListener("click", async () => {
  if (busy) return;
  try {
    download(await runLong("POST", "/api/backup", { used: $("backupUsed").checked }, "Backup"));
    showMessage("Backup done.", true);
  } catch (e) { await fail(e); }
});

// ---- uploads: songs and backups ---------------------------------------------

function upload(file, purpose, index, count) {
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.open("POST", "/api/uploads?purpose=" + purpose + "&name=" + encodeURIComponent(file.name));
    request.upload.onprogress = (e) => {
      if (!e.lengthComputable) return;
      showProgress({ percent: Math.floor(100 * e.loaded / e.total), step: (index + 1) + " of " + count +
        ": " + file.name }, "Uploading");
    };
    request.onload = () => {
      let data = null;
      try { data = JSON.parse(request.responseText); } catch (e) { data = null; }
      if (request.status === 200) resolve(data);
      else reject(new VexoError(file.name + ": " + explain(data, request.status), request.status));
    };
    request.onerror = () => reject(new VexoError(file.name + ": the upload failed.", 0));
    request.send(file);
  });
}

async function addSongs(files) {
  if (busy || files.length === 0) return;
  const ids = [];
  setBusy(true, "Uploading");
  try {
    for (let i = 0; i < files.length; ++i) ids.push((await upload(files[i], "song", i, files.length)).upload);
  } catch (e) {
    setBusy(false);
    for (const id of ids) api("DELETE", "/api/uploads/" + id).catch(() => {});
    await fail(e);
    return;
  }
  setBusy(false);
  try {
    const plan = await api("POST", "/api/add/plan", { uploads: ids });
    if (!await confirmDialog("Add " + ids.length + (ids.length === 1 ? " song" : " songs") + "?", planTable(plan))) {
      for (const id of ids) await api("DELETE", "/api/uploads/" + id);
      return;
    }
    const result = await runLong("POST", "/api/add", { uploads: ids }, "Adding songs");
    const skipped = result.songs.filter((s) => s.result !== 0);
    showMessage("Added " + result.added + " of " + result.of + " songs." +
      skipped.map((s) => "\nSkipped " + s.name + ": " + s.message).join(""), skipped.length === 0);
    await load();
  } catch (e) { await fail(e); }
}

function planTable(plan) {
  const box = document.createElement("div");
  const table = document.createElement("table");
  for (const step of plan.steps) {
    const row = document.createElement("tr");
    cell(row, step.action === "add" ? "add" : "skip");
    cell(row, step.name);
    cell(row, formatBytes(step.size), "num");
    cell(row, step.message || step.how || "");
    table.appendChild(row);
  }
  box.appendChild(table);
  const sum = document.createElement("p");
  sum.textContent = formatBytes(plan.bytes) + " to send; " + formatBytes(plan.freeAfter) + " free afterwards.";
  box.appendChild(sum);
  return box;
}

$("songFiles").addEventListener("change", (e) => {
  const files = [...e.target.files];
  e.target.value = "";
  addSongs(files);
});

for (const name of ["dragenter", "dragover"]) {
  document.addEventListener(name, (e) => { e.preventDefault(); $("drop").classList.add("over"); });
}
document.addEventListener("dragleave", (e) => {
  if (e.relatedTarget === null) $("drop").classList.remove("over");
});
document.addEventListener("drop", (e) => {
  e.preventDefault();
  $("drop").classList.remove("over");
  if (e.dataTransfer && e.dataTransfer.files.length) addSongs([...e.dataTransfer.files]);
});

$("restoreFile").addEventListener("change", async (e) => {
  const file = e.target.files[0];
  e.target.value = "";
  if (!file || busy) return;
  if (!await confirmDialog("Restore this backup?", "Everything on the card is replaced by " + file.name + ".")) return;
  try {
    setBusy(true, "Uploading");
    const id = (await upload(file, "restore", 0, 1)).upload;
    setBusy(false);
    await runLong("POST", "/api/restore", { uploads: [id] }, "Restoring");
    showMessage("Backup restored.", true);
    await load();
  } catch (e2) { setBusy(false); await fail(e2); }
});

// ---- sync from a folder --------------------------------------------------------

$("syncForm").addEventListener("submit", async (e) => {
  e.preventDefault();
  if (busy) return;
  const folder = $("syncFolder").value.trim();
  if (!folder) return;
  try {
    const plan = await api("POST", "/api/sync/plan", { folder });
    const text = document.createElement("pre");
    text.id = "syncPlan";
    text.textContent = plan.lines.join("\n") +
      (plan.deletesAll ? "\n\nThis deletes every title on the card." : "");
    if (!await confirmDialog("Sync the card with " + folder + "?", text)) return;
    const done = await runLong("POST", "/api/sync", { folder, force: plan.deletesAll }, "Sync");
    showMessage("The card holds " + done.songsOnCard + " of " + done.songs + " songs of " + folder + ".",
                done.songsOnCard === done.songs);
    await load();
  } catch (e2) { await fail(e2); }
});

// ---- the dialog ---------------------------------------------------------------

function confirmDialog(title, content) {
  const dialog = $("dialog");
  $("dialogTitle").textContent = title;
  const body = $("dialogBody");
  body.textContent = "";
  if (typeof content === "string") body.textContent = content;
  else body.appendChild(content);
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true });
    dialog.showModal();
  });
}

// ---- start ---------------------------------------------------------------------

async function start() {
  await load();
  // An operation started elsewhere (another tab) shows as busy.
  setInterval(async () => {
    if (busy) return;
    try {
      const p = await api("GET", "/api/progress");
      $("busy").hidden = !p.busy;
    } catch (e) { /* shown on the next action */ }
  }, 2000);
}

start();
