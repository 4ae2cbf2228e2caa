'use strict';
// The panel's page. Every text from the game is put in with textContent, never as markup.
const state = {csrf: '', role: 'viewer', target: null, charts: {}, pending: {}, chartLoaded: 0, editing: null, presets: [],
  banOffset: 0, auditOffset: 0};
const $ = (id) => document.getElementById(id);
const rank = {viewer: 0, moderator: 1, admin: 2};
const tabs = ['status', 'players', 'bans', 'history', 'audit', 'settings'];
// Addresses of the one long page before it had tabs still open the tab that holds them.
const oldAddresses = {chat: 'status', server: 'status'};
const pageSize = 50;

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  row.appendChild(td);
  return td;
}

// Each cell names its column, for the narrow layout where a row is shown as a card.
function labelCells(table) {
  const names = Array.from(table.tHead.rows[0].cells, (th) => th.textContent);
  for (const row of table.tBodies[0].rows) {
    Array.from(row.cells).forEach((td, i) => { td.dataset.label = names[i] || ''; });
  }
}

function when(seconds) {
  return seconds ? new Date(seconds * 1000).toLocaleString() : '';
}

// A failure that belongs to no action (a list that could not be read): under the header, in view.
function say(text) {
  $('message').textContent = text || '';
}

// What an action came to, next to it, and scrolled into view.
function show(output, text, ok) {
  if (!output) return say(text);
  output.textContent = text || '';
  output.classList.toggle('ok', ok);
  output.classList.toggle('error', !ok);
  if (text) output.scrollIntoView({block: 'nearest'});
}

async function api(method, path, body) {
  const options = {method, credentials: 'same-origin', headers: {}};
  if (method !== 'GET') {
    options.headers['X-CSRF-Token'] = state.csrf;
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body || {});
  }
  const answer = await fetch(path, options);
  if (answer.status === 401) {
    window.location.assign('/login.html');
    throw new Error('logged out');
  }
  const data = await answer.json();
  if (!answer.ok) {
    const error = new Error(data.error || answer.statusText);
    error.question = data.question;
    throw error;
  }
  return data;
}

// A question in the page's own dialog; yes or no.
function ask(question) {
  const dialog = $('confirmDialog');
  $('confirmText').textContent = question;
  return new Promise((resolve) => {
    const done = (yes) => {
      dialog.removeEventListener('close', onClose);
      $('confirmYes').onclick = null;
      if (dialog.open) dialog.close();
      resolve(yes);
    };
    const onClose = () => done(false);
    dialog.addEventListener('close', onClose);
    $('confirmYes').onclick = () => done(true);
    $('confirmNo').onclick = () => done(false);
    dialog.showModal();
    $('confirmNo').focus();
  });
}

// An action, its result shown in `output`. One the program asks about first comes back with its
// question: asked here, and on yes sent again with the answer.
async function act(method, path, body, output, done) {
  show(output, 'Sending…', true);
  try {
    const data = await api(method, path, body);
    show(output, data.report || done || 'Done.', true);
    return true;
  } catch (e) {
    if (e.question && await ask(e.question)) return act(method, path, Object.assign({}, body, {confirm: true}), output, done);
    show(output, e.question ? 'Not done.' : e.message, false);
    return false;
  }
}

const resultOf = (form) => form.querySelector('output.result');

// --- Tabs: the address's hash names the tab, so a reload keeps it.

function openTab(name, focus) {
  if (!tabs.includes(name)) name = oldAddresses[name] || 'status';
  for (const t of tabs) {
    const on = t === name;
    $(t).hidden = !on;
    const tab = $('tab-' + t);
    tab.setAttribute('aria-selected', on ? 'true' : 'false');
    tab.tabIndex = on ? 0 : -1;
    if (on && focus) tab.focus();
  }
  // The charts take their width when shown.
  if (name === 'status') {
    for (const chart of Object.values(state.charts)) chart.resize();
    for (const [key, [element, series]] of Object.entries(state.pending)) drawSeries(key, element, series);
  }
}

