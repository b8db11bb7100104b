#include "server/result_sets.h"

#include <cstring>

#include "db/codepage.h"
#include "server/collation.h"

namespace {

struct ScanContext {
  ResultSet* set;
  const ScanWatcher* watcher;
};

constexpr size_t kRowBlockFirst = 4096;
constexpr size_t kRowBlockMax = static_cast<size_t>(4) << 20;

// Room for bytes more in the set's blocks: the current one, or a new one twice as large.
char* RowRoom(ResultSet* set, size_t bytes) {
  if (set->blocks.empty() || set->blockUsed + bytes > set->blockSize) {
    size_t size = set->blockSize == 0 ? kRowBlockFirst : set->blockSize * 2;
    if (size > kRowBlockMax) size = kRowBlockMax;
    if (size < bytes) size = bytes;
    set->blocks.emplace_back(new char[size]);
    set->blockSize = size;
    set->blockUsed = 0;
    set->blockBytes += size;
  }
  char* at = set->blocks.back().get() + set->blockUsed;
  set->blockUsed += bytes;
  return at;
}

int AppendSetRow(void* context, const FieldTable* table, int, int) {
  ResultSet* set = static_cast<ScanContext*>(context)->set;
  const char* values[kMaxDisplayFields];
  size_t lengths[kMaxDisplayFields];
  size_t bytes = 0;
  for (int k = 0; k < set->columns; ++k) {
    const FieldDescriptor* f = k < table->displayCount ? table->displayMap[k] : nullptr;
    values[k] = f != nullptr ? f->value : "";
    lengths[k] = strlen(values[k]) + 1;
    bytes += lengths[k];
  }
  char* at = RowRoom(set, bytes);
  set->rows.push_back(at);
  for (int k = 0; k < set->columns; ++k) {
    memcpy(at, values[k], lengths[k]);
    at += lengths[k];
  }
  return RowTaken;
}

void OnSetStatus(void* context, int results, int scanned) {
  ScanContext* scan = static_cast<ScanContext*>(context);
  scan->set->total = results;
  scan->set->scanned = scanned;
  if (scan->watcher->update != nullptr)
    scan->watcher->update(scan->watcher->context, *scan->set, scanned);
}

void NameColumns(const FieldTable& schema, ResultSet* set) {
  set->columns = schema.displayCount;
  for (int k = 0; k < schema.displayCount; ++k) {
    const FieldDescriptor* f = schema.displayMap[k];
    set->columnNames.push_back(f != nullptr ? WideToUtf8(f->displayName) : std::string());
  }
}

// How the scan ended, in the words the command line uses after the file's name.
void DescribeEnd(const SearchOutcome& outcome, const DatabaseHeader& header, ResultSet* set) {
  const ScanOutcome& scan = outcome.scan;
  const std::string after = std::to_string(scan.scanned);
  if (outcome.file == FileCut && (scan.end == ScanShortRead || scan.end == ScanBadLength)) {
    set->complete = false;
    set->message = "the file was cut short while it was searched, after record " + after;
  } else if (scan.end == ScanShortRead && scan.scanned > 0) {
    set->complete = false;
    set->message = "the records end without their end mark after record " + after;
  } else if (scan.end == ScanBadLength) {
    set->complete = false;
    set->message = "a record length of 0 after record " + after + " ends the scan";
  }
  if (outcome.limitedQueries > 0) {
    if (!set->message.empty()) set->message += "; ";
    set->message += "more records follow than the header's " + std::to_string(header.recordCount) +
                    "; they are not listed";
  }
}

size_t SetBytes(const ResultSet& set) {
  size_t bytes = sizeof(ResultSet) + set.key.size() + set.blockBytes +
                 set.rows.capacity() * sizeof(const char*);
  return bytes;  // its orders are counted as they are made
}

// Lets the least recently used sets go until the kept bytes are within the bound; keep is
// never let go. Under the cache's lock.
void TrimCache(ResultCache* cache, const ResultSet* keep) {
  auto it = cache->recent.end();
  while (cache->bytes > cache->limit && it != cache->recent.begin()) {
    --it;
    if (it->get() == keep) continue;
    cache->bytes -= (*it)->bytes;
    cache->byKey.erase((*it)->key);
    it = cache->recent.erase(it);
  }
}

void MarkReady(ResultSet* set) {
  {
    std::lock_guard<std::mutex> hold(set->readyLock);
    set->ready = true;
  }
  set->readyWake.notify_all();
}

// The value of column in a row.
const char* ColumnValue(const ResultSet& set, int row, int column) {
  const char* p = RowValues(set, row);
  for (int k = 0; k < column; ++k) p += strlen(p) + 1;
  return p;
}

// The column's distinct values (as bytes) and each row's among them. A directory's two
// million names are a few hundred thousand distinct ones, and the collation needs to order
// only those.
struct DistinctColumn {
  std::vector<const char*> texts;
  std::vector<int> ofRow;
};
uint64_t HashText(const char* text) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    hash = (hash ^ *p) * 1099511628211ull;
  return hash;
}

