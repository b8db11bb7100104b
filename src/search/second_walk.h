// A second thread for a search of a viewed file (the command line's, on a plain file). The walk
// from one record's length byte to the next is what every record waits for, and it cannot be
// split: a record's start is only known from the one before. So the thread guesses a start in
// the middle of the file and walks on from there, gating each record as the search's own loop
// would. Walks from a wrong start fall onto the true chain within a few dozen records; the
// search's loop, when it reaches the middle, looks for the first record it shares with the
// thread's walk and from there on takes the thread's findings instead of walking itself.
#pragma once
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

#include "db/file_system.h"
#include "db/record_reader.h"
#include "search/pass_over.h"
#include "search/scan_loop.h"

// The thread's records are numbered from its guessed start: index 0 is the guess.
struct SecondWalk {
  struct Found {
    size_t position;
    size_t index;
  };
  // Set before the thread starts.
  FileView view;  // the thread's own copy, for its own loading
  const unsigned char* bytes = nullptr;
  size_t length = 0;
  size_t from = 0;  // the guessed start
  SecondWalkLimits limits;
  std::unique_ptr<size_t[]> samples;  // the start of every limits.sampleEvery-th record
  std::unique_ptr<Found[]> accepted;  // the records the gate let through
  // Written by the thread. Each store is a release, each load by the search an acquire: what a
  // count or an index announces was written before it.
  std::atomic<bool> joinable{false};
  std::atomic<size_t> covered{0};  // every record below this index gated, its findings written
  std::atomic<size_t> acceptedCount{0};
  std::atomic<size_t> ready{0};  // loaded up to this byte
  std::atomic<bool> finished{false};
  size_t finalIndex = 0;  // where the thread stopped (a record it did not gate), once finished
  size_t finalPosition = 0;
  bool shrank = false;  // the file was found cut, once finished
  bool ended = false;   // nothing past ready can be loaded, once finished
  std::atomic<bool> quit{false};
  std::thread thread;
};

// A guess that has not found a chain of trialRecords whole records this far on is given up.
constexpr size_t kGuessRoom = size_t{1} << 20;

// The thread: from the guess, a chain of whole records (a length of 0, the end mark or a record
// past what can be loaded ends a chain; until a chain of trialRecords records is offered the
// guess moves on a byte and starts again), each record gated, every sampleEvery-th start kept,
// until the chain ends, a table is full or the search says quit.
template <typename Gate>
void WalkSecondPart(SecondWalk* w, const Gate gate) {
  const unsigned char* const bytes = w->bytes;
  const size_t length = w->length;
  const size_t trialRecords = w->limits.trialRecords;
  const size_t sampleEvery = w->limits.sampleEvery;
  size_t ready = w->from - 1;  // the guess's length byte is read too
  bool ended = false;
  auto load = [&] {
    const size_t want = std::min(length, ready + w->limits.window);
    const size_t got = PrepareFileView(&w->view, ready, want);
    if (got < want || got == length) ended = true;
    if (got > ready) ready = got;
    w->ready.store(ready, std::memory_order_release);
  };
  load();
  size_t start = w->from;  // where the present chain began
  size_t at = start;
  size_t index = 0;
  size_t found = 0;
  // The next record to sample and its slot, counted rather than taken as index % sampleEvery:
  // a division by a number known only at run time cost more than the rest of a record's walk.
  size_t nextSample = 0;
  size_t sampleSlot = 0;
  bool offered = false;
  auto finish = [&] {
    w->finalIndex = index;
    w->finalPosition = at;
    w->shrank = w->view.shrank;
    w->ended = ended;
    w->acceptedCount.store(found, std::memory_order_release);
    w->covered.store(index, std::memory_order_release);
    w->finished.store(true, std::memory_order_release);
  };
  for (;;) {
    if ((index & 1023) == 0) {
      if (w->quit.load(std::memory_order_relaxed)) break;
      if (offered) {
        w->acceptedCount.store(found, std::memory_order_release);
        w->covered.store(index, std::memory_order_release);
      }
    }
    while (!ended && ready - at < 256) load();
    const size_t next = at <= ready ? bytes[at - 1] : 0;
    if (next == 0 || next == 0xFF || ready - at < next || at > ready) {
      if (offered) break;
      // Not yet a chain to offer: the guess moves on.
      start += 1;
      if (start - w->from > kGuessRoom || start >= ready) break;
      at = start;
      index = 0;
      found = 0;
      nextSample = 0;
      sampleSlot = 0;
      continue;
    }
    if (index == nextSample) {
      if (sampleSlot >= w->limits.sampleCapacity) break;
      w->samples[sampleSlot++] = at;
      nextSample += sampleEvery;
    }
    if (gate(bytes + at, static_cast<unsigned>(next), 0)) {
      if (found >= w->limits.acceptedCapacity) break;
      w->accepted[found++] = SecondWalk::Found{at, index};
    }
    at += next;
    __builtin_prefetch(bytes + at + kPrefetchAhead);
    ++index;
    if (!offered && index == trialRecords) {
      offered = true;
      w->acceptedCount.store(found, std::memory_order_release);
      w->covered.store(index, std::memory_order_release);
      w->joinable.store(true, std::memory_order_release);
    }
  }
  finish();
}

