// The live view: one card per sender, fed by the listener's event stream. Read-only; all text
// goes in as text, never as markup.
'use strict';

const kWindowMs = 60 * 1000;  // the plot's width
const kRedrawMs = 250;
const kReconnectMs = 5000;
const kAxisNames = ['A1', 'A2', 'A3', 'A4', 'A5', 'A6'];
const kColors = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b'];

const cards = new Map();  // address -> {element, rows, graph, received, dirty, silentS, silentAt}

function cardFor(address) {
  let card = cards.get(address);
  if (card) return card;
  const element = document.getElementById('sender-card').content.firstElementChild.cloneNode(true);
  element.dataset.sender = address;
  element.dataset.points = '0';
  document.getElementById('senders').appendChild(element);
  card = {element, rows: [], graph: null, received: 0, dirty: false, silentS: 0, silentAt: 0};
  cards.set(address, card);
  document.getElementById('none').hidden = true;
  return card;
}

function show(sender) {
  const card = cardFor(sender.address);
  const element = card.element;
  element.querySelector('.name').textContent = sender.name;
  element.querySelector('.address').textContent =
      sender.name === sender.address ? '' : sender.address;
  const values = sender.values === '' ? [] : sender.values.split(' ');
  element.querySelectorAll('.axes td').forEach((cell, i) => {
    cell.textContent = values[i] ?? '–';
  });
  element.querySelector('.rate').textContent = sender.rate.toFixed(1) + '/s';
  element.querySelector('.gap').textContent =
      sender.gapMs < 0 ? '–' : sender.gapMs.toFixed(1) + ' ms';
  element.querySelector('.malformed').textContent = String(sender.malformed);
  card.silentS = sender.silentS;
  card.silentAt = Date.now();
  element.classList.toggle('is-silent', sender.silentS > 0);
  element.querySelector('.silent').hidden = sender.silentS <= 0;
  showSilence(card);
  if (sender.received > card.received && values.length === 6) {
    card.rows.push([new Date(), ...values.map(Number)]);
    card.dirty = true;
  }
  card.received = sender.received;
}

function showSilence(card) {
  if (card.silentS <= 0) return;
  const seconds = card.silentS + (Date.now() - card.silentAt) / 1000;
  card.element.querySelector('.silent').textContent = 'silent ' + Math.floor(seconds) + ' s';
}

function forget(address) {
  const card = cards.get(address);
  if (!card) return;
  if (card.graph) card.graph.destroy();
  card.element.remove();
  cards.delete(address);
  document.getElementById('none').hidden = cards.size > 0;
}

function redraw() {
  const oldest = Date.now() - kWindowMs;
  for (const card of cards.values()) {
    showSilence(card);
    let drop = 0;
    while (drop < card.rows.length && card.rows[drop][0].getTime() < oldest) ++drop;
    if (drop > 0) {
      card.rows.splice(0, drop);
      card.dirty = true;
    }
    if (!card.dirty || card.rows.length === 0) continue;
    card.dirty = false;
    if (!card.graph) {
      card.graph = new Dygraph(card.element.querySelector('.plot'), card.rows, {
        labels: ['time', ...kAxisNames],
        colors: kColors,
        legend: 'never',
        ylabel: 'degrees',
        axisLabelFontSize: 11,
        strokeWidth: 1.5,
      });
    } else {
      card.graph.updateOptions({file: card.rows});
    }
    card.element.dataset.points = String(card.graph.numRows());
  }
}

function connect() {
  const state = document.getElementById('connection');
  const events = new EventSource('events');
  events.onopen = () => {
    state.textContent = 'live';
    state.className = 'state live';
  };
  events.onerror = () => {
    state.textContent = 'connection to the listener lost, trying again';
    state.className = 'state lost';
    // The browser tries again by itself after a lost connection, but gives up for good after
    // an answer that is not the stream (the listener busy with other pages, or restarting).
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, kReconnectMs);
  };
  events.addEventListener('sender', (event) => show(JSON.parse(event.data)));
  events.addEventListener('forget', (event) => forget(JSON.parse(event.data).address));
  events.addEventListener('full', (event) => {
    document.getElementById('full').hidden = !JSON.parse(event.data).full;
  });
}

connect();
setInterval(redraw, kRedrawMs);