// An open table of the distinct texts' numbers by their hashes: no allocation per text.
struct TextTable {
  std::vector<int> slots;        // a distinct text's number, or -1
  std::vector<uint64_t> hashes;  // by distinct text
};

void GrowTextTable(TextTable* table) {
  std::vector<int> slots(table->slots.empty() ? 4096 : table->slots.size() * 2, -1);
  const size_t mask = slots.size() - 1;
  for (size_t text = 0; text < table->hashes.size(); ++text) {
    size_t at = table->hashes[text] & mask;
    while (slots[at] >= 0) at = (at + 1) & mask;
    slots[at] = static_cast<int>(text);
  }
  table->slots.swap(slots);
}

// Of the first count rows.
void FindDistinct(const ResultSet& set, int column, size_t count, DistinctColumn* distinct) {
  TextTable table;
  GrowTextTable(&table);
  distinct->ofRow.resize(count);
  for (size_t r = 0; r < count; ++r) {
    const char* value = ColumnValue(set, static_cast<int>(r), column);
    const uint64_t hash = HashText(value);
    const size_t mask = table.slots.size() - 1;
    size_t at = hash & mask;
    int text;
    while ((text = table.slots[at]) >= 0 &&
           (table.hashes[static_cast<size_t>(text)] != hash ||
            strcmp(distinct->texts[static_cast<size_t>(text)], value) != 0))
      at = (at + 1) & mask;
    if (text < 0) {
      text = static_cast<int>(distinct->texts.size());
      distinct->texts.push_back(value);
      table.hashes.push_back(hash);
      table.slots[at] = text;
      if (table.hashes.size() * 2 > table.slots.size()) GrowTextTable(&table);
    }
    distinct->ofRow[r] = text;
  }
}

// The texts widened for the collation (left uninitialised until written).
struct WideTexts {
  std::unique_ptr<wchar_t[]> chars;
  std::unique_ptr<const wchar_t*[]> texts;
};
void WidenTexts(const std::vector<const char*>& texts, WideTexts* wide) {
  size_t total = 0;
  for (const char* text : texts) total += strlen(text) + 1;
  wide->chars.reset(new wchar_t[total > 0 ? total : 1]);
  wide->texts.reset(new const wchar_t*[texts.empty() ? 1 : texts.size()]);
  wchar_t* into = wide->chars.get();
  for (size_t i = 0; i < texts.size(); ++i) {
    const size_t length = strlen(texts[i]);
    WidenSingleBytes(texts[i], length, into);
    into[length] = 0;
    wide->texts[i] = into;
    into += length + 1;
  }
}

// Whether the column repeats its values, judged by its first rows: then ordering its distinct
// values and counting the rows into place costs less than ordering every row, and for values
// all distinct (phones) it costs more (measured: bench/README.md).
bool RepeatsValues(const ResultSet& set, int column) {
  constexpr size_t kSampleRows = 65536;
  const size_t sample = set.rows.size() < kSampleRows ? set.rows.size() : kSampleRows;
  DistinctColumn distinct;
  FindDistinct(set, column, sample, &distinct);
  return distinct.texts.size() * 10 <= sample * 9;
}

// Sorts the rows by the column's texts straight, every row one text to the collation.
bool OrderEveryRow(const ResultSet& set, int column, bool descending,
                   const TextCollation& collation, std::vector<int>* rows) {
  std::vector<const char*> texts(set.rows.size());
  for (size_t r = 0; r < set.rows.size(); ++r)
    texts[r] = ColumnValue(set, static_cast<int>(r), column);
  WideTexts wide;
  WidenTexts(texts, &wide);
  rows->resize(set.rows.size());
  return OrderTexts(wide.texts.get(), static_cast<int>(texts.size()), descending, collation,
                    rows->data()) != SortPath::NotSorted;
}

