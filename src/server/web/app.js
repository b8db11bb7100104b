// The page of vostrel-server: Search, Result, Setup and About over the server's JSON API.
// The URL holds the page and the search, so a link opens the same search and Back works.
import {
  codeOfSection, currentLanguage, format, preferredSection, setTexts, text, upperAsTyped,
} from './texts.js';
import {
  refresh, refreshNow, resetRows, selectedRows, setActive, setColumns, setCount, setSort, setupGrid,
} from './list.js';

const PAGE_ROWS = 200; // rows asked of the server at a time
const STREAM_ROWS = 200; // rows the scan's stream carries while it runs
const LANGUAGE_KEY = 'vostrel.language';
const RESERVED = new Set(['page', 'db', 'sort', 'desc', 'offset', 'limit', 'format', 'lang']);

const $ = (id) => document.getElementById(id);

const state = {
  databases: [],
  languages: [],
  page: 'search',
  // The search shown in Result: its URL parameters (db and criteria) and how it is ordered.
  search: null, // URLSearchParams
  sort: '',
  desc: false,
  run: null, // the running scan: {controller, token}
  generation: 0,
  columns: [],
  paged: false, // the rows come from the kept result by offset (else: the stream's rows)
  streamRows: [],
  pages: new Map(),
  asked: new Set(),
  total: 0,
  lastStatus: null, // what the status line says, to say it again in another language
  heartbeat: 0, // the timer that keeps a server of one user's own while its page is open
};

// ---- small helpers

async function getJson(url, init) {
  const response = await fetch(url, init);
  const body = await response.json().catch(() => ({}));
  // A session that has ended (the server restarted, or it was idle too long) signs in again.
  if (response.status === 401 && !url.startsWith('/api/session')) showSignIn();
  if (!response.ok) {
    const error = new Error(body.error || response.statusText);
    error.status = response.status;
    error.retryAfter = Number(response.headers.get('Retry-After')) || 0;
    throw error;
  }
  return body;
}

function postJson(url, value) {
  return getJson(url, {
    method: url === '/api/session' && value === null ? 'DELETE' : 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: value === null ? undefined : JSON.stringify(value),
  });
}

function database(id) {
  return state.databases.find((d) => d.id === id) || null;
}

function fieldLabel(field) {
  const translated = field.languageKey > 0 ? text(field.languageKey) : '';
  return translated || field.name;
}

function searchKey(params) {
  if (!params) return '';
  const copy = new URLSearchParams(params);
  copy.sort();
  return copy.toString();
}

// ---- texts

function applyTexts() {
  document.documentElement.lang = codeOfSection(currentLanguage());
  for (const el of document.querySelectorAll('[data-text]')) {
    const words = text(el.dataset.text);
    if (words) el.textContent = words;
  }
  setStartLabel();
  renderCriteria(true);
  renderColumns();
  renderStatus();
  renderDatabases();
}

async function useLanguage(name) {
  let texts = {};
  try {
    texts = (await getJson('/api/texts?lang=' + encodeURIComponent(name))).texts;
  } catch (error) {
    texts = {}; // no language file: the page's English words
  }
  setTexts(name, texts);
  $('language').value = name;
  applyTexts();
}

// ---- Search page

function renderDatabaseSelect() {
  const select = $('db');
  const options = state.databases.map((d) => {
    const option = document.createElement('option');
    option.value = d.id;
    option.textContent = d.title || d.file;
    return option;
  });
  select.replaceChildren(...options);
  if (state.databases.length === 0) $('search-message').textContent = text('noDatabases');
}

// One box per searchable field of the selected database; keep: the typed texts stay.
function renderCriteria(keep) {
  const d = database($('db').value);
  const old = {};
  for (const input of $('criteria').querySelectorAll('input')) old[input.name] = input.value;
  const boxes = [];
  for (const field of d ? d.fields.filter((f) => f.searchable) : []) {
    const wrap = document.createElement('div');
    wrap.className = 'field';
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.id = 'field-' + boxes.length;
    input.name = field.name;
    input.type = 'text';
    input.spellcheck = false;
    if (field.maxLength > 0) input.maxLength = field.maxLength;
    if (field.upperCase) {
      input.dataset.upper = '1';
      input.autocapitalize = 'characters';
    }
    label.htmlFor = input.id;
    label.textContent = fieldLabel(field);
    input.value = keep ? old[field.name] || '' : '';
    wrap.append(label, input);
    boxes.push(wrap);
  }
  $('criteria').replaceChildren(...boxes);
}

