// The station's panel: the state from /status, then live from /events. Every name and cause
// is set with textContent, so that a port or file name is shown as text, never run as markup.
'use strict';

const STATES = { waiting: 'Waiting', loading: 'Loading', loaded: 'Loaded', failed: 'Failed' };
const ICONS = { waiting: '○', loading: '⟳', loaded: '✔', failed: '✖' };
// A failure as the operator reads it, by its cause's kind: what happened in a few words, and
// what to do about it. The whole cause is a click away.
const CAUSES = {
  'no-ack': ['No answer', 'Re-seat the board and press its reset'],
  'out-of-step': ['Answers out of step', 'Press the board\'s reset'],
  'port-busy': ['Port in use', 'Close the other program'],
  'port-missing': ['No port', 'Check the adapter\'s cable'],
  'port-ambiguous': ['Several adapters match', 'Leave one adapter of this serial plugged in'],
  'permission-denied': ['Port not allowed', 'Ask the line engineer for access'],
  'not-serial': ['Not a serial port', 'Ask the line engineer to check the slots'],
  'port-failed': ['Port failed', 'Reconnect the adapter'],
  'same-device': ['Port taken twice', 'Ask the line engineer to check the slots'],
  'device-gone': ['Board pulled', 'Reconnect the board'],
  'interrupted': ['Stopped', 'Load the board again'],
  'image-unreadable': ['Image unreadable', 'Ask the line engineer for the image'],
  'image-empty': ['Image empty', 'Ask the line engineer for the image'],
  'digest-mismatch': ['Wrong image', 'Ask the line engineer for the right image'],
  'not-confirmed': ['No bootloader', 'Hold the boot button and press reset'],
  'output-lost': ['Result not saved', 'Tell the line engineer: the log failed'],
  'unit-unknown': ['Board not identified', 'Scan the board again, or ask the line engineer'],
};
const UNKNOWN_CAUSE = ['Failed', 'Tell the line engineer'];
const PHONE_WIDTH = 600;

function el(tag, cls, text) {
  const node = document.createElement(tag);
  node.className = cls;
  if (text !== undefined) node.textContent = text;
  return node;
}

function tileOf(slot) {
  for (const tile of document.getElementById('tiles').children) {
    if (tile.dataset.slot === slot) return tile;
  }
  return null;
}

function stateText(state, percent) {
  return state === 'loading' ? STATES.loading + ' ' + percent + '%' : STATES[state];
}

function showPercent(tile, percent) {
  tile.querySelector('.state-text').textContent = stateText('loading', percent);
  tile.querySelector('.bar > span').style.width = percent + '%';
}

// The port's last name: a by-path link is told in full on demand only.
function shortPort(port) {
  return String(port).split('/').pop() || String(port);
}

function makeTile(slot) {
  const state = Object.prototype.hasOwnProperty.call(STATES, slot.state) ? slot.state : 'waiting';
  const tile = el('section', 'tile ' + state);
  tile.dataset.slot = slot.slot;
  tile.title = slot.port + (state === 'failed' && slot.cause ? '\n' + slot.cause : '');
  const head = el('div', 'head');
  head.append(el('span', 'label', slot.slot), el('span', 'port', shortPort(slot.port)));
  const line = el('div', 'state');
  line.append(el('span', 'icon', ICONS[state]), el('span', 'state-text', stateText(state, slot.percent)));
  const bar = el('div', 'bar');
  bar.append(el('span', ''));
  tile.append(head, line, bar);
  if (state === 'failed') {
    const [reason, action] = (Object.prototype.hasOwnProperty.call(CAUSES, slot.cause_kind)
      ? CAUSES[slot.cause_kind] : UNKNOWN_CAUSE);
    const more = el('details', 'more');
    more.append(el('summary', 'reason', reason), el('p', 'cause', slot.cause || slot.cause_kind || ''));
    tile.append(more, el('div', 'action', action));
  }
  if (state === 'loading') showPercent(tile, slot.percent);
  return tile;
}

// The fixture's rows when every label is a row's letters and a place's number (A1, A2, B1...):
// the rows' tile indexes, in the order the rows first appear; null otherwise.
function fixtureRows(labels) {
  const rows = new Map();
  for (const [i, label] of labels.entries()) {
    const m = /^([A-Za-z]+)[-_ ]?(\d+)$/.exec(label);
    if (!m) return null;
    if (!rows.has(m[1])) rows.set(m[1], []);
    rows.get(m[1]).push([Number(m[2]), i]);
  }
  if (rows.size < 2) return null;
  return [...rows.values()].map((row) => row.sort((a, b) => a[0] - b[0]).map((p) => p[1]));
}

// Columns for n tiles in a w x h area, tiles about half as wide again as high.
function columnsFor(n, w, h) {
  let best = 1;
  let bestSize = 0;
  for (let c = 1; c <= n; c++) {
    const size = Math.min(w / c / 1.5, h / Math.ceil(n / c));
    if (size > bestSize) { best = c; bestSize = size; }
  }
  return best;
}

