#!/usr/bin/env node
// The page in a real browser: Debian's chromium, headless, driven through its
// DevTools protocol over --remote-debugging-pipe (JSON messages ended by a NUL
// byte; the browser reads fd 3 and writes fd 4), so nothing comes from npm.
// On a card in the simulated adapter it loads the page, checks the bar and the
// list against --json, renames a title with umlauts, drags a move, uploads two
// MP3s and waits for the progress to end, deletes one, syncs the card with a
// folder (plan first), takes a screenshot,
// and after the session compares the card with what the page showed.
//
//   node web_page.js BUILD_DIR
"use strict";

const { spawn, spawnSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const buildDir = path.resolve(process.argv[2] || ".");
const sim = path.join(buildDir, "vexo-sim");
const chromium = process.env.VEXO_CHROMIUM || "/usr/bin/chromium";
const work = fs.mkdtempSync(path.join(os.tmpdir(), "vexo-browser-"));
const image = path.join(work, "card.img");
const simWords = ["--fast", "--capacity", "8388608", "--card", image, "--", "lp1"];
const screenshot = path.join(buildDir, "web-page.png");

let vexo = null;
let browser = null;

function fail(message) {
  console.error("FAIL: " + message);
  cleanUp();
  process.exit(1);
}

function cleanUp() {
  if (browser && browser.exitCode === null) browser.kill("SIGKILL");
  if (vexo && vexo.exitCode === null) vexo.kill("SIGKILL");
  fs.rmSync(work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
}

function check(condition, message) {
  if (!condition) fail(message);
  console.log("ok - " + message);
}

// A vexo command on the card; its output (a failure shows in what it prints).
function runVexo(args) {
  const run = spawnSync(sim, simWords.concat(args), { encoding: "utf8" });
  if (run.error) fail("vexo-sim: " + run.error.message);
  if (run.stdout.includes(" Error:")) fail("vexo " + args.join(" ") + ": " + run.stdout);
  return run.stdout;
}

function json() {
  return JSON.parse(runVexo(["--json"]));
}

// Deterministic song bytes.
// An MP3 the player plays and vexo stores as it is: `frames` silent frames of
// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, stereo (417 bytes each: the header,
// then side information and main data all zero), without tags.
function mp3(name, frames, seed) {
  const bytes = Buffer.alloc(frames * 417);
  for (let i = 0; i < frames; ++i) bytes.set([0xff, 0xfb, 0x90, (seed & 1) << 2], i * 417);
  const file = path.join(work, name);
  fs.writeFileSync(file, bytes);
  return file;
}

function song(name, size, seed) {
  const bytes = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) bytes[i] = (i * 31 + seed * 7 + (i >> 8)) & 0xff;
  const file = path.join(work, name);
  fs.writeFileSync(file, bytes);
  return file;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// ---- the DevTools protocol over the pipe --------------------------------------

class Pipe {
  constructor(child) {
    this.out = child.stdio[3];
    this.nextId = 1;
    this.waiting = new Map();
    this.buffer = Buffer.alloc(0);
    child.stdio[4].on("data", (chunk) => this.receive(chunk));
  }
  receive(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    let end;
    while ((end = this.buffer.indexOf(0)) >= 0) {
      const message = JSON.parse(this.buffer.subarray(0, end).toString("utf8"));
      this.buffer = this.buffer.subarray(end + 1);
      const waiter = message.id !== undefined && this.waiting.get(message.id);
      if (!waiter) continue;
      this.waiting.delete(message.id);
      if (message.error) waiter.reject(new Error(waiter.method + ": " + message.error.message));
      else waiter.resolve(message.result);
    }
  }
  send(method, params = {}, sessionId) {
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    this.out.write(JSON.stringify(message) + "\0");
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject, method }));
  }
}

let pipe = null;
let session = null;
const cdp = (method, params) => pipe.send(method, params, session);