function fillCriteria(params) {
  for (const input of $('criteria').querySelectorAll('input')) {
    let value = '';
    for (const [name, v] of params) if (name.toLowerCase() === input.name.toLowerCase()) value = v;
    input.value = value;
  }
}

function typedSearch() {
  const params = new URLSearchParams();
  params.set('db', $('db').value);
  for (const input of $('criteria').querySelectorAll('input')) {
    if (input.value !== '') params.set(input.name, input.value);
  }
  return params;
}

function onType(event) {
  const input = event.target;
  if (input.dataset.upper !== '1') return;
  const upper = upperAsTyped(input.value);
  if (upper === input.value) return;
  const start = input.selectionStart;
  const end = input.selectionEnd;
  input.value = upper;
  input.setSelectionRange(start, end);
}

function setStartLabel() {
  const running = state.run !== null;
  $('start').textContent = text(running ? 916 : 915);
  $('stop').hidden = !running;
}

// ---- URL

function urlOf(page, search, sort, desc) {
  const params = new URLSearchParams();
  if (page !== 'search') params.set('page', page);
  if (search && (page === 'result' || page === 'search')) {
    for (const [k, v] of search) params.append(k, v);
    if (page === 'result' && sort) params.set('sort', sort);
    if (page === 'result' && sort && desc) params.set('desc', '1');
  }
  const query = params.toString();
  return query ? '/?' + query : '/';
}

function go(page, search, sort, desc) {
  const url = urlOf(page, search, sort, desc);
  if (url !== location.pathname + location.search) history.pushState(null, '', url);
  applyUrl();
}

// Shows what the URL says: its page, and in Result its search in its order.
function applyUrl() {
  const params = new URLSearchParams(location.search);
  const page = ['result', 'setup', 'about'].includes(params.get('page')) ? params.get('page') : 'search';
  const search = new URLSearchParams();
  for (const [k, v] of params) if (!RESERVED.has(k) || k === 'db') search.append(k, v);
  if (params.has('db') && database(params.get('db'))) {
    if ($('db').value !== params.get('db')) {
      $('db').value = params.get('db');
      renderCriteria(false);
    }
    if (page === 'search' || searchKey(search) !== searchKey(state.search)) fillCriteria(search);
  }
  showPage(page);
  if (page !== 'result' || !params.has('db')) return;
  const sort = params.get('sort') || '';
  const desc = params.get('desc') === '1';
  if (searchKey(search) !== searchKey(state.search)) {
    state.sort = sort;
    state.desc = desc;
    startSearch(search);
  } else if (sort !== state.sort || desc !== state.desc) {
    state.sort = sort;
    state.desc = desc;
    reorder();
  }
}

function showPage(page) {
  state.page = page;
  $('tabs').hidden = false;
  $('page-signin').hidden = true;
  for (const name of ['search', 'result', 'setup', 'about']) {
    $('page-' + name).hidden = name !== page;
    const tab = $('tab-' + name);
    if (name === page) tab.setAttribute('aria-current', 'page');
    else tab.removeAttribute('aria-current');
  }
  if (page === 'result') refresh();
}

// ---- the scan, followed as Server-Sent Events

function streamUrl(search) {
  const params = new URLSearchParams(search);
  params.set('limit', String(STREAM_ROWS));
  return '/api/search/stream?' + params.toString();
}

function startSearch(search) {
  stopSearch(true);
  const generation = ++state.generation;
  state.search = new URLSearchParams(search);
  state.paged = false;
  state.streamRows = [];
  state.pages = new Map();
  state.asked = new Set();
  state.total = 0;
  state.columns = [];
  $('damage').textContent = '';
  $('search-message').textContent = '';
  $('progress').value = 0;
  state.lastStatus = null;
  renderStatus();
  renderColumns();
  resetRows(0, rowSource(generation));
  setExportLinks(false);
  const controller = new AbortController();
  state.run = { controller, token: '' };
  setStartLabel();
  readStream(generation, controller).catch((error) => {
    if (generation !== state.generation || controller.signal.aborted) return;
    endRun(generation);
    showError(error.message);
  });
}

async function readStream(generation, controller) {
  const response = await fetch(streamUrl(state.search), { signal: controller.signal });
  if (!response.ok) {
    if (response.status === 401) showSignIn();
    const body = await response.json().catch(() => ({}));
    throw new Error(body.error || response.statusText);
  }
  const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    buffer += value;
    let end;
    while ((end = buffer.indexOf('\n\n')) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      if (generation !== state.generation) return;
      onEvent(generation, block);
    }
  }
  if (generation === state.generation && state.run) endRun(generation);
}