function wireTabs() {
  const fromHash = () => openTab(window.location.hash.slice(1), false);
  window.addEventListener('hashchange', fromHash);
  fromHash();
  // Arrow keys, Home and End move between the tabs, as in a tab list.
  $('nav').addEventListener('keydown', (event) => {
    const at = tabs.indexOf(document.activeElement.id.replace('tab-', ''));
    if (at < 0) return;
    const to = {ArrowRight: at + 1, ArrowLeft: at - 1, Home: 0, End: tabs.length - 1}[event.key];
    if (to === undefined) return;
    event.preventDefault();
    const name = tabs[(to + tabs.length) % tabs.length];
    window.location.hash = name;
    openTab(name, true);
  });
}

// --- Status and chat.

function showStatus(s) {
  const list = $('statusList');
  list.replaceChildren();
  const rows = [
    ['Server', s.attached ? s.serverName : 'no game server found'], ['Map', s.mapName], ['State', s.state],
    ['Clock', s.clock], ['Players', s.players + ' / ' + s.maxPlayers],
    ['Last report', when(s.lastReport) + ' ' + (s.lastReportOutcome || '')],
    ['Last upload', when(s.lastUpload) + ' ' + (s.lastUploadOutcome || '')],
  ];
  $('storeShown').textContent = s.store
    ? 'This program keeps its record in a shared database: ' + s.store + ' (masked).'
    : 'This program keeps its record in its local file, tovistats.db.';
  for (const [name, value] of rows) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    // An address wraps after its slashes rather than inside a word; the parts stay text.
    const parts = String(value).split('/');
    parts.forEach((part, i) => {
      if (i > 0) dd.append(document.createElement('wbr'));
      dd.append(part + (i < parts.length - 1 ? '/' : ''));
    });
    list.append(dt, dd);
  }
  $('serverState').textContent = s.attached
    ? [s.serverName, s.state, s.clock, s.players + '/' + s.maxPlayers].filter((v) => v !== '' && v !== undefined).join(' · ')
    : 'No game server found';
  $('serverState').classList.toggle('away', !s.attached);
}

// One line per line said; a line the program sent names who sent it (and to whom), newest first
// as in the window.
function addChat(line) {
  const li = document.createElement('li');
  const time = document.createElement('time');
  time.textContent = new Date(line.time * 1000).toLocaleTimeString() + ' ';
  const who = document.createElement('b');
  if (line.sent) {
    li.className = 'sent';
    who.textContent = (line.by || 'Sent') + (line.sender ? ' to ' + line.sender : '') + ': ';
  } else {
    who.textContent = line.sender ? line.sender + ': ' : '';
  }
  const text = document.createElement('span');
  text.textContent = line.text;
  li.append(time, who, text);
  const list = $('chatLines');
  list.prepend(li);
  while (list.children.length > 300) list.removeChild(list.lastChild);
}

// --- Players and the actions on a row.

function showPlayers(players) {
  const body = $('playerTable').tBodies[0];
  body.replaceChildren();
  for (const p of players) {
    const row = body.insertRow();
    row.className = 'player';
    for (const v of [p.slot, p.name, p.team, p.kills, p.deaths, p.ping]) cell(row, v);
    if (rank[state.role] >= rank.moderator) {
      const td = cell(row, '');
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Act…';
      button.setAttribute('aria-label', 'Act on ' + p.name);
      button.addEventListener('click', () => openPlayer(p));
      td.appendChild(button);
    }
  }
  labelCells($('playerTable'));
}

function openPlayer(p) {
  const dialog = $('playerDialog');
  if (!state.target || state.target.slot !== p.slot || state.target.name !== p.name) {
    for (const form of dialog.querySelectorAll('form')) {
      form.reset();
      show(resultOf(form), '', true);
    }
    choosePreset('rowBan');
  }
  state.target = {slot: p.slot, name: p.name};
  $('actionTarget').textContent = p.name;
  if (!dialog.open) dialog.showModal();
  $('talkText').focus();
}

function minutesText(minutes) {
  if (!minutes) return 'for good';
  if (minutes % 1440 === 0) return minutes / 1440 === 1 ? '1 day' : minutes / 1440 + ' days';
  if (minutes % 60 === 0) return minutes / 60 === 1 ? '1 hour' : minutes / 60 + ' hours';
  return minutes === 1 ? '1 minute' : minutes + ' minutes';
}

