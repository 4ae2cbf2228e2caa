'use strict';
// The panel's page. Every text from the game is put in with textContent, never as markup.
const state = {csrf: '', role: 'viewer', target: null, charts: {}, chartLoaded: 0, editing: null};
const $ = (id) => document.getElementById(id);
const rank = {viewer: 0, moderator: 1, admin: 2};

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  row.appendChild(td);
  return td;
}

function when(seconds) {
  return seconds ? new Date(seconds * 1000).toLocaleString() : '';
}

function say(text) {
  $('message').textContent = text || '';
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

// An action the program asks about first comes back with its question: asked here, and on yes
// sent again with the answer.
async function act(method, path, body) {
  try {
    const data = await api(method, path, body);
    say(data.report || '');
    return true;
  } catch (e) {
    if (e.question && window.confirm(e.question)) return act(method, path, Object.assign({}, body, {confirm: true}));
    say(e.question ? 'Not done.' : e.message);
    return false;
  }
}

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
    dd.textContent = value;
    list.append(dt, dd);
  }
}

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
      button.textContent = 'Act';
      button.addEventListener('click', () => {
        state.target = {slot: p.slot, name: p.name};
        $('actionTarget').textContent = p.name;
        $('playerActionForm').classList.remove('hidden');
        $('actionText').focus();
      });
      td.appendChild(button);
    }
  }
}

function addChat(line) {
  const li = document.createElement('li');
  const time = document.createElement('time');
  time.textContent = new Date(line.time * 1000).toLocaleTimeString() + ' ';
  const who = document.createElement('b');
  who.textContent = line.sent ? '(sent' + (line.sender ? ' to ' + line.sender : '') + ') ' : line.sender + ': ';
  const text = document.createElement('span');
  text.textContent = line.text;
  li.append(time, who, text);
  const list = $('chatLines');
  list.appendChild(li);
  while (list.children.length > 300) list.removeChild(list.firstChild);
}

function showBans(bans) {
  const body = $('banTable').tBodies[0];
  body.replaceChildren();
  for (const b of bans) {
    const row = body.insertRow();
    for (const v of [b.name, b.reason, b.issuedBy, b.expiresAt ? when(b.expiresAt) : 'for good', b.state]) cell(row, v);
    const td = cell(row, '');
    if (rank[state.role] >= rank.admin) {
      const edit = document.createElement('button');
      edit.type = 'button';
      edit.textContent = 'Change';
      edit.addEventListener('click', () => {
        state.editing = b.id;
        $('banEditName').textContent = b.name;
        $('banEditReason').value = b.reason;
        $('banEditMinutes').value = b.expiresAt ? Math.max(1, Math.round((b.expiresAt - Date.now() / 1000) / 60)) : 0;
        $('banEditForm').classList.remove('hidden');
      });
      td.appendChild(edit);
    }
    if (rank[state.role] >= rank.admin && b.state === 'active') {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Lift';
      button.addEventListener('click', async () => {
        if (await act('POST', '/api/v1/bans/lift', {id: b.id, reason: 'lifted in the web panel'})) loadBans();
      });
      td.appendChild(button);
    }
  }
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

// A step line of the players from the record, the match ends drawn across it.
function drawSeries(key, element, series) {
  if (typeof Dygraph === 'undefined') return;
  const points = series.points.map(([t, n]) => [new Date(t * 1000), n]);
  if (points.length && series.to > series.points[series.points.length - 1][0]) {
    points.push([new Date(series.to * 1000), points[points.length - 1][1]]);
  }
  if (!points.length) points.push([new Date(series.from * 1000), 0], [new Date(series.to * 1000), 0]);
  const ends = series.matchEnds.map(([t]) => t * 1000);
  const options = {labels: ['Time', 'Players'], stepPlot: true, valueRange: [0, null], legend: 'never',
    dateWindow: [series.from * 1000, series.to * 1000],
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
async function loadBans() { showBans((await api('GET', '/api/v1/bans')).bans); }
async function loadAudit() {
  showRows('auditTable', (await api('GET', '/api/v1/audit?' + serverQuery(new URLSearchParams()))).rows,
    ['time', 'player', 'text', 'detail']);
}
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
    else if (e.type === 'admin') { loadAudit(); loadBans(); }
  });
  // A feed that ends with the session sends the page back to the login; otherwise it comes back.
  socket.addEventListener('close', () => setTimeout(() => api('GET', '/api/v1/session').then(live, () => {}), 5000));
}

function wire() {
  $('logout').addEventListener('click', async () => {
    await act('POST', '/api/v1/logout');
    sessionStorage.removeItem('csrf');
    window.location.assign('/login.html');
  });
  $('chatForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/chat', {text: $('chatText').value})) $('chatText').value = '';
  });
  $('playerActionForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const action = event.submitter ? event.submitter.dataset.action : 'talk';
    const text = $('actionText').value;
    const body = {slot: state.target.slot, name: state.target.name};
    if (action === 'punt') body.reason = text; else body.text = text;
    if (await act('POST', '/api/v1/players/' + action, body)) {
      $('actionText').value = '';
      $('playerActionForm').classList.add('hidden');
    }
  });
  $('actionCancel').addEventListener('click', () => $('playerActionForm').classList.add('hidden'));
  $('banForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = {name: $('banName').value, reason: $('banReason').value, minutes: Number($('banMinutes').value)};
    if (await act('POST', '/api/v1/bans', body)) loadBans();
  });
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
    Promise.all([loadSeries(), loadAudit()]).then(() => say(''), (e) => say(e.message));
  });
  $('consoleForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/console', {command: $('consoleText').value})) $('consoleText').value = '';
  });
  $('timeMore').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'more'}));
  $('timeLess').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'less'}));
  $('resetGames').addEventListener('click', () => act('POST', '/api/v1/match/reset', {}));
  $('chartMatch').addEventListener('change', () => loadSeries().catch((e) => say(e.message)));
  $('banEditCancel').addEventListener('click', () => $('banEditForm').classList.add('hidden'));
  $('banEditForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = {id: state.editing, reason: $('banEditReason').value, minutes: Number($('banEditMinutes').value)};
    if (await act('POST', '/api/v1/bans/edit', body)) {
      $('banEditForm').classList.add('hidden');
      loadBans();
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
    } catch (e) { say(e.message); }
  });
  $('banImport').addEventListener('click', async () => {
    const file = $('banImportFile').files[0];
    if (!file) return say('Choose a CSV file first.');
    if (await act('POST', '/api/v1/bans/import', {csv: await file.text()})) loadBans();
  });
  wireSettings();
  $('autoForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const lines = $('autoLines').value.split('\n').map((l) => l.trim()).filter((l) => l);
    await act('POST', '/api/v1/automessages', {enabled: $('autoEnabled').checked,
      intervalMinutes: Number($('autoInterval').value), lines});
  });
}

const secretFields = ['setServerCode', 'setSharedStore', 'setDiscordUrl', 'setWebhookUrl', 'setWebhookSecret'];

function fillEvents(id, all, chosen) {
  const select = $(id);
  select.replaceChildren();
  for (const key of all) {
    const option = document.createElement('option');
    option.value = key;
    option.textContent = key.replace(/_/g, ' ');
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
  fillEvents('setDiscordEvents', s.events, n.discordEvents);
  fillEvents('setWebhookEvents', s.events, n.webhookEvents);
  fillEvents('setDesktopEvents', s.events, n.desktopEvents);
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
    if (await act('POST', '/api/v1/settings', {[group]: read()})) {
      say('Settings saved.');
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
