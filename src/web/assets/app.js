'use strict';
// The panel's page. Every text from the game is put in with textContent, never as markup.
const state = {csrf: '', role: 'viewer', target: null, chart: null, points: []};
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
  if (!answer.ok) throw new Error(data.error || answer.statusText);
  return data;
}

async function act(method, path, body) {
  try {
    await api(method, path, body);
    say('');
    return true;
  } catch (e) {
    say(e.message);
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
  for (const [name, value] of rows) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = value;
    list.append(dt, dd);
  }
  addPoint(Math.floor(Date.now() / 1000), s.players);
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
    for (const c of columns) cell(row, c === 'time' ? when(r.time) : r[c]);
  }
}

function addPoint(time, players) {
  const last = state.points[state.points.length - 1];
  if (last && time - last[0].getTime() / 1000 < 60) {
    last[1] = Math.max(last[1], players);
  } else {
    state.points.push([new Date(time * 1000), players]);
  }
  const dayAgo = Date.now() - 24 * 3600 * 1000;
  while (state.points.length && state.points[0][0].getTime() < dayAgo) state.points.shift();
  drawChart();
}

function drawChart() {
  if (typeof Dygraph === 'undefined' || !state.points.length) return;
  if (!state.chart) {
    state.chart = new Dygraph($('chart'), state.points, {labels: ['Time', 'Players'], stepPlot: true,
      valueRange: [0, null], legend: 'never'});
  } else {
    state.chart.updateOptions({file: state.points});
  }
}

async function loadStatus() { showStatus(await api('GET', '/api/v1/status')); }
async function loadPlayers() { showPlayers((await api('GET', '/api/v1/players')).players); }
async function loadBans() { showBans((await api('GET', '/api/v1/bans')).bans); }
async function loadAudit() {
  showRows('auditTable', (await api('GET', '/api/v1/audit')).rows, ['time', 'player', 'text', 'detail']);
}
async function loadChat() {
  $('chatLines').replaceChildren();
  for (const line of (await api('GET', '/api/v1/chat')).lines) addChat(line);
}
async function loadSeries() {
  const points = (await api('GET', '/api/v1/status/players-over-time')).points;
  state.points = points.map(([t, n]) => [new Date(t * 1000), n]);
  drawChart();
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
    else if (e.type === 'players') showPlayers(e.players);
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
    const query = new URLSearchParams({kind: $('historyKind').value, text: $('historyText').value,
      player: $('historyPlayer').value});
    try {
      showRows('historyTable', (await api('GET', '/api/v1/history?' + query)).rows,
        ['time', 'kind', 'player', 'text', 'detail']);
    } catch (e) { say(e.message); }
  });
  $('consoleForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (await act('POST', '/api/v1/console', {command: $('consoleText').value})) $('consoleText').value = '';
  });
  $('timeMore').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'more'}));
  $('timeLess').addEventListener('click', () => act('POST', '/api/v1/match/time', {change: 'less'}));
  $('resetGames').addEventListener('click', () => {
    if (window.confirm('Reset the games?')) act('POST', '/api/v1/match/reset');
  });
  $('autoForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const lines = $('autoLines').value.split('\n').map((l) => l.trim()).filter((l) => l);
    await act('POST', '/api/v1/automessages', {enabled: $('autoEnabled').checked,
      intervalMinutes: Number($('autoInterval').value), lines});
  });
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
  await Promise.all([loadStatus(), loadPlayers(), loadChat(), loadBans(), loadAudit(), loadSeries()]
    .map((p) => p.catch((e) => say(e.message))));
  if (rank[state.role] >= rank.admin) loadAutoMessages().catch((e) => say(e.message));
  live();
});