function onEvent(generation, block) {
  let name = 'message';
  let data = '';
  for (const line of block.split('\n')) {
    if (line.startsWith('event: ')) name = line.slice(7);
    else if (line.startsWith('data: ')) data += line.slice(6);
  }
  const value = data ? JSON.parse(data) : {};
  if (name === 'start') onStart(value);
  else if (name === 'rows') onRows(value);
  else if (name === 'progress') onProgress(value);
  else if (name === 'done') onDone(generation, value);
  else if (name === 'error') {
    endRun(generation);
    showError(value.error);
  }
}

function onStart(value) {
  if (state.run) state.run.token = value.token || '';
  state.columns = value.fields;
  $('progress').max = Math.max(value.records, 1);
  renderColumns();
}

function onRows(value) {
  value.rows.forEach((row, k) => {
    state.streamRows[value.offset + k] = row;
  });
  if (!state.paged) setCount(state.streamRows.length);
}

function onProgress(value) {
  $('progress').value = value.scanned;
  state.lastStatus = { running: true, scanned: value.scanned, results: value.results };
  renderStatus();
}

function onDone(generation, value) {
  endRun(generation);
  $('progress').value = $('progress').max;
  state.lastStatus = { running: false, scanned: value.scanned, results: value.total };
  renderStatus();
  if (value.message) $('damage').textContent = value.message;
  else if (value.stopped) $('damage').textContent = text('stopped');
  // A stopped scan is not kept by the server: its rows are the ones the stream brought.
  if (value.stopped) return;
  state.paged = true;
  state.total = value.total;
  if (!state.sort) state.pages.set(0, state.streamRows.slice(0, PAGE_ROWS));
  resetRows(state.total, rowSource(generation));
  setExportLinks(true);
}

function endRun(generation) {
  if (generation !== state.generation) return;
  state.run = null;
  setStartLabel();
}

// Stop asks the server to end the scan: it answers with the scan's end (its counts so far),
// read from the stream as any end. abandon: a new search replaces this one, nothing more is read.
function stopSearch(abandon) {
  const run = state.run;
  if (!run) return;
  if (run.token) {
    fetch('/api/search/stop?token=' + encodeURIComponent(run.token), { method: 'POST' }).catch(() => {});
  }
  if (abandon || !run.token) {
    run.controller.abort();
    state.run = null;
    setStartLabel();
  }
}

function showError(message) {
  $('damage').textContent = message;
  $('search-message').textContent = message;
}

// ---- Result: its rows by place, fetched a page at a time

function pageUrl(pageIndex) {
  const params = new URLSearchParams(state.search);
  params.set('offset', String(pageIndex * PAGE_ROWS));
  params.set('limit', String(PAGE_ROWS));
  if (state.sort) params.set('sort', state.sort);
  if (state.sort && state.desc) params.set('desc', '1');
  params.set('lang', currentLanguage());
  return '/api/search?' + params.toString();
}

function rowSource(generation) {
  return {
    row(index) {
      if (!state.paged) return state.streamRows[index] || null;
      const page = state.pages.get(Math.floor(index / PAGE_ROWS));
      return page ? page[index % PAGE_ROWS] || null : null;
    },
    want(first, last) {
      if (!state.paged || generation !== state.generation) return;
      for (let p = Math.floor(first / PAGE_ROWS); p <= Math.floor(last / PAGE_ROWS); ++p) fetchPage(generation, p);
    },
  };
}

async function fetchPage(generation, pageIndex) {
  const key = state.sort + '|' + state.desc + '|' + pageIndex;
  if (state.pages.has(pageIndex) || state.asked.has(key)) return;
  state.asked.add(key);
  try {
    const page = await getJson(pageUrl(pageIndex));
    if (generation !== state.generation || key !== state.sort + '|' + state.desc + '|' + pageIndex) return;
    state.pages.set(pageIndex, page.rows);
    refreshNow();
  } catch (error) {
    state.asked.delete(key);
    if (generation === state.generation) $('damage').textContent = error.message;
  }
}

async function rowsAt(indexes) {
  const rows = [];
  for (const index of indexes) {
    const pageIndex = Math.floor(index / PAGE_ROWS);
    if (state.paged && !state.pages.has(pageIndex)) {
      const page = await getJson(pageUrl(pageIndex));
      state.pages.set(pageIndex, page.rows);
    }
    const row = rowSource(state.generation).row(index);
    if (row) rows.push(row);
  }
  return rows;
}

function reorder() {
  state.pages = new Map();
  state.asked = new Set();
  renderColumns();
  if (state.paged) resetRows(state.total, rowSource(state.generation));
  setExportLinks(state.paged);
}

function onSort(name) {
  const desc = state.sort.toLowerCase() === name.toLowerCase() ? !state.desc : false;
  go('result', state.search, name, desc);
}