// The search's side: starts the thread, joins its walk and takes its findings.
class SecondWalker {
 public:
  SecondWalker() = default;
  SecondWalker(const SecondWalker&) = delete;
  SecondWalker& operator=(const SecondWalker&) = delete;
  ~SecondWalker() { Stop(); }

  // Starts the thread on the reader's second half when it views a file long enough and a second
  // processor is there; otherwise the search walks alone.
  template <typename Gate>
  void Start(RecordReader* reader, const Gate gate) {
    const SecondWalkLimits limits = SecondWalkSettings();
    FileView view;
    if (!CopyRecordView(reader, &view)) return;
    const size_t at = reader->bufferStart;
    if (at == 0 || view.length < at || view.length - at < 2 * limits.minimumBytes ||
        limits.trialRecords == 0 || limits.sampleEvery == 0 || limits.sampleCapacity == 0)
      return;
    if (ProcessorsToRunOn() < 2 && !limits.evenOnOneProcessor) return;
    std::unique_ptr<SecondWalk> w(new (std::nothrow) SecondWalk());
    if (w == nullptr) return;
    w->view = view;
    w->bytes = view.bytes;
    w->length = view.length;
    w->from = at + (view.length - at) / 2;
    w->limits = limits;
    w->samples.reset(new (std::nothrow) size_t[limits.sampleCapacity]);
    w->accepted.reset(new (std::nothrow) SecondWalk::Found[limits.acceptedCapacity]);
    if (w->samples == nullptr || w->accepted == nullptr) return;
    SecondWalk* walk = w.get();
    try {
      w->thread = std::thread([walk, gate] { WalkSecondPart(walk, gate); });
    } catch (...) {
      return;
    }
    KeepOffThisProcessor(&walk->thread);
    walk_ = std::move(w);
    state_ = Looking;
  }

  // Called where the loop would pass over records, with the reader at the next record (of the
  // given length; scanned done so far). True when it moved the reader to the next record the
  // loop must take itself (a record the gate let through, the one a status update falls on, or
  // where the thread stopped), with length and scanned as the pass-over would leave them; false
  // to pass over as usual, up to lastQuiet, which it may lower to the record it joins at.
  bool Advance(RecordReader* reader, unsigned char* length, int* scanned, int* lastQuiet) {
    if (state_ == Off) return false;
    const size_t at = reader->bufferStart;
    if (state_ == Looking) {
      if (at < walk_->from) return false;
      if (walk_->limits.waitForWalk) {
        while (!walk_->finished.load(std::memory_order_acquire)) std::this_thread::yield();
      }
      if (!walk_->joinable.load(std::memory_order_acquire)) {
        // The thread has not offered its walk yet: the loop goes on alone a little further.
        if (at - walk_->from > kGuessRoom || walk_->finished.load(std::memory_order_acquire))
          return GiveUp();
        return false;
      }
      if (!Join(at, *scanned)) return GiveUp();
      state_ = Joined;
    }
    if (state_ == Joined) {
      if (static_cast<long long>(*scanned) + 1 < joinNumber_) {
        if (*lastQuiet > joinNumber_ - 1) *lastQuiet = static_cast<int>(joinNumber_ - 1);
        return false;
      }
      // The loop stands at the record it joined at, or the one after (it took that one itself):
      // it must be where the thread's walk has it.
      const size_t index = IndexOf(*scanned + 1ll);
      const size_t expected =
          index == joinIndex_ ? joinPosition_ : joinPosition_ + walk_->bytes[joinPosition_ - 1];
      if (index > joinIndex_ + 1 || expected != at) return GiveUp();
      state_ = Taking;
      SharedWalksJoined().fetch_add(1, std::memory_order_relaxed);
    }
    const size_t nextIndex = IndexOf(*scanned + 1ll);
    const size_t quietIndex = IndexOf(*lastQuiet + 1ll);
    size_t target = 0;
    size_t position = 0;
    bool last = false;   // the thread is done or stopped: the loop walks alone after this
    bool whole = false;  // and it has seen where the file ends (its shrank and ended hold)
    for (;;) {
      const size_t covered = walk_->covered.load(std::memory_order_acquire);
      const size_t count = walk_->acceptedCount.load(std::memory_order_acquire);
      while (nextAccepted_ < count && walk_->accepted[nextAccepted_].index < nextIndex)
        ++nextAccepted_;
      if (nextAccepted_ < count && walk_->accepted[nextAccepted_].index <= quietIndex) {
        target = walk_->accepted[nextAccepted_].index;
        position = walk_->accepted[nextAccepted_].position;
        break;
      }
      if (quietIndex < covered) {
        target = quietIndex;
        position = PositionOf(quietIndex);
        break;
      }
      if (walk_->finished.load(std::memory_order_acquire)) {
        if (walk_->covered.load(std::memory_order_acquire) != covered) continue;
        target = walk_->finalIndex;
        position = walk_->finalPosition;
        last = whole = true;
        break;
      }
      // The thread is behind (another program holds its processor, say): rather than wait for
      // it, the loop walks on alone from the last record it has gated, and it stops.
      walk_->quit.store(true, std::memory_order_relaxed);
      if (nextIndex >= covered) {
        ExtendRecordView(reader, walk_->ready.load(std::memory_order_acquire), false, false);
        state_ = Off;
        Stop();
        return false;
      }
      target = covered - 1;
      position = PositionOf(target);
      last = true;
      break;
    }
    ExtendRecordView(reader, walk_->ready.load(std::memory_order_acquire), whole && walk_->shrank,
                     whole && walk_->ended);
    reader->bufferStart = position;
    *length = walk_->bytes[position - 1];
    *scanned = static_cast<int>(NumberOf(target) - 1);
    if (last) {
      state_ = Off;
      Stop();
    }
    return true;
  }