// Every tile on the screen at once: the grid and the tiles' unit of size from the room left.
function layout() {
  const main = document.getElementById('tiles');
  const tiles = [...main.children];
  const n = Math.max(1, tiles.length);
  const w = main.clientWidth;
  const h = main.clientHeight;
  let rows = window.innerWidth < PHONE_WIDTH ? null : fixtureRows(tiles.map((t) => t.dataset.slot));
  let columns = rows ? Math.max(...rows.map((r) => r.length)) : 0;
  // Rows too long to fit are laid out as the count asks.
  if (rows && w / columns < 9 * Math.min(h / rows.length / 12, 24)) rows = null;
  if (!rows) columns = window.innerWidth < PHONE_WIDTH ? 1 : columnsFor(n, w, h);
  const lines = rows ? rows.length : Math.ceil(n / columns);
  tiles.forEach((tile) => { tile.style.gridRow = ''; tile.style.gridColumn = ''; });
  if (rows) {
    rows.forEach((row, r) => row.forEach((i, c) => {
      tiles[i].style.gridRow = String(r + 1);
      tiles[i].style.gridColumn = String(c + 1);
    }));
  }
  main.style.gridTemplateColumns = 'repeat(' + columns + ', minmax(0, 1fr))';
  main.style.gridTemplateRows = 'repeat(' + lines + ', minmax(0, 1fr))';
  const gap = parseFloat(getComputedStyle(main).rowGap) || 0;
  const tileW = (w - gap * (columns - 1)) / columns;
  const tileH = (h - gap * (lines - 1)) / lines;
  // A failed tile holds about 12 units of height, and its action 2 lines of 15 units' width.
  const unit = Math.max(8, Math.min(40, tileH / 12, tileW / 15));
  main.style.setProperty('--u', unit.toFixed(1) + 'px');
}

let holdTimer = null;

function render(status) {
  document.getElementById('station').textContent = status.station || '–';
  document.getElementById('image').textContent = status.image || '–';
  document.getElementById('digest').textContent = (status.sha256 || '').slice(0, 12);
  document.getElementById('loaded').textContent = String(status.loaded);
  document.getElementById('failed').textContent = String(status.failed);
  const boards = status.loaded + status.failed;
  document.getElementById('yield').textContent =
    boards ? (100 * status.loaded / boards).toFixed(1) + '%' : '–';
  const since = new Date(status.since);
  document.getElementById('since').textContent = isNaN(since) ? '–'
    : since.toLocaleString([], { month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit' });
  document.getElementById('tiles').replaceChildren(...status.slots.map(makeTile));
  // A pulled board's failure is held for a while: the state is asked again once it is over.
  const holds = status.slots.filter((s) => typeof s.waiting_in === 'number').map((s) => s.waiting_in);
  clearTimeout(holdTimer);
  if (holds.length) holdTimer = setTimeout(refresh, Math.max(0, Math.min(...holds)) + 100);
  layout();
}

// The station answers no more: the page says so rather than show its slots as ready.
function showDown(down) {
  document.body.classList.toggle('down', down);
  document.getElementById('stopped').textContent = down ? 'Station stopped' : '';
  if (down) {
    for (const text of document.querySelectorAll('.tile.waiting .state-text')) text.textContent = 'Stopped';
  }
  layout();
}

// One request at a time; a change seen meanwhile asks for one more once it is answered.
let fetching = false;
let again = false;
function refresh() {
  if (fetching) {
    again = true;
    return;
  }
  fetching = true;
  fetch('/status', { cache: 'no-store' })
    .then((response) => response.json())
    .then((status) => { showDown(false); render(status); })
    .catch(() => showDown(true))
    .finally(() => {
      fetching = false;
      if (again) {
        again = false;
        refresh();
      }
    });
}

// The stream, opened again after any failure (a 503 when every place is taken, the station
// restarting) with a growing wait, and the state fetched whole on each new try: EventSource
// itself gives up for good on an answer other than 200. While /status is not answered either,
// the station is shown stopped.
const RETRY_MIN_MS = 1000;
const RETRY_MAX_MS = 15000;
let retryMs = RETRY_MIN_MS;

function connect() {
  const link = document.getElementById('link');
  const events = new EventSource('/events');
  events.onopen = () => { link.textContent = ''; retryMs = RETRY_MIN_MS; refresh(); };
  events.onerror = () => {
    link.textContent = 'Connection to the station lost: retrying';
    events.close();
    refresh();
    const wait = retryMs * (0.5 + Math.random() / 2);
    retryMs = Math.min(RETRY_MAX_MS, retryMs * 2);
    setTimeout(() => { refresh(); connect(); }, wait);
  };
  events.onmessage = (message) => {
    const event = JSON.parse(message.data);
    const tile = event.event === 'progress' ? tileOf(event.slot) : null;
    if (tile && tile.classList.contains('loading')) {
      showPercent(tile, Math.max(0, Math.min(100, Math.floor(event.percent))));
    } else {
      // Anything else changes tiles or counts: the state is taken whole.
      refresh();
    }
  };
}

window.addEventListener('resize', layout);
connect();