// The presets the window offers under "Ban for", each filling the reason and the minutes.
function fillPresets(presets) {
  state.presets = presets;
  for (const select of document.querySelectorAll('select.presets')) {
    const keep = select.value;
    select.replaceChildren();
    const own = document.createElement('option');
    own.value = '';
    own.textContent = 'A reason and a time of my own';
    select.appendChild(own);
    presets.forEach((p, i) => {
      const option = document.createElement('option');
      option.value = String(i);
      option.textContent = minutesText(p.minutes) + ': ' + p.reason;
      select.appendChild(option);
    });
    select.value = keep && Number(keep) < presets.length ? keep : '';
  }
}

function choosePreset(prefix) {
  const p = state.presets[Number($(prefix + 'Preset').value)];
  if ($(prefix + 'Preset').value === '' || !p) return;
  $(prefix + 'Reason').value = p.reason;
  $(prefix + 'Minutes').value = p.minutes;
}

function wirePlayerDialog() {
  const dialog = $('playerDialog');
  $('playerDialogClose').addEventListener('click', () => dialog.close());
  const target = () => ({slot: state.target.slot, name: state.target.name});
  const action = (formId, run) => $(formId).addEventListener('submit', async (event) => {
    event.preventDefault();
    const form = $(formId);
    if (await run(form, resultOf(form))) form.reset();
  });
  action('talkForm', (form, out) => act('POST', '/api/v1/players/talk',
    Object.assign(target(), {text: $('talkText').value}), out, 'Said to ' + state.target.name + '.'));
  action('warnForm', (form, out) => act('POST', '/api/v1/players/warn',
    Object.assign(target(), {text: $('warnText').value}), out, state.target.name + ' warned.'));
  action('puntForm', async (form, out) => {
    const name = state.target.name;
    if (!await ask('Punt ' + name + '? Reason: ' + $('puntReason').value)) return show(out, 'Not punted.', false);
    return act('POST', '/api/v1/players/punt', Object.assign(target(), {reason: $('puntReason').value}), out,
      name + ' punted.');
  });
  action('rowBanForm', async (form, out) => {
    const name = state.target.name;
    const minutes = Number($('rowBanMinutes').value);
    if (!await ask('Ban ' + name + ' ' + minutesText(minutes) + '? Reason: ' + $('rowBanReason').value)) {
      return show(out, 'Not banned.', false);
    }
    const done = await act('POST', '/api/v1/bans', {name, reason: $('rowBanReason').value, minutes}, out,
      name + ' banned ' + minutesText(minutes) + '.');
    if (done) loadBans().catch((e) => say(e.message));
    return done;
  });
  $('rowBanPreset').addEventListener('change', () => choosePreset('rowBan'));
}

// --- Bans: a page at a time, searched and filtered by the program.

function showBans(data) {
  fillPresets(data.presets || []);
  const body = $('banTable').tBodies[0];
  body.replaceChildren();
  for (const b of data.bans) {
    const row = body.insertRow();
    for (const v of [b.name, b.reason, b.issuedBy, b.expiresAt ? when(b.expiresAt) : 'for good', b.state]) cell(row, v);
    const td = cell(row, '');
    td.className = 'admin-only';
    if (rank[state.role] >= rank.admin) {
      const edit = document.createElement('button');
      edit.type = 'button';
      edit.textContent = 'Change…';
      edit.addEventListener('click', () => {
        state.editing = b.id;
        $('banEditName').textContent = b.name;
        $('banEditReason').value = b.reason;
        $('banEditMinutes').value = b.expiresAt ? Math.max(1, Math.round((b.expiresAt - Date.now() / 1000) / 60)) : 0;
        show(resultOf($('banEditForm')), '', true);
        $('banEditDialog').showModal();
      });
      td.appendChild(edit);
    }
    if (rank[state.role] >= rank.admin && b.state === 'active') {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Lift…';
      button.addEventListener('click', async () => {
        if (!await ask('Lift the ban on ' + b.name + '?')) return;
        if (await act('POST', '/api/v1/bans/lift', {id: b.id, reason: 'lifted in the web panel'}, $('banListResult'),
          'The ban on ' + b.name + ' is lifted.')) loadBans();
      });
      td.appendChild(button);
    }
  }
  labelCells($('banTable'));
  pager('ban', state.banOffset, data.bans.length, data.total > state.banOffset + data.bans.length, data.total);
}

