// One station: its values, what is left to acknowledge, its availability,
// its history charted (values as lines, light, RACON and alarms as steps),
// its export links and its events.
'use strict';

const mmsi = Number(location.pathname.split('/').pop());
const charts = {};
let station = null, map = null;

const series = [['battery_v', 'Battery (V)', '#c33'], ['panel_a', 'Panel current (A)', '#e90'], ['charge_ah', 'Charge (Ah)', '#36c']];
const kLevels = ['none', 'off', 'on', 'error'];
const tickTime = v => when(v).slice(5, 16);

function chart(id, datasets, y, title) {
  if (charts[id]) {
    charts[id].data.datasets = datasets;
    charts[id].options.scales.y = y;
    charts[id].update('none');
    return;
  }
  charts[id] = new Chart(document.getElementById(id), {
    type: 'line',
    data: {datasets},
    options: {animation: false, maintainAspectRatio: false, parsing: false,
      plugins: {title: {display: !!title, text: title}, legend: {display: datasets.length > 1}},
      scales: {x: {type: 'linear', ticks: {maxTicksLimit: 6, callback: tickTime}}, y}}
  });
}

// The alarms on at a report, whichever way the history holds them.
function alarmList(v) {
  if (typeof v === 'string') { try { v = JSON.parse(v); } catch (e) { return [v]; } }
  if (Array.isArray(v)) return v.map(String);
  if (v && typeof v === 'object') return Object.keys(v).filter(k => v[k]);
  return [];
}

function draw(h) {
  if (!window.Chart) {
    document.getElementById('nochart').textContent = 'Charts need Chart.js (Debian package libjs-chart.js) on the monitor\'s machine.';
    return;
  }
  const t = h.time || [];
  for (const [key, label, colour] of series)
    chart(key, [{label, data: t.map((x, i) => ({x, y: (h[key] || [])[i] ?? null})), borderColor: colour, pointRadius: 0,
      borderWidth: 1.5, spanGaps: false}], {beginAtZero: key !== 'battery_v'}, label);
  // Light and RACON: a step to each state reported.
  const steps = {min: -0.2, max: 3.2, ticks: {stepSize: 1, callback: v => kLevels[v] ?? ''}};
  for (const [key, label, colour] of [['light', 'Light', '#d4a000'], ['racon', 'RACON', '#7a3db8']]) {
    const data = t.map((x, i) => { const v = (h[key] || [])[i]; return {x, y: v === null || v === undefined ? null : kLevels.indexOf(v)}; });
    chart(key, [{label, data, stepped: true, borderColor: colour, pointRadius: 0, borderWidth: 2, spanGaps: false}], steps, label);
  }
  // The alarms: one lane each, raised a step while on.
  const per = (h.alarms || []).map(alarmList);
  const names = [...new Set([...alarmsOn(station || {}), ...per.flat()])].sort();
  const palette = ['#d7191c', '#f08a00', '#2b83ba', '#7a3db8', '#1a9641', '#a6611a', '#555'];
  chart('alarms', names.map((a, k) => ({label: a, stepped: true, pointRadius: 0, borderWidth: 2,
    borderColor: palette[k % palette.length], data: t.map((x, i) => ({x, y: per[i] === undefined ? null : k + (per[i].includes(a) ? 0.7 : 0)}))})),
  {min: -0.3, max: Math.max(1, names.length), ticks: {stepSize: 1, callback: v => names[v] ?? ''}},
  names.length ? 'Alarms (raised while on)' : 'Alarms: none in this period');
}

function drawAvailability(a) {
  const el = document.querySelector('#availability tbody');
  if (!a) { el.innerHTML = '<tr><td class="muted">not known</td></tr>'; return; }
  const rows = [];
  if (a.from !== undefined && a.to !== undefined) rows.push(['Period', when(a.from) + ' to ' + when(a.to)]);
  rows.push(['Reports', esc(a.received_reports ?? '—') + ' received of ' + esc(a.expected_reports ?? '—') + ' expected']);
  rows.push(['Report availability', pct(a.report_availability)]);
  rows.push(['Free of alarms', pct(a.alarm_free)]);
  if (a.category !== undefined) rows.push(['Category', esc(a.category ?? '—')]);
  el.innerHTML = rows.map(r => '<tr><th>' + r[0] + '</th><td>' + r[1] + '</td></tr>').join('');
}

