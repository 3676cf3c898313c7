// The station table: every station kept here, only what changed fetched
// (/api/stations?since=REV), sorted, filtered and paged here, and only the
// rows of the page drawn.
'use strict';

const kPageRows = 100, kPoll = 3000, kPollHidden = 15000;
const stations = new Map();          // mmsi -> station
let rev = 0, changes = 0, now = null, unknownSeen = -1, lastEventId = null;
const view = {sort: null, dir: 1, filter: 'all', q: '', page: 0};
let shown = '';                      // what the rows on screen were drawn from
let map = null, mapFitted = false, mapShown = '';

const columns = [
  {key: 'mmsi', label: 'MMSI', val: s => s.mmsi, cell: s => '<a href="/station/' + s.mmsi + '">' + s.mmsi + '</a>'},
  {key: 'name', label: 'Name', val: s => (s.name || '').toLowerCase(), cell: s => esc(s.name) + (s.registered === false ? ' <span class="muted" title="not in the register">(unregistered)</span>' : '')},
  {key: 'last_heard', label: 'Last heard', val: s => s.last_heard, cell: s => when(s.last_heard) + ago(s.last_heard, now)},
  {key: 'battery_v', label: 'Battery', val: s => s.battery_v, cell: s => num(s.battery_v, 2, 'V')},
  {key: 'panel_a', label: 'Panel', val: s => s.panel_a, cell: s => num(s.panel_a, 2, 'A')},
  {key: 'charge_ah', label: 'Charge', val: s => s.charge_ah, cell: s => num(s.charge_ah, 2, 'Ah')},
  {key: 'charger', label: 'Charger', val: s => s.charger || null, cell: s => esc(s.charger)},
  {key: 'light', label: 'Light', val: s => s.light ?? null, cell: s => lamp(s.light)},
  {key: 'racon', label: 'RACON', val: s => s.racon ?? null, cell: s => lamp(s.racon)},
  {key: 'inputs', label: 'Inputs', val: s => inputsOn(s).length, cell: inputCells},
  {key: 'distance_m', label: 'Off charted', val: s => s.distance_m, cell: s => num(s.distance_m, 1, 'm')},
  {key: 'alarms', label: 'Alarms', val: s => alarmsOn(s).length + unacked(s).length / 100, cell: s => alarmBadges(s), cls: 'alarms'},
  {key: 'state', label: 'State', val: s => severity(s), cell: s => states(s).length ? badges(states(s), 'state') : 'OK', cls: 'state'},
  {key: 'ack', label: '', cell: s => unacked(s).length ? '<button class="ack" data-mmsi="' + s.mmsi + '">Acknowledge…</button>' : ''},
];

const collate = new Intl.Collator().compare;
// Unacknowledged first, then in alarm, then by name and MMSI.
function byDefault(a, b) {
  return severity(b) - severity(a) || unacked(b).length - unacked(a).length ||
    collate(a.name || '', b.name || '') || a.mmsi - b.mmsi;
}

function matches(s) {
  switch (view.filter) {
    case 'alarm': if (!inAlarm(s)) return false; break;
    case 'unack': if (!unacked(s).length) return false; break;
    case 'overdue': if (!s.overdue) return false; break;
    case 'ok': if (inAlarm(s)) return false; break;
  }
  if (!view.q) return true;
  const q = view.q.toLowerCase();
  return String(s.mmsi).includes(q) || (s.name || '').toLowerCase().includes(q);
}

function ordered() {
  const list = [...stations.values()].filter(matches);
  const col = columns.find(c => c.key === view.sort && c.val);
  if (!col) return list.sort(byDefault);
  // Unknown values last whichever the direction.
  return list.sort((a, b) => {
    const x = col.val(a), y = col.val(b);
    const nx = x === null || x === undefined, ny = y === null || y === undefined;
    if (nx || ny) return nx === ny ? a.mmsi - b.mmsi : nx ? 1 : -1;
    return (x < y ? -1 : x > y ? 1 : 0) * view.dir || a.mmsi - b.mmsi;
  });
}

function drawHead() {
  document.querySelector('#stations thead tr').innerHTML = columns.map(c =>
    '<th' + (c.val ? ' data-key="' + c.key + '" class="sortable' + (view.sort === c.key ? (view.dir > 0 ? ' asc' : ' desc') : '') + '"' : '') +
    '>' + esc(c.label) + '</th>').join('');
}

