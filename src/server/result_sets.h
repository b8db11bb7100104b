// Searches the server ran, kept so that paging and sorting one search does not scan again.
//
// A kept row costs its displayed values as the file holds them (Windows-1251, each ended by a
// NUL), laid one after another in large blocks, and a pointer to where it starts: a row is no
// allocation of its own. (A reference to the record itself would cost less, but the engine reads
// records only in a walk from the start.) The sets are kept least recently used first out, within a
// byte bound that counts the rows and every order made of them.
//
// Threads: a set is written by the one search that makes it and read by any number of requests
// once it is ready; its orders are made under its own lock.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "search/batch_scan.h"
#include "search/search.h"
#include "search/search_batcher.h"
#include "server/catalog.h"

// One search as a request names it.
struct SearchRequest {
  ServedPointer served;
  Query query;
  std::string key;  // the database, its file as loaded, and the criteria as the scan takes them
};
// The key of a query of a served database.
std::string ResultKeyOf(const ServedDatabase& served, const Query& query);

// An order of a set's rows by one column, one way, in one language's collation.
struct KeptOrder {
  std::string locale;
  int column = 0;
  bool descending = false;
  std::vector<int> rows;  // place -> row
};
using OrderPointer = std::shared_ptr<const KeptOrder>;

struct ResultSet {
  std::string key;
  ServedPointer served;
  int columns = 0;
  std::vector<std::string> columnNames;  // UTF-8, in display order
  // The rows' values, laid one after another in blocks that never move (each block twice the
  // last, up to kRowBlockMax): a large result is copied once, a small one costs little.
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t blockSize = 0;
  size_t blockUsed = 0;
  size_t blockBytes = 0;          // all blocks together
  std::vector<const char*> rows;  // each row's first value
  int total = 0;
  int scanned = 0;
  bool complete = true;  // false when damage or a cut ended the scan early
  std::string message;   // why it is not complete, or that records past the count were left
  std::mutex orderLock;
  std::vector<OrderPointer> orders;
  // A set being made: the requests that wait for it.
  std::mutex readyLock;
  std::condition_variable readyWake;
  bool ready = false;
  int status = 200;  // the HTTP status of a search that failed (its error in message)
  size_t bytes = 0;  // counted by the cache, under its lock
};
using ResultPointer = std::shared_ptr<ResultSet>;

// The values of a row, one after another, each ended by a NUL.
inline const char* RowValues(const ResultSet& set, int row) {
  return set.rows[static_cast<size_t>(row)];
}
// Fills values[0 .. columns-1] with the row's values.
void RowValueArray(const ResultSet& set, int row, const char** values);

// Told at each status update of the scan (on the scanning thread, which alone writes the set).
struct ScanWatcher {
  void* context = nullptr;
  void (*update)(void* context, const ResultSet& set, int scanned) = nullptr;
};

// Runs the search into a new set (its rows, counts and message; status 409 when the file
// changed while it was read, 500 when its records could not be opened).
void RunResultScan(const SearchRequest& request, SearchBatcher* batcher, bool alone,
                   RecordPool* pool, const std::atomic<int>* stop, const ScanWatcher& watcher,
                   ResultSet* set, bool* stopped);

struct ResultCache {
  std::mutex lock;
  size_t limit = 0;
  size_t bytes = 0;
  std::list<ResultPointer> recent;  // most recently used first
  std::unordered_map<std::string, std::list<ResultPointer>::iterator> byKey;
  std::unordered_map<std::string, ResultPointer> running;  // searches being made
};

// A kept set of that key, now the most recently used; null when none.
ResultPointer FindKeptResult(ResultCache* cache, const std::string& key);
// Keeps a ready set (unless it alone passes the bound), letting the least recently used go.
void KeepResult(ResultCache* cache, const ResultPointer& set);
// The bytes kept now.
size_t KeptResultBytes(ResultCache* cache);

// The set of request: kept, or made by a search running for another request (waited for), or
// made now by begin() ... which returns false when no scan may start now (the caller answers
// 503). The set's status says whether it is usable.
ResultPointer ObtainResult(ResultCache* cache, SearchBatcher* batcher, RecordPool* pool,
                           const SearchRequest& request, bool* refused);

// The order of a ready set by column (descending or not) in locale's collation, made once and
// kept with the set (its bytes counted by the cache). Null when no collation or no memory.
OrderPointer ObtainOrder(ResultCache* cache, ResultSet* set, int column, bool descending,
                         const std::string& locale);