function drawTodo(s) {
  const el = document.getElementById('todo');
  const todo = unacked(s);
  if (!todo.length) { el.innerHTML = ''; return; }
  el.innerHTML = '<h2>To acknowledge</h2><p>' + todo.map(a => '<span class="unack"><span class="alarm">' + esc(a) +
    '</span></span> <button class="ack" data-alarm="' + esc(a) + '">Acknowledge…</button>').join(' ') +
    (todo.length > 1 ? ' <button class="ack" data-alarm="">Acknowledge all…</button>' : '') + '</p>';
}

function exportLinks(s, days) {
  const to = s.last_heard, from = days > 0 && to !== null && to !== undefined ? to - days * 86400 : null;
  const range = from === null ? '' : '&from=' + iso(from) + '&to=' + iso(to);
  document.getElementById('export-reports').href = '/api/export/reports.csv?mmsi=' + s.mmsi + range;
  document.getElementById('export-events').href = '/api/export/events.csv?mmsi=' + s.mmsi + range;
}

let timer = null;
async function refresh() {
  clearTimeout(timer);
  try {
    const days = Number(document.getElementById('days').value);
    const d = await getJson('/api/station/' + mmsi + '?days=' + days);
    const s = station = d.station, bad = states(s);
    document.title = (s.name || s.mmsi) + ' — AtoN station';
    document.getElementById('title').textContent = (s.name || 'Station') + ' (' + s.mmsi + ')';
    const pos = (a, b) => a === null || a === undefined ? '—' : a.toFixed(6) + ', ' + b.toFixed(6);
    const rows = [['Register', s.registered === undefined ? '—' : s.registered ? 'registered' : 'not in the register'],
      ['Last heard', when(s.last_heard)], ['Last report', when(s.last_report)],
      ['Reporting interval', s.interval_s === null || s.interval_s === undefined ? '—' : s.interval_s + ' s'],
      ['Reports', esc(s.reports ?? '—')],
      ['Battery', num(s.battery_v, 2, 'V') + (s.low_battery_v !== undefined ? ' <span class="muted">(low below ' + num(s.low_battery_v, 2, 'V') + ')</span>' : '')],
      ['Panel current', num(s.panel_a, 2, 'A')], ['Charge', num(s.charge_ah, 2, 'Ah')], ['Charger', esc(s.charger)],
      ['Light', lamp(s.light)], ['RACON', lamp(s.racon)], ['Inputs', inputCells(s)],
      ['Position', pos(s.lat, s.lon)], ['Charted position', pos(s.charted_lat, s.charted_lon)],
      ['Off charted', num(s.distance_m, 1, 'm') + (s.off_position_m !== undefined ? ' <span class="muted">(limit ' + num(s.off_position_m, 0, 'm') + ')</span>' : '')],
      ['Alarms', alarmBadges(s) || 'none'], ['State', bad.length ? badges(bad, 'state') : 'OK']];
    document.querySelector('#summary tbody').innerHTML = rows.map(r => '<tr><th>' + r[0] + '</th><td>' + r[1] + '</td></tr>').join('');
    drawTodo(s);
    drawAvailability(d.availability);
    exportLinks(s, days);
    draw(d.history || {});
    document.querySelector('#events tbody').innerHTML = eventRows(d.events || []);
    if (map === null) { map = stationMap(document.getElementById('map')) || false; if (map) { map.update([s]); map.fit(); } }
    else if (map) map.update([s]);
    document.getElementById('fault').textContent = '';
  } catch (e) {
    document.getElementById('fault').textContent = 'Station ' + mmsi + ': ' + e.message;
  }
  timer = setTimeout(refresh, 10000);
}
document.getElementById('days').onchange = refresh;
document.getElementById('todo').onclick = e => {
  const b = e.target.closest('button.ack');
  if (b && station) acknowledge(station, b.dataset.alarm, refresh);
};
refresh();