let list = [];
function draw(force) {
  list = ordered();
  const pages = Math.max(1, Math.ceil(list.length / kPageRows));
  view.page = Math.min(view.page, pages - 1);
  const rows = list.slice(view.page * kPageRows, (view.page + 1) * kPageRows);
  document.getElementById('range').textContent = list.length ?
    (view.page * kPageRows + 1) + '–' + (view.page * kPageRows + rows.length) + ' of ' + list.length +
    (list.length < stations.size ? ' (' + stations.size + ' in all)' : '') : 'none of ' + stations.size;
  document.getElementById('prev').disabled = view.page === 0;
  document.getElementById('next').disabled = view.page >= pages - 1;
  // The rows are drawn again only when one of them, their order or the minute changed.
  const key = rows.map(s => s.mmsi + ':' + (s.rev ?? JSON.stringify(s))).join(',') + '|' + Math.floor((now || 0) / 60);
  if (force || key !== shown) {
    shown = key;
    document.querySelector('#stations tbody').innerHTML = rows.map(s =>
      '<tr data-mmsi="' + s.mmsi + '" class="sev' + severity(s) + (inAlarm(s) || unacked(s).length ? ' bad' : '') + '">' +
      columns.map(c => '<td' + (c.cls ? ' class="' + c.cls + '"' : '') + '>' + c.cell(s) + '</td>').join('') + '</tr>').join('');
    if (rows.length && !document.body.dataset.firstRows) {
      performance.mark('first-rows');
      document.body.dataset.firstRows = Math.round(performance.now());
    }
  }
  drawMap();
}

function drawMap() {
  if (!map) return;
  const key = changes + '|' + view.filter + '|' + view.q;
  if (key === mapShown) return;
  mapShown = key;
  map.update(list);
  if (!mapFitted && list.length) { map.fit(); mapFitted = true; }
}

// The view in the address, so that it can be kept as a bookmark.
function saveView() {
  const p = new URLSearchParams();
  if (view.sort) p.set('sort', view.sort + (view.dir < 0 ? ':desc' : ''));
  if (view.filter !== 'all') p.set('show', view.filter);
  if (view.q) p.set('q', view.q);
  if (view.page) p.set('page', view.page + 1);
  history.replaceState(null, '', p.toString() ? '#' + p : location.pathname);
}
function loadView() {
  const p = new URLSearchParams(location.hash.slice(1));
  const [sort, dir] = (p.get('sort') || '').split(':');
  view.sort = columns.some(c => c.key === sort && c.val) ? sort : null;
  view.dir = dir === 'desc' ? -1 : 1;
  view.filter = ['all', 'alarm', 'unack', 'overdue', 'ok'].includes(p.get('show')) ? p.get('show') : 'all';
  view.q = p.get('q') || '';
  view.page = Math.max(0, (parseInt(p.get('page'), 10) || 1) - 1);
  document.getElementById('filter').value = view.filter;
  document.getElementById('q').value = view.q;
}

function take(body) {
  if (body.full) stations.clear();
  for (const s of body.stations || []) stations.set(s.mmsi, s);
  for (const m of body.removed || []) stations.delete(m);
  if (body.now !== undefined) now = body.now;
  rev = body.rev ?? 0;
  if ((body.stations || []).length || (body.removed || []).length) changes++;
}

let timer = null;
async function poll() {
  clearTimeout(timer);
  try {
    const [st, body] = await Promise.all([getJson('/api/status'), getJson('/api/stations?since=' + rev)]);
    take(body);
    if (st.now !== undefined && st.now !== null) now = st.now;
    drawStatus(document.getElementById('status'), document.getElementById('banners'), st);
    document.getElementById('fault').textContent = '';
    draw(false);
    // The events and the unknown stations only when something moved.
    const events = await getJson('/api/events?limit=20');
    const newest = events.length ? events[0].id ?? events[0].time : null;
    if (newest !== lastEventId) {
      lastEventId = newest;
      document.querySelector('#events tbody').innerHTML = eventRows(events);
    }
    const unknown = (st.counts || {}).unknown;
    if (unknown !== undefined && unknown !== unknownSeen) {
      unknownSeen = unknown;
      drawUnknown(await getJson('/api/unknown'));
    }
  } catch (e) {
    document.getElementById('fault').textContent = 'No answer from the monitor: ' + e.message;
  }
  timer = setTimeout(poll, document.hidden ? kPollHidden : kPoll);
}