function pager(prefix, offset, shown, more, total) {
  $(prefix + 'Prev').disabled = offset === 0;
  $(prefix + 'Next').disabled = !more;
  $(prefix + 'Page').textContent = shown === 0 ? 'None found.'
    : (offset + 1) + ' to ' + (offset + shown) + (total !== undefined ? ' of ' + total : '');
}

async function loadBans() {
  const query = new URLSearchParams({order: 'newest', limit: pageSize, offset: state.banOffset});
  if ($('banSearch').value) query.set('text', $('banSearch').value);
  if ($('banState').value) query.set('state', $('banState').value);
  showBans(await api('GET', '/api/v1/bans?' + query));
}

// --- The audit log in words.

// A line said is recorded as the console line that said it.
const said = (text) => text ? ': "' + text.replace(/^gtalk /, '') + '"' : '';
const because = (reason) => reason ? ': ' + reason : '';

function auditWords(a) {
  const who = a.who || 'The program';
  const target = a.target || 'a player';
  switch (a.action) {
    case 'chat': return who + ' said to everyone' + said(a.detail);
    case 'talk': return who + ' said to ' + target + said(a.detail);
    case 'warn': return who + ' warned ' + target + because(a.reason || a.detail);
    case 'punt': return who + ' punted ' + target + because(a.reason);
    case 'ban': case 'ban listed': return who + ' banned ' + target + because(a.reason);
    case 'warning punt': return who + ' punted ' + target + ' for repeated warnings' + because(a.reason);
    case 'ban list announcement': return 'The ban list told the players why ' + target + ' is punted';
    case 'ban list punt': return 'The ban list punted ' + target + because(a.reason);
    case 'ban lifted': return who + ' lifted the ban on ' + target + because(a.reason);
    case 'ban edited': return who + ' changed the ban on ' + target + because(a.reason);
    case 'ban list imported': return who + ' imported the ban list';
    case 'ban list exported': return who + ' exported the ban list';
    case 'match time': return who + ' changed the match time' + because(a.detail);
    case 'reset games': return who + ' reset the games';
    case 'automatic message': return 'The program sent an automatic message' + said(a.detail);
    case 'periodic chat': return 'The program said at the match end' + said(a.detail);
    case 'automatic messages changed': return who + ' changed the automatic messages';
    case 'settings saved': return who + ' saved the settings' + because(a.detail);
    case 'record store changed': return who + ' changed where the record is kept';
    case 'login': return who + ' logged in' + (a.detail ? ' ' + a.detail : '');
    case 'login failed': return 'A login as ' + who + ' was refused' + (a.detail ? ' ' + a.detail : '');
    case 'login locked out': return 'Logins as ' + who + ' are locked out for a while' + (a.detail ? ' ' + a.detail : '');
    case 'logout': return who + ' logged out';
    case 'command': return who + ' ran the console command' + said(a.detail);
    default: return who + ': ' + a.action + (a.target ? ' ' + a.target : '') + because(a.reason);
  }
}

function outcomeWords(a) {
  if (a.outcome === 'refused') return 'Refused' + because(a.why);
  if (a.outcome === 'skipped') return 'Not sent' + because(a.why);
  return 'Done';
}

async function loadAudit() {
  const query = serverQuery(new URLSearchParams({limit: pageSize, offset: state.auditOffset}));
  if ($('auditSearch').value) query.set('text', $('auditSearch').value);
  if ($('auditPlayer').value) query.set('player', $('auditPlayer').value);
  const data = await api('GET', '/api/v1/audit?' + query);
  const body = $('auditTable').tBodies[0];
  body.replaceChildren();
  for (const r of data.rows) {
    const row = body.insertRow();
    cell(row, when(r.time));
    cell(row, r.action ? auditWords(r.action) : r.player + ' ' + r.text + ' ' + r.detail);
    cell(row, r.action ? outcomeWords(r.action) : '');
  }
  labelCells($('auditTable'));
  pager('audit', state.auditOffset, data.rows.length, data.more);
}

