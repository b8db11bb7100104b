// The result grid: only the rows in view are in the page. A result of millions of rows is
// mapped onto a scroll height the browser can lay out, and the rows of the place scrolled to
// are asked of the source (which fetches them from the server) as they come into view.
import { format, text } from './texts.js';

const ROW_HEIGHT = 44;
// Browsers lay out at most some 33 million pixels; longer results are scaled onto this.
const MAX_SCROLL = 15000000;

const grid = {
  el: null, head: null, spacer: null, layer: null,
  columns: [], // {name, label, width}
  count: 0,
  active: -1,
  selected: new Set(),
  pool: [],
  first: 0,
  sort: '',
  desc: false,
  source: null, // {row(i) -> array|null, want(first, last)}
  onOpen: null,
  onSort: null,
  frame: 0,
};

export function setupGrid(callbacks) {
  grid.el = document.getElementById('grid');
  grid.head = document.getElementById('grid-head');
  grid.spacer = document.getElementById('spacer');
  grid.layer = document.getElementById('layer');
  grid.onOpen = callbacks.onOpen;
  grid.onSort = callbacks.onSort;
  // Scroll events come once a frame already: the rows of the new place are asked for at once.
  grid.el.addEventListener('scroll', refreshNow, { passive: true });
  window.addEventListener('resize', schedule);
  grid.layer.addEventListener('click', onClick);
  grid.layer.addEventListener('change', onPick);
  grid.el.addEventListener('keydown', onKey);
  grid.head.addEventListener('click', (event) => {
    const button = event.target.closest('button[data-column]');
    if (button) grid.onSort(button.dataset.column);
  });
}

function columnWidth(field) {
  // Long text fields (a name, a street) get a wide column, short ones (a flat) a narrow one.
  const length = field.maxLength || 12;
  const chars = Math.max(field.label.length, length > 60 ? 24 : Math.min(length, 10));
  return Math.round(chars * 9 + 28);
}

// columns: [{name, label, maxLength}]
export function setColumns(columns) {
  grid.columns = columns.map((c) => ({ ...c, width: columnWidth(c) }));
  grid.pool.forEach((row) => row.remove());
  grid.pool = [];
  renderHead();
  schedule();
}

export function setSort(sort, desc) {
  grid.sort = sort;
  grid.desc = desc;
  renderHead();
}

function renderHead() {
  const cells = [];
  const pick = document.createElement('div');
  pick.setAttribute('role', 'columnheader');
  pick.className = 'pick';
  const pickText = document.createElement('span');
  pickText.className = 'hidden-title';
  pickText.textContent = text('selected');
  pick.append(pickText);
  cells.push(pick);
  for (const column of grid.columns) {
    const cell = document.createElement('div');
    cell.setAttribute('role', 'columnheader');
    cell.style.width = column.width + 'px';
    const sorted = grid.sort.toLowerCase() === column.name.toLowerCase();
    cell.setAttribute('aria-sort', sorted ? (grid.desc ? 'descending' : 'ascending') : 'none');
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.column = column.name;
    button.textContent = column.label;
    if (sorted) {
      const mark = document.createElement('span');
      mark.className = 'mark';
      mark.setAttribute('aria-hidden', 'true');
      mark.textContent = grid.desc ? '▼' : '▲';
      button.append(mark);
    }
    cell.append(button);
    cells.push(cell);
  }
  grid.head.replaceChildren(...cells);
}

// A new result, or the same rows in a new order: nothing is selected, the top is shown.
export function resetRows(count, source) {
  grid.source = source;
  grid.selected.clear();
  grid.active = -1;
  grid.el.removeAttribute('aria-activedescendant');
  grid.el.scrollTop = 0;
  setCount(count);
}

export function setCount(count) {
  grid.count = count;
  grid.el.setAttribute('aria-rowcount', String(count + 1));
  schedule();
}

export function refresh() {
  schedule();
}

// Rows that arrived for the place in view are shown at once, not a frame later.
export function refreshNow() {
  if (grid.frame) {
    cancelAnimationFrame(grid.frame);
    grid.frame = 0;
  }
  render();
}

export function selectedRows() {
  return [...grid.selected].sort((a, b) => a - b);
}

function schedule() {
  if (grid.frame) return;
  grid.frame = requestAnimationFrame(() => {
    grid.frame = 0;
    render();
  });
}

function geometry() {
  const headHeight = grid.head.offsetHeight;
  const view = Math.max(grid.el.clientHeight - headHeight, ROW_HEIGHT);
  const height = Math.min(grid.count * ROW_HEIGHT, MAX_SCROLL);
  const range = Math.max(height - view, 0);
  const lastTop = Math.max(grid.count - view / ROW_HEIGHT, 0);
  return { headHeight, view, height, range, lastTop };
}