function drawUnknown(list) {
  document.getElementById('unknown-count').textContent = list.length;
  document.querySelector('#unknown tbody').innerHTML = list.map(u => '<tr><td>' + esc(u.mmsi) + '</td><td>' + when(u.first_heard) +
    '</td><td>' + when(u.last_heard) + '</td><td>' + esc(u.messages) + '</td><td>' + esc(u.claims) + '</td></tr>').join('');
}

// The period of the availability table and the events' export, in whole UTC days.
function period() {
  const day = id => { const v = document.getElementById(id).value; return v ? Date.parse(v + 'T00:00:00Z') / 1000 : null; };
  const from = day('from'), to = day('to');
  return from === null || to === null ? null : {from, to: to + 86399};
}
function setPeriod() {
  const p = period();
  document.getElementById('export-events').href = '/api/export/events.csv' + (p ? '?from=' + iso(p.from) + '&to=' + iso(p.to) : '');
}
async function showAvailability() {
  const p = period();
  if (!p) return;
  const tbody = document.querySelector('#availability tbody');
  try {
    const a = await getJson('/api/availability?from=' + iso(p.from) + '&to=' + iso(p.to));
    // Worst first.
    const rows = (a.stations || []).slice().sort((x, y) => (x.report_availability ?? 2) - (y.report_availability ?? 2) || x.mmsi - y.mmsi);
    tbody.innerHTML = rows.map(r => '<tr><td><a href="/station/' + esc(r.mmsi) + '">' + esc(r.mmsi) + '</a></td><td>' + esc(r.name) +
      '</td><td>' + esc(r.category ?? '—') + '</td><td>' + esc(r.expected_reports ?? '—') + '</td><td>' + esc(r.received_reports ?? '—') +
      '</td><td>' + pct(r.report_availability) + '</td><td>' + pct(r.alarm_free) + '</td></tr>').join('') ||
      '<tr><td colspan="7" class="muted">no station in this period</td></tr>';
  } catch (e) {
    tbody.innerHTML = '<tr><td colspan="7" class="error">' + esc(e.message) + '</td></tr>';
  }
}

function start() {
  loadView();
  drawHead();
  document.querySelector('#stations thead').onclick = e => {
    const th = e.target.closest('th[data-key]');
    if (!th) return;
    if (view.sort === th.dataset.key) view.dir = -view.dir; else { view.sort = th.dataset.key; view.dir = 1; }
    view.page = 0;
    drawHead(); saveView(); draw(true);
  };
  document.querySelector('#stations tbody').onclick = e => {
    const b = e.target.closest('button.ack');
    if (b) acknowledge(stations.get(Number(b.dataset.mmsi)), '', poll);
  };
  document.getElementById('filter').onchange = e => { view.filter = e.target.value; view.page = 0; saveView(); draw(true); };
  document.getElementById('q').oninput = e => { view.q = e.target.value.trim(); view.page = 0; saveView(); draw(true); };
  document.getElementById('prev').onclick = () => { view.page = Math.max(0, view.page - 1); saveView(); draw(true); };
  document.getElementById('next').onclick = () => { view.page += 1; saveView(); draw(true); };
  window.addEventListener('hashchange', () => { loadView(); drawHead(); draw(true); });
  document.addEventListener('visibilitychange', () => { if (!document.hidden) poll(); });
  const today = Math.floor(Date.now() / 86400000) * 86400;
  document.getElementById('to').value = iso(today).slice(0, 10);
  document.getElementById('from').value = iso(today - 6 * 86400).slice(0, 10);
  for (const id of ['from', 'to']) document.getElementById(id).onchange = setPeriod;
  setPeriod();
  document.getElementById('show-availability').onclick = showAvailability;
  document.getElementById('period').ontoggle = e => { if (e.target.open) showAvailability(); };
  poll().then(() => {
    // The map once the first rows are up: they come first.
    map = stationMap(document.getElementById('map'));
    mapShown = '';
    drawMap();
  });
}
start();