function showRows(tableId, rows, columns) {
  const body = $(tableId).tBodies[0];
  body.replaceChildren();
  for (const r of rows) {
    const row = body.insertRow();
    for (const c of columns) {
      // A stint's end comes as a time of its own, shown as the panel shows times.
      const stintEnd = c === 'detail' && typeof r.leftAt === 'number';
      cell(row, c === 'time' ? when(r.time) : stintEnd ? 'left ' + when(r.leftAt) : r[c]);
    }
  }
}

// --- The charts.

const pad = (n) => String(n).padStart(2, '0');
const clockTime = (d) => pad(d.getHours()) + ':' + pad(d.getMinutes());
const clockSeconds = (d) => clockTime(d) + ':' + pad(d.getSeconds());

// A step line of the players from the record, the match ends drawn across it.
function drawSeries(key, element, series) {
  if (typeof Dygraph === 'undefined') return;
  // A chart made in a hidden tab would take a fixed width of its own: it is drawn when shown.
  state.pending[key] = [element, series];
  if (!element.offsetWidth) return;
  delete state.pending[key];
  const points = series.points.map(([t, n]) => [new Date(t * 1000), n]);
  if (points.length && series.to > series.points[series.points.length - 1][0]) {
    points.push([new Date(series.to * 1000), points[points.length - 1][1]]);
  }
  if (!points.length) points.push([new Date(series.from * 1000), 0], [new Date(series.to * 1000), 0]);
  const ends = series.matchEnds.map(([t]) => t * 1000);
  const short = series.to - series.from < 15 * 60;
  const options = {labels: ['Time', 'Players'], stepPlot: true, valueRange: [0, null], legend: 'never',
    dateWindow: [series.from * 1000, series.to * 1000],
    xlabel: 'Time of day', ylabel: 'Players', xLabelHeight: 18, yLabelWidth: 18, axisLabelFontSize: 13,
    // Short whole labels, spaced so that none is cut at the chart's edges; players are whole.
    axes: {x: {axisLabelFormatter: short ? clockSeconds : clockTime, pixelsPerLabel: short ? 80 : 70,
      axisLabelWidth: short ? 64 : 48},
    y: {axisLabelWidth: 40, axisLabelFormatter: (n) => Number.isInteger(n) ? String(n) : ''}},
    underlayCallback: (canvas, area, graph) => {
      canvas.fillStyle = '#c0392b';
      for (const t of ends) canvas.fillRect(graph.toDomXCoord(t), area.y, 2, area.h);
    }};
  if (!state.charts[key]) {
    state.charts[key] = new Dygraph(element, points, options);
  } else {
    state.charts[key].updateOptions(Object.assign({file: points}, options));
  }
}

// The server whose record is shown, as a query parameter: none for this program's own.
function serverQuery(query) {
  const server = $('serverChoice').value;
  if (server) query.set('server', server);
  return query;
}

// Several servers only on a store shared by the community; the picker is shown only then.
async function loadServers() {
  const servers = (await api('GET', '/api/v1/servers')).servers;
  const select = $('serverChoice');
  select.replaceChildren();
  servers.forEach((s, i) => {
    const option = document.createElement('option');
    option.value = s.own ? '' : s.id;
    option.textContent = (s.name || 'Server ' + (i + 1)) + (s.own ? ' (this server)' : '');
    select.appendChild(option);
  });
  $('serverPicker').classList.toggle('hidden', servers.length < 2);
}