function renderColumns() {
  const d = state.search ? database(state.search.get('db')) : null;
  const columns = state.columns.map((name) => {
    const field = d ? d.fields.find((f) => f.name === name) : null;
    return { name, label: field ? fieldLabel(field) : name, maxLength: field ? field.maxLength : 12 };
  });
  $('grid').hidden = columns.length === 0;
  setColumns(columns);
  setSort(state.sort, state.desc);
}

function renderStatus() {
  const s = state.lastStatus;
  if (!s) {
    $('status').textContent = '';
    return;
  }
  // The program's status line: results/scanned while it runs, its language's text at the end.
  // Screen readers are told the end only, not ten counts a second.
  $('status').setAttribute('aria-live', s.running ? 'off' : 'polite');
  $('status').textContent = s.running ? format('%i/%i', s.results, s.scanned) : format(text(908), s.scanned, s.results);
}

function setExportLinks(ready) {
  for (const kind of ['csv', 'tsv']) {
    const link = $('export-' + kind);
    if (!ready) {
      link.removeAttribute('href');
      link.setAttribute('aria-disabled', 'true');
      continue;
    }
    const params = new URLSearchParams(state.search);
    if (state.sort) params.set('sort', state.sort);
    if (state.sort && state.desc) params.set('desc', '1');
    params.set('lang', currentLanguage());
    params.set('format', kind);
    link.href = '/api/search?' + params.toString();
    link.removeAttribute('aria-disabled');
  }
}

function openDetails(index) {
  const row = rowSource(state.generation).row(index);
  if (!row) return;
  const d = database(state.search.get('db'));
  const items = [];
  state.columns.forEach((name, c) => {
    const field = d ? d.fields.find((f) => f.name === name) : null;
    const dt = document.createElement('dt');
    dt.textContent = field ? fieldLabel(field) : name;
    const dd = document.createElement('dd');
    dd.textContent = row[c];
    items.push(dt, dd);
  });
  $('details-title').textContent = format(text('details'), index + 1);
  $('details-list').replaceChildren(...items);
  $('details').showModal();
}

async function copyRows() {
  const indexes = selectedRows();
  if (indexes.length === 0) {
    $('damage').textContent = text('nothingSelected');
    return;
  }
  const rows = await rowsAt(indexes);
  const clean = (v) => String(v).replace(/[\t\r\n]/g, ' ');
  const lines = [state.columns.map(clean).join('\t'), ...rows.map((r) => r.map(clean).join('\t'))];
  const words = lines.join('\n') + '\n';
  try {
    await navigator.clipboard.writeText(words);
  } catch (error) {
    copyByCommand(words);
  }
  $('damage').textContent = '';
  $('status').textContent = format(text('copied'), rows.length);
}

// Where the clipboard API is refused (a page not on a secure origin), the older command.
function copyByCommand(words) {
  const area = document.createElement('textarea');
  area.value = words;
  area.setAttribute('aria-hidden', 'true');
  area.className = 'hidden-title';
  document.body.append(area);
  area.select();
  document.execCommand('copy');
  area.remove();
}

// ---- Setup

function renderDatabases(bad) {
  const rows = state.databases.map((d) => {
    const tr = document.createElement('tr');
    const cells = [d.title, d.records.toLocaleString(), d.file];
    cells.forEach((value, k) => {
      const td = document.createElement('td');
      td.textContent = value;
      if (k === 1) td.className = 'number';
      if (bad && bad.has(d.id)) td.classList.add('bad');
      tr.append(td);
    });
    return tr;
  });
  document.querySelector('#databases tbody').replaceChildren(...rows);
}

// The server opens every file it would serve (/api/check): a database served before that is
// no longer listed, and any file that does not open, cannot be used, each with the reason.
async function checkDatabases() {
  $('check-message').textContent = '';
  const before = state.databases;
  let now = [];
  let files = [];
  try {
    files = (await getJson('/api/check')).files;
    now = (await getJson('/api/databases')).databases;
  } catch (error) {
    $('check-message').textContent = error.message;
    return;
  }
  const ids = new Set(now.map((d) => d.id));
  const gone = before.filter((d) => !ids.has(d.id));
  const bad = new Set(gone.map((d) => d.id));
  const unusable = files.filter((f) => !f.usable);
  state.databases = now.concat(gone);
  renderDatabases(bad);
  const lines = gone.map((d) => format(text(904), d.file))
    .concat(unusable.filter((f) => !gone.some((d) => d.file === f.file))
      .map((f) => format(text(904), f.file) + ': ' + f.problem));
  $('check-message').textContent = lines.length === 0 ? text(906) : lines.join('\n');
  state.databases = now;
  const chosen = $('db').value;
  renderDatabaseSelect();
  if (database(chosen)) $('db').value = chosen;
}