async function evaluate(expression) {
  const result = await cdp("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
  if (result.exceptionDetails) throw new Error("page: " + result.exceptionDetails.text + " in " + expression);
  return result.result.value;
}

async function waitFor(expression, what, timeoutMs = 20000) {
  const start = Date.now();
  for (;;) {
    const value = await evaluate(expression);
    if (value) return value;
    if (Date.now() - start > timeoutMs) fail("timed out waiting for " + what);
    await sleep(50);
  }
}

// The centre of an element, scrolled into view, in the viewport's CSS pixels.
async function centre(selector) {
  const point = await evaluate(`(() => {
    const e = document.querySelector(${JSON.stringify(selector)});
    if (!e) return null;
    e.scrollIntoView({ block: "center" });
    const r = e.getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
  })()`);
  if (!point) fail("no element " + selector);
  return point;
}

async function mouse(type, point, buttons) {
  await cdp("Input.dispatchMouseEvent", {
    type, x: point.x, y: point.y, button: "left", buttons, clickCount: type === "mouseMoved" ? 0 : 1,
  });
}

async function click(selector) {
  const point = await centre(selector);
  await mouse("mouseMoved", point, 0);
  await mouse("mousePressed", point, 1);
  await mouse("mouseReleased", point, 0);
}

const pageRows = `[...document.querySelectorAll("#playlist tbody tr")].map((r) => ({
  number: Number(r.querySelector(".number").textContent),
  title: r.querySelector(".title").textContent,
  size: Number(r.querySelector(".size").textContent),
  start: Number(r.querySelector(".start").textContent) }))`;

const barBlocks = `[...document.querySelectorAll("#bar .block.title")].map((b) => ({
  number: Number(b.dataset.number), start: Number(b.dataset.start), size: Number(b.dataset.size),
  left: parseFloat(b.style.left), width: parseFloat(b.style.width) }))`;

function sameList(rows, listing) {
  const titles = listing.titles.map((t) => ({ number: t.number, title: t.title, size: t.size, start: t.start }));
  return JSON.stringify(rows) === JSON.stringify(titles);
}

// ---- the run ---------------------------------------------------------------------

async function main() {
  if (!fs.existsSync(chromium)) fail("no browser at " + chromium + " (Debian: apt-get install chromium)");
  if (!fs.existsSync(sim)) fail("no vexo-sim in " + buildDir);

  // A card with three titles.
  runVexo(["--add", song("eins.mp3", 150000, 1), "Eins", "-n", "Browser Karte"]);
  runVexo(["--add", song("zwei.mp3", 90000, 2), "Zwei"]);
  runVexo(["--add", song("drei.mp3", 120000, 3), "Drei"]);
  const before = json();
  check(before.titles.length === 3, "the card holds three titles before the session");

  vexo = spawn(sim, simWords.concat(["--web"]), { stdio: ["ignore", "pipe", "inherit"] });
  const url = await new Promise((resolve) => {
    let text = "";
    vexo.stdout.on("data", (chunk) => {
      text += chunk;
      const found = text.match(/http:\/\/127\.0\.0\.1:\d+\/\?key=[0-9a-f]{32}/);
      if (found) resolve(found[0]);
    });
    vexo.on("exit", () => fail("vexo --web ended early: " + text));
  });
  check(true, "vexo --web printed " + url.replace(/key=.*/, "key=…"));

  const profile = path.join(work, "profile");
  browser = spawn(chromium, [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--user-data-dir=" + profile, "--remote-debugging-pipe", "--window-size=1100,900", "about:blank",
  ], { stdio: ["ignore", "ignore", "ignore", "pipe", "pipe"] });
  browser.on("exit", (code) => { if (pipe) console.error("chromium ended: " + code); });
  pipe = new Pipe(browser);

  const { targetId } = await pipe.send("Target.createTarget", { url: "about:blank" });
  ({ sessionId: session } = await pipe.send("Target.attachToTarget", { targetId, flatten: true }));
  await cdp("Page.enable");
  await cdp("Runtime.enable");
  await cdp("Emulation.setDeviceMetricsOverride", { width: 1100, height: 900, deviceScaleFactor: 1, mobile: false });
  await cdp("Page.navigate", { url });
  await waitFor(`document.querySelectorAll("#playlist tbody tr").length === 3`, "the playlist");

  check(await evaluate(`location.search === ""`), "the key left the address bar");
  check(await evaluate(`document.cookie === ""`), "scripts cannot read the key's cookie");
  check(sameList(await evaluate(pageRows), before), "the list shows what --json lists");
  const blocks = await evaluate(barBlocks);
  check(blocks.length === 3 && blocks.every((b) => {
    const t = before.titles[b.number - 1];
    return t.start === b.start && t.size === b.size &&
      Math.abs(b.left - 100 * t.start / before.cardSize) < 1e-3 &&
      Math.abs(b.width - 100 * t.size / before.cardSize) < 1e-3;
  }), "the bar has each title's block where --json places it");
  check(await evaluate(`document.querySelector("#cardName").textContent`) === before.cardName,
    "the card's name is shown");
  await cdp("Input.dispatchMouseEvent", { type: "mouseMoved", ...(await centre('#bar .block[data-number="2"]')) });
  check(await waitFor(`document.querySelector("#barLabel").textContent.startsWith("2. Zwei")`, "the bar's label"),
    "the title under the pointer is named");

  // Rename title 1 with umlauts: the Rename button, typed text, Enter.
  await click('#playlist tr[data-number="1"] button.rename');
  await waitFor(`document.activeElement && document.activeElement.tagName === "INPUT"`, "the title field");
  await cdp("Input.insertText", { text: "Grüße aus Köln" });
  await cdp("Input.dispatchKeyEvent", { type: "keyDown", key: "Enter", code: "Enter", windowsVirtualKeyCode: 13 });
  await cdp("Input.dispatchKeyEvent", { type: "keyUp", key: "Enter", code: "Enter", windowsVirtualKeyCode: 13 });
  await waitFor(`document.querySelector('#playlist tr[data-number="1"] .title').textContent === "Grüße aus Köln"`,
    "the renamed title");
  check(true, "renamed title 1 with umlauts");

  // Drag title 1 by its grip onto place 3.
  const from = await centre('#playlist tr[data-number="1"] .grip');
  const to = await centre('#playlist tr[data-number="3"] .title');
  await mouse("mouseMoved", from, 0);
  await mouse("mousePressed", from, 1);
  for (let step = 1; step <= 8; ++step) {
    await mouse("mouseMoved", { x: from.x + (to.x - from.x) * step / 8, y: from.y + (to.y - from.y) * step / 8 }, 1);
  }
  await mouse("mouseReleased", to, 0);
  await waitFor(`JSON.stringify([...document.querySelectorAll("#playlist .title")].map((t) => t.textContent)) ===
    JSON.stringify(["Zwei", "Drei", "Grüße aus Köln"])`, "the moved title");
  check(true, "dragged title 1 to place 3");

  // Two songs through the file field: uploaded, planned, confirmed, added.
  const { root } = await cdp("DOM.getDocument", {});
  const { nodeId } = await cdp("DOM.querySelector", { nodeId: root.nodeId, selector: "#songFiles" });
  await cdp("DOM.setFileInputFiles", { nodeId, files: [mp3("Vier.mp3", 480, 0), mp3("Fünf.mp3", 144, 1)] });
  await waitFor(`document.querySelector("#dialog").open && document.querySelectorAll("#dialogBody tr").length === 2`,
    "the plan");
  check(await evaluate(`[...document.querySelectorAll("#dialogBody tr")].every((r) => r.cells[0].textContent === "add")`),
    "the plan adds both songs");
  await click("#dialogOk");
  await waitFor(`document.querySelectorAll("#playlist tbody tr").length === 5 && document.querySelector("#progress").hidden`,
    "the added songs and the end of the progress", 60000);
  check(await evaluate(`document.querySelector("#message").textContent.startsWith("Added 2 of 2")`),
    "the page says both songs were added");

  // Delete the song "Vier" (the Delete button, then OK in the dialog).
  const vier = await evaluate(`[...document.querySelectorAll("#playlist tbody tr")]
    .find((r) => r.querySelector(".title").textContent === "Vier").dataset.number`);
  await click(`#playlist tr[data-number="${vier}"] button.delete`);
  await waitFor(`document.querySelector("#dialog").open`, "the delete dialog");
  await click("#dialogOk");
  await waitFor(`document.querySelectorAll("#playlist tbody tr").length === 4`, "the deleted title");
  check(true, "deleted one title");

  // Sync from a folder typed into the page: the plan keeps "Fünf" (its bytes
  // are on the card), deletes the other titles and adds two songs.
  fs.mkdirSync(path.join(work, "Album"));
  mp3("Album/Fünf.mp3", 144, 1);
  mp3("Album/Sechs.mp3", 240, 0);
  mp3("Album/Sieben.mp3", 96, 1);
  await click("#syncFolder");
  await cdp("Input.insertText", { text: path.join(work, "Album") });
  await click('#syncForm button[type="submit"]');
  await waitFor(`document.querySelector("#dialog").open && document.querySelector("#syncPlan")`, "the sync plan");
  const planText = await evaluate(`document.querySelector("#syncPlan").textContent`);
  check(/keep .*Fünf/.test(planText) && (planText.match(/^  delete /gm) || []).length === 3 &&
    (planText.match(/^  add /gm) || []).length === 2, "the sync plan keeps one title, deletes three, adds two");
  await click("#dialogOk");
  await waitFor(`document.querySelectorAll("#playlist tbody tr").length === 3 && document.querySelector("#progress").hidden &&
    document.querySelector("#message").textContent.startsWith("The card holds 3 of 3 songs")`, "the end of the sync", 60000);
  check(true, "the page says the card holds the folder's three songs");

  await cdp("Input.dispatchMouseEvent", { type: "mouseMoved", ...(await centre('#bar .block[data-number="2"]')) });
  await evaluate(`window.scrollTo(0, 0)`);
  const shot = await cdp("Page.captureScreenshot", { format: "png", captureBeyondViewport: true });
  fs.writeFileSync(screenshot, Buffer.from(shot.data, "base64"));
  check(fs.statSync(screenshot).size > 10000, "screenshot saved in " + screenshot);

  const shown = await evaluate(pageRows);
  await pipe.send("Browser.close").catch(() => {});
  pipe = null;

  // SIGTERM ends the session; the card then holds what the page showed.
  vexo.removeAllListeners("exit");
  const ended = new Promise((resolve) => vexo.on("exit", (code, signal) => resolve(signal)));
  vexo.kill("SIGTERM");
  check(await ended === "SIGTERM", "SIGTERM ended vexo --web");
  const after = json();
  check(sameList(shown, after), "--json after the session lists what the page showed");
  check(JSON.stringify(after.titles.map((t) => t.title)) ===
    JSON.stringify(["Fünf", "Sechs", "Sieben"]), "the card holds the expected playlist");
  const read = path.join(work, "back.mp3");
  runVexo(["--read", "1", read]);
  check(fs.readFileSync(read).equals(fs.readFileSync(path.join(work, "Fünf.mp3"))),
    "the uploaded song reads back byte for byte");
  cleanUp();
}

main().catch((error) => fail(error.stack || String(error)));