  void Stop() {
    if (walk_ == nullptr) return;
    walk_->quit.store(true, std::memory_order_relaxed);
    if (walk_->thread.joinable()) walk_->thread.join();
  }

 private:
  enum State { Off, Looking, Joined, Taking };

  // The processors this program may run on (a program held to one by its affinity gains
  // nothing from a second thread, and the two would take turns).
  static unsigned ProcessorsToRunOn() {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
      return static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
    return std::thread::hardware_concurrency();
  }

  // A new thread is often started on the processor of the thread that made it and left there
  // for milliseconds, which is the whole of the walk: the two would take turns instead of
  // walking side by side. So the thread may run anywhere but here (when there is anywhere).
  static void KeepOffThisProcessor(std::thread* thread) {
#if defined(__linux__)
    const int here = sched_getcpu();
    cpu_set_t allowed;
    if (here < 0 || here >= CPU_SETSIZE ||
        pthread_getaffinity_np(thread->native_handle(), sizeof allowed, &allowed) != 0)
      return;
    CPU_CLR(here, &allowed);
    if (CPU_COUNT(&allowed) > 0)
      pthread_setaffinity_np(thread->native_handle(), sizeof allowed, &allowed);
#else
    (void)thread;
#endif
  }

  // The first record at or after at (a record of the loop's, the record number scanned + 1)
  // that is one of the thread's samples: the walks are one from there on.
  bool Join(size_t at, int scanned) {
    const size_t covered = walk_->covered.load(std::memory_order_acquire);
    if (covered == 0) return false;
    const size_t* samples = walk_->samples.get();
    const size_t count = (covered - 1) / walk_->limits.sampleEvery + 1;
    size_t k = static_cast<size_t>(std::lower_bound(samples, samples + count, at) - samples);
    size_t position = at;
    long long number = scanned + 1ll;
    while (k < count) {
      if (samples[k] == position) {
        if (number > INT_MAX) return false;
        joinIndex_ = k * walk_->limits.sampleEvery;
        joinPosition_ = position;
        joinNumber_ = number;
        return true;
      }
      if (samples[k] < position) {
        ++k;
        continue;
      }
      const size_t next = walk_->bytes[position - 1];
      if (next == 0 || next == 0xFF || walk_->length - position < next) return false;
      position += next;
      ++number;
    }
    return false;
  }

  bool GiveUp() {
    state_ = Off;
    Stop();
    return false;
  }

  size_t IndexOf(long long number) const {
    return static_cast<size_t>(number - joinNumber_) + joinIndex_;
  }
  long long NumberOf(size_t index) const {
    return static_cast<long long>(index - joinIndex_) + joinNumber_;
  }
  // The start of the thread's record index (one it has gated): from the sample before it.
  size_t PositionOf(size_t index) const {
    const size_t every = walk_->limits.sampleEvery;
    size_t position = walk_->samples[index / every];
    for (size_t i = index - index % every; i < index; ++i) position += walk_->bytes[position - 1];
    return position;
  }

  std::unique_ptr<SecondWalk> walk_;
  State state_ = Off;
  size_t joinIndex_ = 0;
  size_t joinPosition_ = 0;
  long long joinNumber_ = 0;
  size_t nextAccepted_ = 0;
};
