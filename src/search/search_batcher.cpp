#include "search/search_batcher.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

// One search waiting for, or going with, a walk.
struct Member {
  const Database* database;
  const Query* query;
  const SearchSink* sink;
  const std::atomic<int>* stop;
  bool alone;  // walks with nobody else
  int results = 0;
  bool ended = false;  // its stop came, or its sink refused or had its last row
  ScanEnd endedBy = ScanStopped;
  int scannedAtEnd = 0;
  bool done = false;  // its walk is over and outcome is its own
  SearchOutcome outcome;
};

}  // namespace

struct SearchBatcher {
  std::mutex lock;
  std::condition_variable walked;
  std::condition_variable arrived;  // a search came while a leader gathers
  std::deque<Member*> waiting;      // in the order they came, every database's
  int walking = 0;
  int gathering = 0;  // leaders waiting a moment for more of their database
  int gatherMs = 0;   // how long a moment
  int walksAtOnce = 1;
  int queriesPerWalk = 1;
  int maxWaiting = 0;
};

namespace {

// The searches of one walk, as its sink sees them.
struct Group {
  std::vector<Member*> members;
  std::atomic<int> allEnded{0};
  int scanned = 0;
  int left = 0;
};

void EndMember(Group* group, Member* member, ScanEnd why) {
  member->ended = true;
  member->endedBy = why;
  member->scannedAtEnd = group->scanned;
  if (--group->left == 0) group->allEnded.store(1, std::memory_order_relaxed);
}

void GroupBegin(void* context) {
  for (Member* member : static_cast<Group*>(context)->members)
    if (member->sink->begin != nullptr) member->sink->begin(member->sink->context);
}

void GroupStatus(void* context, int, int scanned) {
  Group* group = static_cast<Group*>(context);
  group->scanned = scanned;
  for (Member* member : group->members) {
    if (member->ended) continue;
    if (member->stop != nullptr && member->stop->load(std::memory_order_relaxed) != 0) {
      EndMember(group, member, ScanStopped);
      continue;
    }
    if (member->sink->statusUpdate != nullptr)
      member->sink->statusUpdate(member->sink->context, member->results, scanned);
  }
}

int GroupRow(void* context, const FieldTable* table, int query, int) {
  Group* group = static_cast<Group*>(context);
  Member* member = group->members[static_cast<size_t>(query)];
  if (member->ended) return RowTaken;
  const int answer =
      member->sink->appendRow == nullptr
          ? RowTaken
          : member->sink->appendRow(member->sink->context, table, 0, member->results);
  if (answer != RowRefused) ++member->results;
  if (answer == RowRefused) EndMember(group, member, ScanRowFailed);
  if (answer == RowTakenThenStop) EndMember(group, member, ScanStopped);
  // The walk goes on for the others; it ends once nobody is left in it.
  return group->left == 0 ? RowTakenThenStop : RowTaken;
}

// One walk for the group's searches; each gets its own outcome.
void WalkForGroup(const Database& database, Group* group, const SearchOptions& leader) {
  std::vector<Query> queries;
  for (const Member* member : group->members) queries.push_back(*member->query);
  group->left = static_cast<int>(group->members.size());
  SearchSink sink;
  sink.context = group;
  sink.begin = GroupBegin;
  sink.statusUpdate = GroupStatus;
  sink.appendRow = GroupRow;
  SearchOptions options = leader;
  options.stop = &group->allEnded;
  const SearchOutcome walked = Search(database, queries, sink, options);
  for (Member* member : group->members) {
    member->outcome = walked;
    member->outcome.limitedQueries = walked.scan.end == ScanRecordLimit ? 1 : 0;
    member->outcome.scan.results = member->results;
    if (member->ended && walked.failure == 0) {
      member->outcome.scan.end = member->endedBy;
      member->outcome.scan.scanned = member->scannedAtEnd;
    }
  }
}

// How many searches of the database wait to go together in a walk.
int WaitingFor(const SearchBatcher* batcher, const Database* database) {
  int n = 0;
  for (const Member* member : batcher->waiting) n += member->database == database && !member->alone;
  return n;
}

// The searches the next walk takes: the first one waiting, and those of its database that
// wait behind it, in the order they came, up to the walk's limit.
void TakeGroup(SearchBatcher* batcher, Group* group) {
  Member* first = batcher->waiting.front();
  batcher->waiting.pop_front();
  group->members.push_back(first);
  if (first->alone) return;
  for (auto at = batcher->waiting.begin(); at != batcher->waiting.end();) {
    if (static_cast<int>(group->members.size()) == batcher->queriesPerWalk) break;
    if ((*at)->database == first->database && !(*at)->alone) {
      group->members.push_back(*at);
      at = batcher->waiting.erase(at);
    } else {
      ++at;
    }
  }
}

}  // namespace