// Sorts the rows by the column: the distinct texts by the collation, texts that collate equal
// given one rank, then the rows counted into their ranks' places in file order, so that ties
// keep file order either way. False when the texts could not be sorted.
bool OrderRows(const ResultSet& set, int column, bool descending, const TextCollation& collation,
               std::vector<int>* rows) {
  DistinctColumn distinct;
  FindDistinct(set, column, set.rows.size(), &distinct);
  WideTexts wide;
  WidenTexts(distinct.texts, &wide);
  const int n = static_cast<int>(distinct.texts.size());
  std::vector<int> byPlace(static_cast<size_t>(n));
  if (OrderTexts(wide.texts.get(), n, descending, collation, byPlace.data()) == SortPath::NotSorted)
    return false;
  std::vector<int> rank(static_cast<size_t>(n));
  int ranks = 0;
  for (int p = 0; p < n; ++p) {
    const int text = byPlace[static_cast<size_t>(p)];
    if (p > 0 &&
        collation.compare(collation.context, wide.texts[byPlace[static_cast<size_t>(p - 1)]],
                          wide.texts[text]) != 0)
      ++ranks;
    rank[static_cast<size_t>(text)] = ranks;
  }
  std::vector<int> start(static_cast<size_t>(ranks) + 2, 0);
  for (int text : distinct.ofRow) ++start[static_cast<size_t>(rank[static_cast<size_t>(text)]) + 1];
  for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  rows->resize(set.rows.size());
  for (size_t r = 0; r < set.rows.size(); ++r)
    (*rows)[static_cast<size_t>(
        start[static_cast<size_t>(rank[static_cast<size_t>(distinct.ofRow[r])])]++)] =
        static_cast<int>(r);
  return true;
}

// The file is still the one the database was loaded from. A search opens the file again: one
// truncated or rewritten between the load and the open would otherwise be read as it is then
// (an empty file would give no rows and no complaint) under the loaded header.
bool StillAsLoaded(const ServedDatabase& served) {
  FileStamp now;
  return StampFileAt(served.path.c_str(), &now) && SameStamp(now, served.stamp);
}

}  // namespace

std::string ResultKeyOf(const ServedDatabase& served, const Query& query) {
  std::string key = served.id;
  const FileStamp& s = served.stamp;
  for (uint64_t n : {s.size, static_cast<uint64_t>(s.modified), static_cast<uint64_t>(s.changed),
                     s.volume, s.number})
    key += "/" + std::to_string(n);
  for (const QueryCriterion& c : query.criteria) {
    key += "|" + std::to_string(c.field) + (c.wildcard ? "w" : "p") + std::to_string(c.text.size());
    key += ":" + c.text;
  }
  return key;
}

void RowValueArray(const ResultSet& set, int row, const char** values) {
  const char* p = RowValues(set, row);
  for (int k = 0; k < set.columns; ++k) {
    values[k] = p;
    p += strlen(p) + 1;
  }
}

void RunResultScan(const SearchRequest& request, SearchBatcher* batcher, bool alone,
                   RecordPool* pool, const std::atomic<int>* stop, const ScanWatcher& watcher,
                   ResultSet* set, bool* stopped) {
  const Database& database = *request.served->database;
  set->key = request.key;
  set->served = request.served;
  NameColumns(database.schema, set);
  ScanContext context = {set, &watcher};
  SearchSink sink;
  sink.context = &context;
  sink.statusUpdate = OnSetStatus;
  sink.appendRow = AppendSetRow;
  SearchOptions options;
  // Every file's records are kept in the pool once read through, plain files' too: a server
  // searches the same files again and again, and reading a plain file anew (a view's pages
  // faulting in for each walk, or a copy out of the system's cache) cost each walk more than its
  // memory costs once (bench/README.md). A first search reads in its own calls.
  options.read = ReadInCalls;
  options.keepPlainFiles = true;
  options.sharing = ShareWithReaders;
  options.stop = stop;
  options.pool = pool;
  const SearchOutcome outcome =
      SearchTogether(batcher, request.served->database, request.query, sink, options, alone);
  set->total = static_cast<int>(set->rows.size());
  set->scanned = outcome.scan.scanned;
  *stopped = outcome.scan.end == ScanStopped;
  if (outcome.failure == kSearchRefusedBusy) {
    set->status = 503;
    set->message = "too many searches at once: try again";
  } else if (outcome.failure == 3) {
    set->status = 500;
    set->message = "no memory for the search";
  } else if (outcome.failure != 0) {
    set->status = 500;
    set->message = "the records of the file cannot be opened";
  } else if (outcome.file == FileChanged || !StillAsLoaded(*request.served)) {
    set->status = 409;
    set->message =
        "the file changed while it was searched (another program wrote to it); search again";
  } else {
    DescribeEnd(outcome, database.header, set);
  }
  if (set->rows.capacity() > set->rows.size() + set->rows.size() / 4) set->rows.shrink_to_fit();
}

