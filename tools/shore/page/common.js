// Shared by both pages: formatting, escaping, fetching, a station's state,
// the acknowledgement dialog and the map. Text from the air reaches the page
// only through esc() or textContent.
'use strict';

const esc = s => String(s ?? '').replace(/[&<>"']/g, c => '&#' + c.charCodeAt(0) + ';');
const num = (v, d, u) => v === null || v === undefined ? '—' : Number(v).toFixed(d) + ' ' + u;
const when = t => t === null || t === undefined ? '—' : new Date(t * 1000).toISOString().replace('T', ' ').slice(0, 19) + 'Z';
const iso = t => new Date(t * 1000).toISOString().slice(0, 19) + 'Z';
const ago = (t, now) => t === null || t === undefined || now === null || now === undefined ? '' :
  ' (' + Math.round((now - t) / 60) + ' min ago)';
const pct = v => v === null || v === undefined ? '—' : (v * 100).toFixed(1) + ' %';
const alarmsOn = s => Object.keys(s.alarms || {}).filter(k => s.alarms[k]);
const unacked = s => s.unacknowledged || [];
const inputsOn = s => Object.keys(s.inputs || {}).filter(k => s.inputs[k]);

// The states beside the alarm flags.
function states(s) {
  const out = [];
  if (s.overdue) out.push('OVERDUE');
  if (s.battery_low) out.push('BATTERY LOW');
  if (s.off_position) out.push('OFF POSITION');
  return out;
}
const inAlarm = s => alarmsOn(s).length > 0 || states(s).length > 0;
// 3 unacknowledged, 2 in alarm, 1 overdue alone, 0 OK: the map's colours and the default order.
function severity(s) {
  if (unacked(s).length) return 3;
  if (alarmsOn(s).length || s.battery_low || s.off_position) return 2;
  return s.overdue ? 1 : 0;
}
const kColours = ['#2a9d3a', '#8a4fc8', '#f08a00', '#d7191c'];
const kSeverityNames = ['OK', 'overdue', 'in alarm (acknowledged)', 'unacknowledged alarm'];

const badges = (list, cls) => list.map(a => '<span class="' + cls + '">' + esc(a) + '</span>').join(' ');
// The alarms on, those still to acknowledge marked.
function alarmBadges(s) {
  const todo = new Set(unacked(s));
  return alarmsOn(s).map(a => {
    const b = '<span class="alarm">' + esc(a) + '</span>';
    return todo.has(a) ? '<span class="unack" title="not acknowledged">' + b + '</span>' : b;
  }).join(' ') + unacked(s).filter(a => !(s.alarms || {})[a]).map(a =>
    ' <span class="unack" title="not acknowledged, since cleared"><span class="cleared">' + esc(a) + '</span></span>').join('');
}
// light and racon: "on", "off", "error", "none" or unknown.
const lamp = v => v === null || v === undefined ? '<span class="muted">—</span>' :
  '<span class="lamp lamp-' + esc(v) + '">' + esc(v) + '</span>';
const inputCells = s => {
  const keys = Object.keys(s.inputs || {});
  return keys.length ? keys.map(k => '<span class="input ' + (s.inputs[k] ? 'on' : 'off') + '" title="' + esc(k) + ': ' +
    (s.inputs[k] ? 'on' : 'off') + '">' + esc(k.replace(/^input/, '')) + '</span>').join('') : '<span class="muted">—</span>';
};

function eventRows(events) {
  return events.map(e => {
    const extra = Object.keys(e).filter(k => !['id', 'time', 'event', 'mmsi', 'name'].includes(k))
      .map(k => esc(k) + '=' + esc(typeof e[k] === 'object' ? JSON.stringify(e[k]) : e[k])).join(' ');
    return '<tr class="ev-' + esc(e.event) + '"><td>' + esc(e.time) + '</td><td>' + esc(e.event) +
      '</td><td><a href="/station/' + esc(e.mmsi) + '">' + esc(e.mmsi) + '</a></td><td>' + esc(e.name) + '</td><td>' + extra + '</td></tr>';
  }).join('');
}

// The answer's own words on failure: a plain line, or {"error"}.
async function failure(r, url) {
  let why = (await r.text()).trim();
  try { why = JSON.parse(why).error || why; } catch (e) { /* plain text */ }
  return new Error(url.split('?')[0] + ': ' + r.status + (why ? ' ' + why : ''));
}
async function getJson(url) {
  const r = await fetch(url, {cache: 'no-store'});
  if (!r.ok) throw await failure(r, url);
  return r.json();
}

// The feed's and the store's state, from /api/status, into `el`.
function drawStatus(el, banners, st) {
  const f = st.feed || {}, store = st.store || {}, c = st.counts || {};
  const box = (label, value, bad, id) => '<div class="box' + (bad ? ' bad' : '') + '"' + (id ? ' id="' + id + '"' : '') +
    '><span>' + esc(label) + '</span><b>' + esc(value ?? '—') + '</b></div>';
  el.innerHTML =
    box('Clock' + (st.clock ? ' (' + st.clock + ')' : ''), st.now === null || st.now === undefined ? 'not started' : when(st.now), false, 'st-clock') +
    box('Stations', c.stations, false, 'st-stations') +
    box('Unacknowledged', c.unacknowledged, c.unacknowledged > 0, 'st-unack') +
    box('Unknown', c.unknown, c.unknown > 0, 'st-unknown') +
    box('Messages', f.messages, false, 'st-messages') +
    box('Bad lines', f.errors, f.errors > 0, 'st-errors') +
    box('Lost datagrams', f.lost, f.lost > 0, 'st-lost') +
    box('Bad times', f.bad_times, f.bad_times > 0, 'st-bad-times') +
    box('Store errors', store.errors, store.errors > 0, 'st-store');
  const b = [];
  if (f.silent) {
    const silent = (f.inputs || []).filter(i => i.silent).map(i => i.name);
    b.push('<div class="banner" id="feed-silent">FEED SILENT: no message for more than ' + esc(f.silent_after_s ?? '?') +
      ' s' + (silent.length ? ' on ' + esc(silent.join(', ')) : '') + '</div>');
  }
  if (store.errors > 0)
    b.push('<div class="banner" id="store-error">DATABASE ERRORS: ' + esc(store.errors) + (store.last_error ? ', the last ' +
      (store.last_error_time ? 'at ' + when(store.last_error_time) + ': ' : ': ') + esc(store.last_error) : '') + '</div>');
  banners.innerHTML = b.join('');
  const inputs = (f.inputs || []).map(i => esc(i.name) + ': ' + esc(i.lines ?? '—') + ' lines, ' + esc(i.messages ?? '—') +
    ' messages, ' + esc(i.errors ?? '—') + ' bad' + (i.lost ? ', ' + esc(i.lost) + ' lost' : '') +
    (i.bad_times ? ', ' + esc(i.bad_times) + ' bad times' : '') +
    (i.last_line !== undefined ? ', last line ' + when(i.last_line) : '') + (i.silent ? ' — SILENT' : ''));
  el.title = inputs.join('\n').replace(/&#(\d+);/g, (m, n) => String.fromCharCode(n));
}

// ---- acknowledgement ----

const kByKey = 'zelmora-shore.ack.by', kTokenKey = 'zelmora-shore.ack.token';

// Asks for the name and a note, then POST /api/ack; `done` after it went through.
function acknowledge(s, alarm, done) {
  let dlg = document.getElementById('ackdlg');
  if (!dlg) {
    dlg = document.createElement('dialog');
    dlg.id = 'ackdlg';
    dlg.innerHTML = '<form method="dialog"><h3 id="ack-title"></h3>' +
      '<p><label>Alarm <select id="ack-alarm"></select></label></p>' +
      '<p><label>Your name <input id="ack-by" required maxlength="100"></label></p>' +
      '<p><label>Note<br><textarea id="ack-note" rows="3" cols="48" maxlength="2000"></textarea></label></p>' +
      '<p><label title="only when this page is not opened on the monitor\'s own machine">Token (from another machine) ' +
      '<input id="ack-token" type="password" autocomplete="off"></label></p>' +
      '<p class="error" id="ack-error"></p>' +
      '<p><button id="ack-ok" value="ok">Acknowledge</button> <button id="ack-cancel" value="cancel" formnovalidate>Cancel</button></p></form>';
    document.body.appendChild(dlg);
  }
  dlg.querySelector('#ack-title').textContent = 'Acknowledge: ' + (s.name || 'station') + ' (' + s.mmsi + ')';
  const sel = dlg.querySelector('#ack-alarm');
  sel.innerHTML = '';
  const add = (value, text) => { const o = document.createElement('option'); o.value = value; o.textContent = text; sel.appendChild(o); };
  add('', 'all unacknowledged (' + unacked(s).join(', ') + ')');
  for (const a of unacked(s)) add(a, a);
  sel.value = alarm || '';
  dlg.querySelector('#ack-by').value = localStorage.getItem(kByKey) || '';
  dlg.querySelector('#ack-note').value = '';
  dlg.querySelector('#ack-token').value = sessionStorage.getItem(kTokenKey) || '';
  dlg.querySelector('#ack-error').textContent = '';
  dlg.querySelector('form').onsubmit = async ev => {
    ev.preventDefault();
    if (ev.submitter && ev.submitter.value === 'cancel') { dlg.close(); return; }
    const by = dlg.querySelector('#ack-by').value.trim(), token = dlg.querySelector('#ack-token').value.trim();
    if (!by) { dlg.querySelector('#ack-error').textContent = 'Say who acknowledges.'; return; }
    localStorage.setItem(kByKey, by);
    if (token) sessionStorage.setItem(kTokenKey, token); else sessionStorage.removeItem(kTokenKey);
    const body = {mmsi: s.mmsi, by, note: dlg.querySelector('#ack-note').value};
    if (sel.value) body.alarm = sel.value;
    const headers = {'Content-Type': 'application/json'};
    if (token) headers.Authorization = 'Bearer ' + token;
    try {
      const r = await fetch('/api/ack', {method: 'POST', headers, body: JSON.stringify(body)});
      if (!r.ok) throw await failure(r, '/api/ack');
      dlg.close();
      done();
    } catch (e) {
      dlg.querySelector('#ack-error').textContent = e.message;
    }
  };
  dlg.querySelector('#ack-cancel').onclick = () => dlg.close();
  dlg.showModal();
}

// ---- the map ----

// A plain lat/lon grid where no tiles were given: nothing is fetched from
// outside. Lines in the tiles, their degrees along the map's top and left edges.
const kGridSteps = [30, 10, 5, 2, 1, 0.5, 0.25, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001];
const gridStep = (map, zoom) => {
  const span = 256 * 360 / (256 * Math.pow(2, zoom));   // degrees of longitude across one tile
  return kGridSteps.find(s => s <= span / 2) || kGridSteps[kGridSteps.length - 1];
};
function gridLayer(map) {
  const Grid = L.GridLayer.extend({
    createTile(coords) {
      const tile = document.createElement('canvas'), size = this.getTileSize();
      tile.width = size.x; tile.height = size.y;
      const g = tile.getContext('2d');
      const nw = map.unproject(coords.scaleBy(size), coords.z), se = map.unproject(coords.add([1, 1]).scaleBy(size), coords.z);
      const step = gridStep(map, coords.z);
      g.fillStyle = '#eef4f8'; g.fillRect(0, 0, size.x, size.y);
      g.strokeStyle = '#b8c8d6'; g.lineWidth = 1;
      const px = ll => map.project(ll, coords.z).subtract(coords.scaleBy(size));
      for (let lon = Math.ceil(nw.lng / step) * step; lon <= se.lng; lon += step) {
        const x = Math.round(px([nw.lat, lon]).x) + 0.5;
        g.beginPath(); g.moveTo(x, 0); g.lineTo(x, size.y); g.stroke();
      }
      for (let lat = Math.ceil(se.lat / step) * step; lat <= nw.lat; lat += step) {
        const y = Math.round(px([lat, nw.lng]).y) + 0.5;
        g.beginPath(); g.moveTo(0, y); g.lineTo(size.x, y); g.stroke();
      }
      return tile;
    }
  });
  const labels = L.DomUtil.create('div', 'grid-labels', map.getContainer());
  const draw = () => {
    const b = map.getBounds(), step = gridStep(map, map.getZoom()), out = [];
    const fmt = (v, pos, neg) => (Math.round(Math.abs(v) * 1000) / 1000) + '°' + (v >= 0 ? pos : neg);
    for (let lon = Math.ceil(b.getWest() / step) * step; lon <= b.getEast(); lon += step)
      out.push('<span style="left:' + (map.latLngToContainerPoint([b.getNorth(), lon]).x + 2) + 'px;top:2px">' + fmt(lon, 'E', 'W') + '</span>');
    for (let lat = Math.ceil(b.getSouth() / step) * step; lat <= b.getNorth(); lat += step)
      out.push('<span style="right:2px;top:' + (map.latLngToContainerPoint([lat, b.getWest()]).y - 14) + 'px">' + fmt(lat, 'N', 'S') + '</span>');
    labels.innerHTML = out.join('');
  };
  map.on('moveend zoomend resize', draw);
  map.whenReady(draw);
  return new Grid();
}

// The stations on a map: a dot where each reports itself (or is charted,
// when it has no fix), coloured by state; a ring where it is charted and a
// dashed line to it when the two differ.
function stationMap(el) {
  if (!window.L) {
    el.textContent = 'The map needs Leaflet (Debian package libjs-leaflet) on the monitor\'s machine.';
    el.classList.add('nomap');
    return null;
  }
  const tiles = (document.querySelector('meta[name=tiles]') || {}).content || '';
  const map = L.map(el, {preferCanvas: true, worldCopyJump: true, attributionControl: !!tiles});
  if (tiles) L.tileLayer(tiles, {maxZoom: 19, attribution: 'tiles: ' + esc(tiles.split('/')[2] || tiles)}).addTo(map);
  else gridLayer(map).addTo(map);
  map.setView([20, 0], 2);
  // One pane a state, the worse above: an alarm is never hidden under a crowd of quiet neighbours.
  kColours.forEach((c, i) => { map.createPane('severity' + i).style.zIndex = 400 + i; });
  const legend = L.control({position: 'bottomleft'});
  legend.onAdd = () => {
    const d = L.DomUtil.create('div', 'legend');
    d.innerHTML = kColours.map((c, i) => '<span><i style="background:' + c + '"></i>' + kSeverityNames[i] + '</span>').reverse().join('') +
      '<span><i class="ring"></i>charted position</span>';
    return d;
  };
  legend.addTo(map);
  const layer = L.layerGroup().addTo(map), marks = new Map();
  const label = s => { const d = document.createElement('div'); d.textContent = (s.name || '(no name)') + ' — ' + s.mmsi; return d; };
  const differ = s => s.lat !== null && s.lat !== undefined && s.charted_lat !== null && s.charted_lat !== undefined &&
    (s.distance_m === null || s.distance_m === undefined || s.distance_m >= 1);
  return {
    map,
    // Draws `list`, leaving alone the markers of stations that did not change.
    update(list) {
      const keep = new Set();
      for (const s of list) {
        const lat = s.lat ?? s.charted_lat, lon = s.lat !== null && s.lat !== undefined ? s.lon : s.charted_lon;
        if (lat === null || lat === undefined || lon === null || lon === undefined) continue;
        keep.add(s.mmsi);
        const key = (s.rev ?? '') + '|' + lat + '|' + lon + '|' + severity(s) + '|' + s.charted_lat + '|' + s.charted_lon + '|' + s.name;
        let m = marks.get(s.mmsi);
        if (m && m.key === key) continue;
        if (m) for (const l of m.layers) layer.removeLayer(l);
        const colour = kColours[severity(s)], pane = 'severity' + severity(s), layers = [];
        if (differ(s)) {
          layers.push(L.polyline([[s.charted_lat, s.charted_lon], [s.lat, s.lon]], {pane, color: colour, weight: 1.5, dashArray: '4 4', interactive: false}));
          layers.push(L.circleMarker([s.charted_lat, s.charted_lon], {pane, radius: 6, color: colour, weight: 2, fill: false})
            .bindTooltip(() => { const d = label(s); d.append(' (charted)'); return d; }));
        }
        const dot = L.circleMarker([lat, lon], {pane, radius: 5, color: '#333', weight: 1, fillColor: colour, fillOpacity: 0.9})
          .bindTooltip(() => label(s));
        dot.on('click', () => { location.href = '/station/' + s.mmsi; });
        layers.push(dot);
        for (const l of layers) layer.addLayer(l);
        marks.set(s.mmsi, {key, layers, lat, lon});
      }
      for (const [mmsi, m] of marks)
        if (!keep.has(mmsi)) { for (const l of m.layers) layer.removeLayer(l); marks.delete(mmsi); }
    },
    fit() {
      const pts = [...marks.values()].map(m => [m.lat, m.lon]);
      if (pts.length) map.fitBounds(L.latLngBounds(pts).pad(0.1), {maxZoom: 14});
    }
  };
}