async function loadSeries() {
  const chosen = $('chartMatch').selectedOptions[0];
  const query = serverQuery(new URLSearchParams());
  if (chosen && chosen.value) {
    query.set('match', chosen.value);
    query.set('start', chosen.dataset.start);
  }
  const data = await api('GET', '/api/v1/status/players-over-time?' + query);
  state.chartLoaded = Date.now();
  drawSeries('day', $('chart'), data.day);
  if (data.match) drawSeries('match', $('matchChart'), data.match);
  const select = $('chartMatch');
  const keep = select.value;
  while (select.options.length > 1) select.remove(1);
  for (const m of data.matches.slice().reverse()) {
    const option = document.createElement('option');
    option.value = m.id;
    option.dataset.start = m.started;
    option.textContent = when(m.started) + (m.underWay ? ' (under way)' : m.ended ? ' to ' + when(m.ended) : '');
    select.appendChild(option);
  }
  select.value = keep;
}

async function loadStatus() { showStatus(await api('GET', '/api/v1/status')); }
async function loadPlayers() { showPlayers((await api('GET', '/api/v1/players')).players); }
async function loadChat() {
  $('chatLines').replaceChildren();
  for (const line of (await api('GET', '/api/v1/chat')).lines) addChat(line);
}
async function loadAutoMessages() {
  const m = await api('GET', '/api/v1/automessages');
  $('autoEnabled').checked = m.enabled;
  $('autoInterval').value = m.intervalMinutes;
  $('autoLines').value = m.lines.join('\n');
}

function live() {
  const scheme = window.location.protocol === 'https:' ? 'wss://' : 'ws://';
  const socket = new WebSocket(scheme + window.location.host + '/api/v1/live');
  socket.addEventListener('message', (event) => {
    const e = JSON.parse(event.data);
    if (e.type === 'status') showStatus(e.status);
    else if (e.type === 'players') {
      showPlayers(e.players);
      // The chart is read from the record again now and then, not on every change.
      if (Date.now() - state.chartLoaded > 30000) loadSeries().catch(() => {});
    }
    else if (e.type === 'chat') addChat(e.line);
    else if (e.type === 'admin') {
      loadAudit().catch((err) => say(err.message));
      loadBans().catch((err) => say(err.message));
    }
  });
  // A feed that ends with the session sends the page back to the login; otherwise it comes back.
  socket.addEventListener('close', () => setTimeout(() => api('GET', '/api/v1/session').then(live, () => {}), 5000));
}

// A search from its first page; the pager's buttons a page newer or older.
function wireList(prefix, load, output) {
  const reload = () => load().then(() => show(output, '', true), (e) => show(output, e.message, false));
  $(prefix + 'SearchForm').addEventListener('submit', (event) => {
    event.preventDefault();
    state[prefix + 'Offset'] = 0;
    reload();
  });
  $(prefix + 'Prev').addEventListener('click', () => {
    state[prefix + 'Offset'] = Math.max(0, state[prefix + 'Offset'] - pageSize);
    reload();
  });
  $(prefix + 'Next').addEventListener('click', () => {
    state[prefix + 'Offset'] += pageSize;
    reload();
  });
}

