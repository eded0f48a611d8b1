// The station's panel: the state from /status, then live from /events. Every name and cause
// is set with textContent, so that a port or file name is shown as text, never run as markup.
'use strict';

const STATES = { waiting: 'Waiting', loading: 'Loading', loaded: 'Loaded', failed: 'Failed' };
const ICONS = { waiting: '○', loading: '⟳', loaded: '✔', failed: '✖' };

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

function makeTile(slot) {
  const state = Object.prototype.hasOwnProperty.call(STATES, slot.state) ? slot.state : 'waiting';
  const tile = el('section', 'tile ' + state);
  tile.dataset.slot = slot.slot;
  const head = el('div', 'head');
  head.append(el('span', 'label', slot.slot), el('span', 'port', slot.port));
  const line = el('div', 'state');
  line.append(el('span', 'icon', ICONS[state]), el('span', 'state-text', stateText(state, slot.percent)));
  const bar = el('div', 'bar');
  bar.append(el('span', ''));
  tile.append(head, line, bar);
  if (state === 'failed') tile.append(el('div', 'cause', slot.cause || slot.cause_kind || ''));
  if (state === 'loading') showPercent(tile, slot.percent);
  return tile;
}

function render(status) {
  document.getElementById('image').textContent = status.image || '–';
  document.getElementById('digest').textContent = (status.sha256 || '').slice(0, 12);
  document.getElementById('loaded').textContent = String(status.loaded);
  document.getElementById('failed').textContent = String(status.failed);
  document.getElementById('tiles').replaceChildren(...status.slots.map(makeTile));
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
    .then(render)
    .catch(() => {})
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
// itself gives up for good on an answer other than 200.
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

connect();
