// Searches of one database asked at once share walks of its records. A walk of a city's file
// costs tens of milliseconds whatever the query, and one walk answers many queries for little
// more (the command line's --queries): so when many people search at once, a search that
// arrives while every walk is busy waits, and the next walk takes it with every other search of
// the same database that waits. Alone, a search is simply Search.
//
// Threads: any number call SearchTogether at once. A walk runs on the thread of the search that
// leads it (the first of its group to arrive); the others wait. Each search's sink is called
// only from the thread that walks for it, never two at once, and all is done before
// SearchTogether returns on the search's own thread.
#pragma once
#include <memory>

#include "search/search.h"

struct SearchBatcher;

// walksAtOnce: how many walks may run at once, of any databases (the processors a front end
// gives to searching); queriesPerWalk: how many searches one walk takes at most; maxWaiting:
// how many may wait for a walk before more are refused. The first search waiting leads the next
// walk, so every search has its turn in the order it came. gatherMs: while another walk runs, how
// long the leader of a walk waits for more searches of its database to come along (searches come
// in crowds then: those a walk has just answered ask again at once); 0 never waits.
SearchBatcher* NewSearchBatcher(int walksAtOnce, int queriesPerWalk, int maxWaiting,
                                int gatherMs = 0);
// Nobody may be searching through it.
void FreeSearchBatcher(SearchBatcher* batcher);

// How many searches wait for a walk now, over every database.
int SearchesWaiting(SearchBatcher* batcher);
// Whether a search coming now would be taken (a walk is free, or the line has room): for a front
// end that must answer before it searches.
bool SearchBatcherHasRoom(SearchBatcher* batcher);
// SearchOutcome.failure of a search refused because the line is full.
constexpr int kSearchRefusedBusy = 4;

// Searches the query as Search does, in a walk shared with other searches of the same database
// (the same object) when they come together. The rows, their order and the final counts are
// those of Search alone; the status updates then come at the walk's cadence (every 1000
// records, after every 50 rows of all its searches), each with this search's own row count.
// A walk reads the database as its leader's options say; each search's own stop flag ends only
// that search (ScanStopped), and a row its sink refuses or takes as its last ends only it too.
// limitedQueries is 1 when the walk ended at the header's record count. A sink that throws
// ends its walk: every search in it fails as one without memory (failure 3). A search that finds
// the line full and every walk busy is refused at once (failure kSearchRefusedBusy). A search
// `alone` waits its turn in the same line, never refused (its front end asked for room first),
// but walks with nobody else, its sink called on its own thread (one that answers a client as it
// goes, whom a slow client must not hold up for others).
SearchOutcome SearchTogether(SearchBatcher* batcher,
                             const std::shared_ptr<const Database>& database, const Query& query,
                             const SearchSink& sink, const SearchOptions& options,
                             bool alone = false);