function wire() {
  wireTabs();
  wirePlayerDialog();
  // The charts follow the page's width (a phone turned, a window made narrower).
  window.addEventListener('resize', () => { for (const chart of Object.values(state.charts)) chart.resize(); });
  wireList('ban', loadBans, $('banListResult'));
  wireList('audit', loadAudit, $('auditResult'));
  $('logout').addEventListener('click', async () => {
    await act('POST', '/api/v1/logout', {});
    sessionStorage.removeItem('csrf');
    window.location.assign('/login.html');
  });
  $('chatForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/chat', {text: $('chatText').value}, $('chatResult'), 'Sent.')) $('chatForm').reset();
  });
  $('banForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const name = $('banName').value;
    const minutes = Number($('banMinutes').value);
    if (!await ask('Ban ' + name + ' ' + minutesText(minutes) + '? Reason: ' + $('banReason').value)) {
      return show($('banResult'), 'Not banned.', false);
    }
    const body = {name, reason: $('banReason').value, minutes};
    if (await act('POST', '/api/v1/bans', body, $('banResult'), name + ' banned ' + minutesText(minutes) + '.')) {
      $('banForm').reset();
      loadBans().catch((e) => say(e.message));
    }
  });
  $('banPreset').addEventListener('change', () => choosePreset('ban'));
  $('historyForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const query = serverQuery(new URLSearchParams({kind: $('historyKind').value, text: $('historyText').value,
      player: $('historyPlayer').value}));
    try {
      showRows('historyTable', (await api('GET', '/api/v1/history?' + query)).rows,
        ['time', 'kind', 'player', 'text', 'detail']);
    } catch (e) { say(e.message); }
  });
  $('serverChoice').addEventListener('change', () => {
    // Another server's matches: the chart starts again from its newest.
    $('chartMatch').value = '';
    $('historyTable').tBodies[0].replaceChildren();
    state.auditOffset = 0;
    Promise.all([loadSeries(), loadAudit()]).then(() => say(''), (e) => say(e.message));
  });
  $('consoleForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/console', {command: $('consoleText').value}, $('consoleResult'), 'Sent.')) {
      $('consoleForm').reset();
    }
  });
  $('timeMore').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'more'}, $('matchResult'),
    'A minute more on the clock.'));
  $('timeLess').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'less'}, $('matchResult'),
    'A minute less on the clock.'));
  $('resetGames').addEventListener('click', () => act('POST', '/api/v1/match/reset', {}, $('matchResult'),
    'The games are reset.'));
  $('chartMatch').addEventListener('change', () => loadSeries().catch((e) => say(e.message)));
  $('banEditCancel').addEventListener('click', () => $('banEditDialog').close());
  $('banEditForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = {id: state.editing, reason: $('banEditReason').value, minutes: Number($('banEditMinutes').value)};
    if (await act('POST', '/api/v1/bans/edit', body, resultOf($('banEditForm')), 'The ban is changed.')) {
      loadBans().catch((e) => say(e.message));
    }
  });
  $('banExport').addEventListener('click', async () => {
    try {
      const csv = (await api('GET', '/api/v1/bans/export')).csv;
      const link = document.createElement('a');
      link.href = URL.createObjectURL(new Blob([csv], {type: 'text/csv'}));
      link.download = 'bans.csv';
      link.click();
      URL.revokeObjectURL(link.href);
    } catch (e) { show($('banListResult'), e.message, false); }
  });
  $('banImportForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const file = $('banImportFile').files[0];
    if (!file) return show($('banImportResult'), 'Choose a CSV file first.', false);
    if (await act('POST', '/api/v1/bans/import', {csv: await file.text()}, $('banImportResult'))) {
      $('banImportForm').reset();
      loadBans().catch((e) => say(e.message));
    }
  });
  wireSettings();
  $('autoForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const lines = $('autoLines').value.split('\n').map((l) => l.trim()).filter((l) => l);
    await act('POST', '/api/v1/automessages', {enabled: $('autoEnabled').checked,
      intervalMinutes: Number($('autoInterval').value), lines}, resultOf($('autoForm')), 'Automatic messages saved.');
  });
}

const secretFields = ['setServerCode', 'setSharedStore', 'setDiscordUrl', 'setWebhookUrl', 'setWebhookSecret'];

function fillEvents(id, all, chosen, titles) {
  const select = $(id);
  select.replaceChildren();
  for (const key of all) {
    const option = document.createElement('option');
    option.value = key;
    option.textContent = (titles && titles[key]) || key.replace(/_/g, ' ');
    option.selected = chosen.includes(key);
    select.appendChild(option);
  }
}

const chosenEvents = (id) => Array.from($(id).selectedOptions, (o) => o.value);

