// The live view: one card per sender, fed by the listener's event stream. Read-only; all text
// goes in as text, never as markup.
'use strict';

const kWindowMs = 60 * 1000;  // the plot's width
const kRedrawMs = 250;
const kReconnectMs = 5000;
const kAxisNames = ['A1', 'A2', 'A3', 'A4', 'A5', 'A6'];
const kColors = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b'];

const cards = new Map();  // address -> {element, rows, graph, received, dirty, silent, last}
// The listener's clock less this browser's, in seconds: a silence counts from the sender's last
// datagram by the listener's clock, whatever the clock of the machine showing the page says.
let clockOffsetS = 0;

function cardFor(address) {
  let card = cards.get(address);
  if (card) return card;
  const element = document.getElementById('sender-card').content.firstElementChild.cloneNode(true);
  element.dataset.sender = address;
  element.dataset.points = '0';
  document.getElementById('senders').appendChild(element);
  card = {element, rows: [], graph: null, received: 0, dirty: false, silent: false, last: 0};
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
    // Three decimals fit the column; the value as received is the cell's tooltip.
    cell.textContent = values[i] === undefined ? '–' : Number(values[i]).toFixed(3);
    cell.title = values[i] ?? '';
    cell.dataset.value = values[i] ?? '';
  });
  element.querySelector('.rate').textContent =
      sender.received > 0 ? sender.rate.toFixed(1) + '/s' : '–';
  element.querySelector('.gap').textContent =
      sender.gapMs < 0 ? '–' : sender.gapMs.toFixed(1) + ' ms';
  element.querySelector('.malformed').textContent = String(sender.malformed);
  card.silent = sender.silent;
  card.last = sender.last;
  card.heard = sender.received > 0;
  element.classList.toggle('is-silent', sender.silent);
  element.querySelector('.silent').hidden = !sender.silent;
  showSilence(card);
  if (sender.received > card.received && values.length === 6) {
    card.rows.push([new Date(), ...values.map(Number)]);
    card.dirty = true;
  }
  card.received = sender.received;
}

function showSilence(card) {
  if (!card.silent) return;
  const label = card.element.querySelector('.silent');
  if (!card.heard) {
    const since = new Date(card.last * 1000);
    label.textContent = 'not heard since ' + since.toTimeString().slice(0, 5);
    return;
  }
  const seconds = Math.max(0, Math.floor(Date.now() / 1000 + clockOffsetS - card.last));
  label.textContent = seconds < 60 ? 'silent ' + seconds + ' s' :
                                     'silent ' + Math.floor(seconds / 60) + ' min ' + seconds % 60 + ' s';
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
    if (card.rows.length === 0 && card.graph) {
      // Nothing left to plot: no leftover lines or axis labels of a minute ago.
      card.graph.destroy();
      card.graph = null;
      card.element.querySelector('.plot').replaceChildren();
      card.element.dataset.points = '0';
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
    document.body.classList.remove('disconnected');  // the stream sends every sender afresh
  };
  events.onerror = () => {
    state.textContent = 'connection to the listener lost, trying again';
    state.className = 'state lost';
    // Nothing shown is known to be current any more.
    document.body.classList.add('disconnected');
    for (const card of cards.values()) card.element.querySelector('.rate').textContent = '–';
    // The browser tries again by itself after a lost connection, but gives up for good after
    // an answer that is not the stream (the listener busy with other pages, or restarting).
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, kReconnectMs);
  };
  events.addEventListener('clock', (event) => {
    clockOffsetS = JSON.parse(event.data).now - Date.now() / 1000;
  });
  events.addEventListener('sender', (event) => show(JSON.parse(event.data)));
  events.addEventListener('forget', (event) => forget(JSON.parse(event.data).address));
  events.addEventListener('full', (event) => {
    document.getElementById('full').hidden = !JSON.parse(event.data).full;
  });
}

connect();
setInterval(redraw, kRedrawMs);