SearchBatcher* NewSearchBatcher(int walksAtOnce, int queriesPerWalk, int maxWaiting, int gatherMs) {
  SearchBatcher* batcher = new SearchBatcher();
  batcher->maxWaiting = maxWaiting < 0 ? 0 : maxWaiting;
  batcher->walksAtOnce = walksAtOnce < 1 ? 1 : walksAtOnce;
  batcher->queriesPerWalk = queriesPerWalk < 1 ? 1 : queriesPerWalk;
  batcher->gatherMs = gatherMs < 0 ? 0 : gatherMs;
  return batcher;
}

void FreeSearchBatcher(SearchBatcher* batcher) { delete batcher; }

int SearchesWaiting(SearchBatcher* batcher) {
  std::lock_guard<std::mutex> held(batcher->lock);
  return static_cast<int>(batcher->waiting.size());
}

bool SearchBatcherHasRoom(SearchBatcher* batcher) {
  std::lock_guard<std::mutex> held(batcher->lock);
  return batcher->walking < batcher->walksAtOnce ||
         static_cast<int>(batcher->waiting.size()) < batcher->maxWaiting;
}

SearchOutcome SearchTogether(SearchBatcher* batcher,
                             const std::shared_ptr<const Database>& database, const Query& query,
                             const SearchSink& sink, const SearchOptions& options, bool alone) {
  Member me{database.get(), &query, &sink, options.stop, alone};
  std::unique_lock<std::mutex> held(batcher->lock);
  if (!alone && batcher->walking >= batcher->walksAtOnce &&
      static_cast<int>(batcher->waiting.size()) >= batcher->maxWaiting) {
    me.outcome.failure = kSearchRefusedBusy;
    return me.outcome;
  }
  batcher->waiting.push_back(&me);
  if (batcher->gathering > 0) batcher->arrived.notify_all();
  // Wait until a walk has answered this search, or this search is the first waiting and a walk
  // may start: then it leads the next walk.
  batcher->walked.wait(held, [&] {
    return me.done || (!batcher->waiting.empty() && batcher->waiting.front() == &me &&
                       batcher->walking < batcher->walksAtOnce);
  });
  if (me.done) return me.outcome;
  ++batcher->walking;
  // While another walk runs, searches come in crowds: those it has just answered ask again
  // within a few milliseconds. A walk started at once with the first of them would carry it
  // nearly alone and leave the rest a whole walk behind; a moment's wait takes them along.
  if (!alone && batcher->walking > 1 && batcher->gatherMs > 0) {
    ++batcher->gathering;
    batcher->arrived.wait_until(
        held, std::chrono::steady_clock::now() + std::chrono::milliseconds(batcher->gatherMs),
        [&] { return WaitingFor(batcher, database.get()) >= batcher->queriesPerWalk; });
    --batcher->gathering;
  }
  Group group;
  TakeGroup(batcher, &group);
  // The next search waiting (of another database) may lead a walk beside this one.
  if (!batcher->waiting.empty() && batcher->walking < batcher->walksAtOnce)
    batcher->walked.notify_all();
  held.unlock();
  // A sink that throws (its memory ran out) ends the walk: every search in it ends as one with
  // no memory (failure 3), and the walk's turn is given back, so that nobody waits for ever.
  try {
    if (group.members.size() == 1) {
      // Alone, a search is exactly Search: its own cadence, its own stop flag.
      me.outcome = Search(*database, {query}, sink, options);
    } else {
      WalkForGroup(*database, &group, options);
    }
  } catch (...) {
    for (Member* member : group.members) member->outcome.failure = 3;
  }
  held.lock();
  for (Member* member : group.members) member->done = true;
  --batcher->walking;
  batcher->walked.notify_all();
  return me.outcome;
}