// ---- signing in, and the end of a server of one user's own

function showSignIn() {
  if (state.run) stopSearch(true);
  $('tabs').hidden = true;
  for (const name of ['search', 'result', 'setup', 'about']) $('page-' + name).hidden = true;
  $('page-signin').hidden = false;
  $('password').focus();
}

async function signIn(event) {
  event.preventDefault();
  $('signin-message').textContent = '';
  try {
    await postJson('/api/session', { password: $('password').value });
  } catch (error) {
    $('password').select();
    if (error.status === 429) $('signin-message').textContent = format(text('slowedDown'), error.retryAfter);
    else $('signin-message').textContent = error.status === 401 ? text('wrongPassword') : error.message;
    return;
  }
  $('password').value = '';
  await loadDatabases();
}

async function signOut() {
  await postJson('/api/session', null).catch(() => {});
  state.databases = [];
  showSignIn();
}

async function quit() {
  if (state.run) stopSearch(true);
  await postJson('/api/quit', {}).catch(() => {});
  $('tabs').hidden = true;
  for (const name of ['search', 'result', 'setup', 'about']) $('page-' + name).hidden = true;
  $('page-ended').hidden = false;
  clearInterval(state.heartbeat);
}

// ---- start-up

function wire() {
  $('search-form').addEventListener('submit', (event) => {
    event.preventDefault();
    if (state.run) {
      stopSearch(false);
      return;
    }
    state.sort = '';
    state.desc = false;
    const search = typedSearch();
    state.search = null; // the same search again scans again
    go('result', search, '', false);
  });
  $('criteria').addEventListener('input', onType);
  $('db').addEventListener('change', () => {
    renderCriteria(false);
    history.replaceState(null, '', urlOf('search', typedSearch(), '', false));
  });
  $('reset').addEventListener('click', () => {
    for (const input of $('criteria').querySelectorAll('input')) input.value = '';
    const first = $('criteria').querySelector('input');
    if (first) first.focus();
  });
  $('stop').addEventListener('click', () => stopSearch(false));
  $('copy').addEventListener('click', () => copyRows().catch((e) => showError(e.message)));
  $('check').addEventListener('click', checkDatabases);
  $('signin-form').addEventListener('submit', (event) => signIn(event).catch((e) => showError(e.message)));
  $('signout').addEventListener('click', signOut);
  $('quit').addEventListener('click', quit);
  $('language').addEventListener('change', () => {
    localStorage.setItem(LANGUAGE_KEY, $('language').value);
    useLanguage($('language').value);
    if (state.paged) setExportLinks(true);
  });
  $('tabs').addEventListener('click', (event) => {
    const link = event.target.closest('a[data-page]');
    if (!link || event.ctrlKey || event.metaKey || event.shiftKey) return;
    event.preventDefault();
    const page = link.dataset.page;
    go(page, page === 'search' ? typedSearch() : state.search, state.sort, state.desc);
  });
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && state.run && !$('details').open) stopSearch(false);
  });
  $('details').addEventListener('close', () => $('grid').focus());
  window.addEventListener('popstate', applyUrl);
  setupGrid({ onOpen: openDetails, onSort });
}

async function loadDatabases() {
  state.databases = (await getJson('/api/databases')).databases;
  renderDatabaseSelect();
  renderCriteria(false);
  renderDatabases();
  applyUrl();
}

async function start() {
  wire();
  const [session, languages] = await Promise.all([
    getJson('/api/session').catch(() => ({ password: false, signedIn: true, quit: false })),
    getJson('/api/languages').then((a) => a.languages).catch(() => []),
  ]);
  state.languages = languages;
  $('signout').hidden = !session.password;
  $('quit').hidden = !session.quit;
  // A server of one user's own ends some minutes after its last request: an open page keeps it.
  if (session.quit) state.heartbeat = setInterval(() => fetch('/api/session').catch(() => {}), 60000);
  $('language').replaceChildren(...languages.map((name) => {
    const option = document.createElement('option');
    option.value = name;
    option.textContent = name.charAt(0) + name.slice(1).toLowerCase();
    return option;
  }));
  const saved = localStorage.getItem(LANGUAGE_KEY);
  const chosen = saved && languages.includes(saved) ? saved : preferredSection(languages, navigator.languages);
  await useLanguage(chosen);
  if (!session.signedIn) {
    showSignIn();
    return;
  }
  await loadDatabases();
}

start().catch((error) => showError(error.message));