ResultPointer FindKeptResult(ResultCache* cache, const std::string& key) {
  std::lock_guard<std::mutex> hold(cache->lock);
  const auto found = cache->byKey.find(key);
  if (found == cache->byKey.end()) return nullptr;
  cache->recent.splice(cache->recent.begin(), cache->recent, found->second);
  return *found->second;
}

// Under the cache's lock.
static void KeepLocked(ResultCache* cache, const ResultPointer& set) {
  set->bytes = SetBytes(*set);
  if (set->bytes > cache->limit || cache->byKey.count(set->key) != 0) return;
  cache->recent.push_front(set);
  cache->byKey[set->key] = cache->recent.begin();
  cache->bytes += set->bytes;
  TrimCache(cache, set.get());
}

void KeepResult(ResultCache* cache, const ResultPointer& set) {
  std::lock_guard<std::mutex> hold(cache->lock);
  KeepLocked(cache, set);
}

size_t KeptResultBytes(ResultCache* cache) {
  std::lock_guard<std::mutex> hold(cache->lock);
  return cache->bytes;
}

ResultPointer ObtainResult(ResultCache* cache, SearchBatcher* batcher, RecordPool* pool,
                           const SearchRequest& request, bool* refused) {
  *refused = false;
  ResultPointer set;
  bool mine = false;
  {
    std::lock_guard<std::mutex> hold(cache->lock);
    const auto kept = cache->byKey.find(request.key);
    if (kept != cache->byKey.end()) {
      cache->recent.splice(cache->recent.begin(), cache->recent, kept->second);
      return *kept->second;
    }
    ResultPointer& running = cache->running[request.key];
    if (running == nullptr) {
      running = std::make_shared<ResultSet>();
      running->key = request.key;
      mine = true;
    }
    set = running;
  }
  if (!mine) {
    // The same search runs for another request: its rows are this one's too.
    std::unique_lock<std::mutex> hold(set->readyLock);
    set->readyWake.wait(hold, [&set] { return set->ready; });
    *refused = set->status == 503;
    return set;
  }
  bool stopped = false;
  // The requests waiting for this set must hear how it ended, whatever happens to it.
  try {
    RunResultScan(request, batcher, false, pool, nullptr, ScanWatcher(), set.get(), &stopped);
  } catch (const std::exception&) {
    set->status = 500;
    set->message = "no memory for the result";
  }
  *refused = set->status == 503;
  {
    std::lock_guard<std::mutex> hold(cache->lock);
    cache->running.erase(request.key);
    if (set->status == 200) KeepLocked(cache, set);
  }
  MarkReady(set.get());
  return set;
}

OrderPointer ObtainOrder(ResultCache* cache, ResultSet* set, int column, bool descending,
                         const std::string& locale) {
  std::lock_guard<std::mutex> hold(set->orderLock);
  for (const OrderPointer& order : set->orders)
    if (order->column == column && order->descending == descending && order->locale == locale)
      return order;
  ServerCollation collation;
  if (!OpenServerCollation(locale, &collation)) return nullptr;
  auto order = std::make_shared<KeptOrder>();
  order->locale = locale;
  order->column = column;
  order->descending = descending;
  bool sorted = false;
  try {
    sorted = RepeatsValues(*set, column)
                 ? OrderRows(*set, column, descending, collation.collation, &order->rows)
                 : OrderEveryRow(*set, column, descending, collation.collation, &order->rows);
  } catch (const std::exception&) {
    sorted = false;  // no memory for the sort's bookkeeping: answered as not sorted
  }
  CloseServerCollation(&collation);
  if (!sorted) return nullptr;
  set->orders.push_back(order);
  std::lock_guard<std::mutex> counting(cache->lock);
  const auto kept = cache->byKey.find(set->key);
  if (kept != cache->byKey.end() && kept->second->get() == set) {
    const size_t grown = order->rows.capacity() * sizeof(int);
    set->bytes += grown;
    cache->bytes += grown;
    TrimCache(cache, set);
  }
  return order;
}