async function loadSettings() {
  const s = await api('GET', '/api/v1/settings');
  $('setServerCode').value = s.statusUpdate.serverCode;
  $('setUpdateUrl').value = s.statusUpdate.updateUrl;
  $('setImportUrl').value = s.statusUpdate.importUrl;
  $('setScoringTimeOn').checked = s.other.scoringTimeOn;
  $('setScoringSeconds').value = s.other.scoringSeconds;
  $('setDisplayNextMap').checked = s.other.displayNextMap;
  $('setKeepArchive').checked = s.other.keepArchive;
  $('setMinPlayers').value = s.other.minPlayers;
  $('setHistoryDays').value = s.other.historyDays;
  $('setSharedStore').value = s.other.sharedStore;
  $('setPeriodicChatOn').checked = s.other.periodicChatOn;
  $('setPeriodicChatText').value = s.other.periodicChatText;
  const n = s.notices;
  $('setDiscordUrl').value = n.discordUrl;
  $('setWebhookUrl').value = n.webhookUrl;
  $('setWebhookSecret').value = n.webhookSecret;
  fillEvents('setDiscordEvents', s.events, n.discordEvents, s.eventTitles);
  fillEvents('setWebhookEvents', s.events, n.webhookEvents, s.eventTitles);
  fillEvents('setDesktopEvents', s.events, n.desktopEvents, s.eventTitles);
  $('setDesktop').checked = n.desktop;
  $('setWatched').value = n.watched;
  $('setNotHosting').value = n.notHostingMinutes;
  $('setReportFailures').value = n.reportFailures;
  $('setMaxAge').value = n.maxAgeHours;
  $('setBanPresets').value = s.bans.presets;
  $('setWarningsOn').checked = s.bans.warningsOn;
  $('setWarningSteps').value = s.bans.warningSteps;
  $('setWarningWindow').value = s.bans.warningWindowMinutes;
}

function wireSettings() {
  const save = (form, group, read) => $(form).addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/settings', {[group]: read()}, resultOf($(form)), 'Settings saved.')) {
      loadSettings().catch((e) => say(e.message));
    }
  });
  save('statusSettingsForm', 'statusUpdate', () => ({serverCode: $('setServerCode').value,
    updateUrl: $('setUpdateUrl').value, importUrl: $('setImportUrl').value}));
  save('otherSettingsForm', 'other', () => ({scoringTimeOn: $('setScoringTimeOn').checked,
    scoringSeconds: Number($('setScoringSeconds').value), displayNextMap: $('setDisplayNextMap').checked,
    keepArchive: $('setKeepArchive').checked, minPlayers: Number($('setMinPlayers').value),
    historyDays: Number($('setHistoryDays').value), sharedStore: $('setSharedStore').value,
    periodicChatOn: $('setPeriodicChatOn').checked, periodicChatText: $('setPeriodicChatText').value}));
  save('noticeSettingsForm', 'notices', () => ({discordUrl: $('setDiscordUrl').value,
    discordEvents: chosenEvents('setDiscordEvents'), webhookUrl: $('setWebhookUrl').value,
    webhookSecret: $('setWebhookSecret').value, webhookEvents: chosenEvents('setWebhookEvents'),
    desktop: $('setDesktop').checked, desktopEvents: chosenEvents('setDesktopEvents'), watched: $('setWatched').value,
    notHostingMinutes: Number($('setNotHosting').value), reportFailures: Number($('setReportFailures').value),
    maxAgeHours: Number($('setMaxAge').value)}));
  save('banSettingsForm', 'bans', () => ({presets: $('setBanPresets').value, warningsOn: $('setWarningsOn').checked,
    warningSteps: $('setWarningSteps').value, warningWindowMinutes: Number($('setWarningWindow').value)}));
  // A secret's box is selected whole when it is entered: typing replaces the mask, never adds to it.
  for (const id of secretFields) {
    $(id).addEventListener('focus', () => { if ($(id).value.includes('********')) $(id).select(); });
  }
}

document.addEventListener('DOMContentLoaded', async () => {
  try {
    const session = await api('GET', '/api/v1/session');
    state.csrf = session.csrf || sessionStorage.getItem('csrf') || '';
    state.role = session.role;
    $('who').textContent = session.name + ' (' + session.role + ')';
    document.body.classList.add('role-' + session.role);
  } catch (e) {
    return;
  }
  wire();
  await loadServers().catch((e) => say(e.message));
  await Promise.all([loadStatus(), loadPlayers(), loadChat(), loadBans(), loadAudit(), loadSeries()]
    .map((p) => p.catch((e) => say(e.message))));
  if (rank[state.role] >= rank.admin) {
    loadAutoMessages().catch((e) => say(e.message));
    loadSettings().catch((e) => say(e.message));
  }
  live();
});