// The row at the top of the view, with its fraction, for a scroll position.
function rowAt(g, scrollTop) {
  if (g.range <= 0) return 0;
  return (Math.min(scrollTop, g.range) / g.range) * g.lastTop;
}

function render() {
  if (!grid.el.offsetParent) return; // not shown: rendered when the page is
  const g = geometry();
  grid.spacer.style.height = g.height + g.headHeight + 'px';
  const scrollTop = grid.el.scrollTop;
  const exact = rowAt(g, scrollTop);
  const first = Math.floor(exact);
  const visible = Math.min(Math.ceil(g.view / ROW_HEIGHT) + 1, Math.max(grid.count - first, 0));
  grid.first = first;
  grid.layer.style.top = scrollTop + g.headHeight - (exact - first) * ROW_HEIGHT + 'px';
  while (grid.pool.length < visible) grid.pool.push(makeRow());
  while (grid.pool.length > visible) grid.pool.pop().remove();
  for (let k = 0; k < visible; ++k) fillRow(grid.pool[k], first + k);
  if (visible > 0 && grid.source) grid.source.want(first, first + visible - 1);
  if (document.getElementById('row-active')) grid.el.setAttribute('aria-activedescendant', 'row-active');
  else grid.el.removeAttribute('aria-activedescendant');
}

function makeRow() {
  const row = document.createElement('div');
  row.className = 'row';
  row.setAttribute('role', 'row');
  // The box's label is the cell's whole height: a touch target of 44 px.
  const pick = document.createElement('div');
  pick.className = 'pick';
  pick.setAttribute('role', 'gridcell');
  const area = document.createElement('label');
  const box = document.createElement('input');
  box.type = 'checkbox';
  box.tabIndex = -1;
  area.append(box);
  pick.append(area);
  row.append(pick);
  for (const column of grid.columns) {
    const cell = document.createElement('div');
    cell.className = 'cell';
    cell.setAttribute('role', 'gridcell');
    cell.style.width = column.width + 'px';
    row.append(cell);
  }
  grid.layer.append(row);
  return row;
}

function fillRow(row, index) {
  const values = grid.source ? grid.source.row(index) : null;
  row.dataset.index = String(index);
  row.setAttribute('aria-rowindex', String(index + 2));
  const selected = grid.selected.has(index);
  row.setAttribute('aria-selected', selected ? 'true' : 'false');
  row.classList.toggle('active', index === grid.active);
  if (index === grid.active) row.id = 'row-active';
  else row.removeAttribute('id');
  row.classList.toggle('loading', values === null);
  const box = row.firstChild.firstChild.firstChild;
  box.checked = selected;
  box.setAttribute('aria-label', format(text('select'), index + 1));
  const cells = row.children;
  for (let c = 0; c < grid.columns.length; ++c) {
    // Values from the database go in as text, never as markup.
    cells[c + 1].textContent = values ? values[c] : c === 0 ? text('loading') : '';
  }
}

function indexOfEvent(event) {
  const row = event.target.closest('.row');
  return row ? Number(row.dataset.index) : -1;
}

function onClick(event) {
  const index = indexOfEvent(event);
  if (index < 0 || event.target.closest('.pick')) return;
  setActive(index);
  grid.onOpen(index);
}

function onPick(event) {
  const index = indexOfEvent(event);
  if (index < 0) return;
  if (event.target.checked) grid.selected.add(index);
  else grid.selected.delete(index);
  setActive(index);
}

export function setActive(index) {
  if (grid.count === 0) return;
  grid.active = Math.max(0, Math.min(index, grid.count - 1));
  scrollIntoView(grid.active);
  schedule();
}

function scrollIntoView(index) {
  const g = geometry();
  const exact = rowAt(g, grid.el.scrollTop);
  const rows = g.view / ROW_HEIGHT;
  let top = exact;
  if (index < exact) top = index;
  else if (index + 1 > exact + rows) top = index + 1 - rows;
  if (top === exact || g.lastTop <= 0) return;
  grid.el.scrollTop = (top / g.lastTop) * g.range;
}

function onKey(event) {
  const g = geometry();
  const page = Math.max(Math.floor(g.view / ROW_HEIGHT) - 1, 1);
  const at = grid.active < 0 ? grid.first : grid.active;
  const moves = {
    ArrowDown: grid.active < 0 ? at : at + 1, ArrowUp: at - 1, PageDown: at + page,
    PageUp: at - page, Home: 0, End: grid.count - 1,
  };
  if (event.key in moves) {
    event.preventDefault();
    setActive(moves[event.key]);
  } else if (event.key === 'Enter' && grid.active >= 0) {
    event.preventDefault();
    grid.onOpen(grid.active);
  } else if (event.key === ' ' && grid.active >= 0) {
    event.preventDefault();
    if (grid.selected.has(grid.active)) grid.selected.delete(grid.active);
    else grid.selected.add(grid.active);
    schedule();
  }
}
