// The sort of a result set: whichever way it goes (ranks from sort keys, or the comparison
// itself when the keys fail or disagree with it), its order must be std::stable_sort's with the
// same comparison, in both directions, starting from whatever order the rows are shown in; and
// two readers' orders of one store stand side by side while its writer appends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/field_schema.h"
#include "db/record_cache.h"
#include "search/result_sort.h"
#include "search/result_store.h"

namespace {

// ASCII letters compare without case.
wchar_t Folded(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

int CompareFolded(void*, const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    const wchar_t x = Folded(*a), y = Folded(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

// Two bytes a letter, most significant first, and a terminating zero letter (a key is never
// empty, and a text that begins a longer one comes first).
int KeyOf(const wchar_t* text, bool fold, int letters, unsigned char* key, int capacity) {
  int length = static_cast<int>(wcslen(text));
  if (letters >= 0 && length > letters) length = letters;
  const int bytes = 2 * (length + 1);
  if (bytes > capacity) return kSortKeyNeedsRoom;
  for (int i = 0; i <= length; ++i) {
    const wchar_t c = i < length ? (fold ? Folded(text[i]) : text[i]) : 0;
    key[2 * i] = static_cast<unsigned char>((c >> 8) & 0xFF);
    key[2 * i + 1] = static_cast<unsigned char>(c & 0xFF);
  }
  return bytes;
}

int FoldedKey(void*, const wchar_t* text, unsigned char* key, int capacity) {
  return KeyOf(text, true, -1, key, capacity);
}
// Keys that keep the case: "B" before "a", where the comparison puts it after.
int CaseKeptKey(void*, const wchar_t* text, unsigned char* key, int capacity) {
  return KeyOf(text, false, -1, key, capacity);
}
// Keys of the first letter only: texts the comparison tells apart share a key.
int FirstLetterKey(void*, const wchar_t* text, unsigned char* key, int capacity) {
  return KeyOf(text, true, 1, key, capacity);
}
int FailingKey(void*, const wchar_t*, unsigned char*, int) { return 0; }
// Right keys, but only once the sort has found 64 KiB of room for them.
int RoomyKey(void*, const wchar_t* text, unsigned char* key, int capacity) {
  return capacity < (1 << 16) ? kSortKeyNeedsRoom : KeyOf(text, true, -1, key, capacity);
}

struct CollationCase {
  const char* name;
  int (*sortKey)(void*, const wchar_t*, unsigned char*, int);
  // How the sort must go on texts where "a" and "B" meet; NotSorted: either way.
  SortPath path;
};
const CollationCase kCollations[] = {
    {"folded keys", FoldedKey, SortPath::ByRank},
    {"keys that need room", RoomyKey, SortPath::ByRank},
    {"no keys", nullptr, SortPath::ByComparison},
    {"failing keys", FailingKey, SortPath::ByComparison},
    {"keys that keep the case", CaseKeptKey, SortPath::ByComparison},
    {"keys of the first letter", FirstLetterKey, SortPath::NotSorted},
};

TextCollation CollationOf(const CollationCase& c) {
  TextCollation collation;
  collation.compare = CompareFolded;
  collation.sortKey = c.sortKey;
  return collation;
}

// Short texts of a few letters, in both cases, so that most of them tie with others (equal, or
// equal but for case) and the order among equals shows.
std::wstring RandomText(std::mt19937& random) {
  static const wchar_t kLetters[] = L"aAbB -z";
  std::uniform_int_distribution<int> length(0, 4), letter(0, 6);
  std::wstring text;
  for (int n = length(random); n > 0; --n) text += kLetters[letter(random)];
  return text;
}

// What std::stable_sort makes of these texts, places given as the texts' numbers.
std::vector<int> StableOrder(const std::vector<const wchar_t*>& texts, bool descending) {
  std::vector<int> order(texts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const int c = CompareFolded(nullptr, texts[a], texts[b]);
    return descending ? c > 0 : c < 0;
  });
  return order;
}

}  // namespace

TEST(ResultSortProperty, EveryWayOfSortingGivesTheStableSortsOrder) {
  for (unsigned seed = 1; seed <= 24; ++seed) {
    std::mt19937 random(seed);
    const int count = seed <= 4 ? static_cast<int>(seed) - 1 : static_cast<int>(random() % 2000);
    std::vector<std::wstring> owned;
    for (int i = 0; i < count; ++i) owned.push_back(RandomText(random));
    std::vector<const wchar_t*> texts;
    for (const std::wstring& text : owned) texts.push_back(text.c_str());
    for (const CollationCase& c : kCollations) {
      for (bool descending : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (descending ? ", descending" : ", ascending") +
                     ", seed " + std::to_string(seed));
        std::vector<int> order(texts.size(), -1);
        const SortPath path =
            OrderTexts(texts.data(), count, descending, CollationOf(c), order.data());
        ASSERT_EQ(order, StableOrder(texts, descending));
        if (count >= 100 && c.path != SortPath::NotSorted) {
          EXPECT_EQ(path, c.path);
        }
      }
    }
  }
}

namespace {

// A table of two displayed text fields, written into by the store's one writer.
struct TwoColumns {
  FieldDescriptor fields[2] = {};
  char values[2][16] = {};
  FieldTable table;
  TwoColumns() {
    for (int k = 0; k < 2; ++k) {
      fields[k].value = values[k];
      table.displayMap[k] = &fields[k];
    }
    table.displayCount = 2;
  }
};

// The row numbers in the order a reader shows the first count rows.
std::vector<int> Shown(const ResultOrder& order, int count) {
  std::vector<int> rows;
  for (int k = 0; k < count; ++k) rows.push_back(OrderedRow(order, k));
  return rows;
}

// What std::stable_sort makes of rows shown in this order, by the column's texts.
std::vector<int> StableRows(const std::vector<int>& shown,
                            const std::vector<std::wstring> (&texts)[2], int column,
                            bool descending) {
  std::vector<const wchar_t*> byPlace;
  for (int row : shown) byPlace.push_back(texts[column][static_cast<size_t>(row)].c_str());
  std::vector<int> rows;
  for (int place : StableOrder(byPlace, descending))
    rows.push_back(shown[static_cast<size_t>(place)]);
  return rows;
}

}  // namespace

TEST(ResultSortProperty, TwoReadersOrderOneStoreWhileItsWriterAppends) {
  constexpr int kRows = 20000;
  std::mt19937 random(7);
  std::vector<std::wstring> texts[2];
  for (int i = 0; i < kRows; ++i)
    for (std::vector<std::wstring>& column : texts) column.push_back(RandomText(random));
  auto store = std::make_unique<ResultStore>();
  TwoColumns writerTable;
  auto append = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      for (int k = 0; k < 2; ++k) {
        const std::wstring& text = texts[k][static_cast<size_t>(i)];
        for (size_t c = 0; c <= text.size(); ++c)
          writerTable.values[k][c] = c < text.size() ? static_cast<char>(text[c]) : '\0';
      }
      if (!AppendStoredRow(store.get(), &writerTable.table)) return;
    }
  };
  append(0, 3000);
  std::thread writer(append, 3000, kRows);

  TextCollation collation;
  collation.compare = CompareFolded;
  collation.sortKey = FoldedKey;
  TextCollation comparisonOnly = collation;
  comparisonOnly.sortKey = CaseKeptKey;
  // Reader one sorts the name column, then again in reverse over the rows appended meanwhile;
  // reader two sorts the street column in reverse, with keys that send it to the comparison.
  const int first = 3000;
  ResultOrder one, two;
  ASSERT_EQ(SortResultRows(store.get(), first, 2, one, 0, false, collation, &one),
            SortPath::ByRank);
  const int second = store->count.load(std::memory_order_acquire);
  ASSERT_EQ(SortResultRows(store.get(), second, 2, two, 1, true, comparisonOnly, &two),
            SortPath::ByComparison);
  ASSERT_EQ(one.count, first);
  ASSERT_EQ(Shown(one, first), StableRows(Shown(ResultOrder(), first), texts, 0, false));
  const int third = store->count.load(std::memory_order_acquire);
  ResultOrder oneAgain;
  ASSERT_NE(SortResultRows(store.get(), third, 2, one, 0, true, collation, &oneAgain),
            SortPath::NotSorted);
  writer.join();
  EXPECT_EQ(oneAgain.count, third);
  EXPECT_TRUE(oneAgain.descending);
  EXPECT_EQ(oneAgain.column, 0);
  // The rows appended after the first sort were sorted along, from where they were shown:
  // after the sorted ones, in the order they came.
  EXPECT_EQ(Shown(oneAgain, third), StableRows(Shown(one, third), texts, 0, true));
  EXPECT_EQ(Shown(two, second), StableRows(Shown(ResultOrder(), second), texts, 1, true));
  // Side by side, each reader sees its own order of the same rows, in every column.
  for (int k = 0; k < second; ++k) {
    const ResultRow a = StoredRow(store.get(), OrderedRow(oneAgain, k));
    const ResultRow b = StoredRow(store.get(), OrderedRow(two, k));
    ASSERT_EQ(std::wstring(a[0]), texts[0][static_cast<size_t>(OrderedRow(oneAgain, k))]) << k;
    ASSERT_EQ(std::wstring(b[1]), texts[1][static_cast<size_t>(OrderedRow(two, k))]) << k;
    if (k > 0) {
      EXPECT_GE(
          CompareFolded(nullptr, StoredRow(store.get(), OrderedRow(oneAgain, k - 1))[0], a[0]), 0);
      EXPECT_GE(CompareFolded(nullptr, StoredRow(store.get(), OrderedRow(two, k - 1))[1], b[1]), 0);
    }
  }
  FreeStoredRows(store.get());
}

unsigned char KeptByte(size_t at) { return static_cast<unsigned char>(at * 7 + at / 4099); }

// Rows laid into memory that another thread made ahead read back whole, while a reader reads
// the counted ones, over several blocks; and the store goes on without its supply after it.
// Kept records draw their chunks from the same supply as the rows meanwhile: no block may end up
// in both, nor be handed out twice. (How many come from the supply depends on when its thread
// runs; the bytes must be whole either way.)
TEST(ResultStore, RowsOnMemoryMadeAheadReadBackWhole) {
  // 12 MB of rows with two-byte wide characters, 20 MB with four: several blocks either way.
  constexpr int kRows = 150000, kWithSupply = 120000;
  constexpr size_t kKeptPerRow = 100;  // 15 MB of kept records beside them
  auto textOf = [](int row, int column) {
    std::string text = std::to_string(row * 2 + column);
    text.resize(15, static_cast<char>('a' + (row + column) % 26));
    return text;
  };
  auto store = std::make_unique<ResultStore>();
  std::atomic<bool> supplied{false}, written{false};
  RecordCache kept;
  BeginRecordCache(&kept, static_cast<size_t>(1) << 30);
  std::thread writer([&] {
    TwoColumns table;
    supplied = StartRowBlockSupply(store.get());
    kept.source = {TakeSuppliedMemory, store.get()};
    unsigned char bytes[kKeptPerRow];
    for (int row = 0; row < kRows; ++row) {
      if (row == kWithSupply) StopRowBlockSupply(store.get());
      for (int k = 0; k < 2; ++k) strcpy(table.values[k], textOf(row, k).c_str());
      if (!AppendStoredRow(store.get(), &table.table)) break;
      for (size_t b = 0; b < kKeptPerRow; ++b) bytes[b] = KeptByte(row * kKeptPerRow + b);
      AppendToRecordCache(&kept, bytes, kKeptPerRow);
    }
    kept.source = ChunkSource();
    written = true;
  });
  int checked = 0;
  for (bool last = false; !last;) {
    last = written.load();
    const int count = store->count.load(std::memory_order_acquire);
    if (count == checked) std::this_thread::yield();
    for (; checked < count; ++checked)
      for (int k = 0; k < 2; ++k) {
        const std::string expected = textOf(checked, k);
        ASSERT_EQ(std::wstring(StoredRow(store.get(), checked)[k]),
                  std::wstring(expected.begin(), expected.end()))
            << checked;
      }
  }
  writer.join();
  EXPECT_TRUE(supplied);
  EXPECT_EQ(checked, kRows);
  EXPECT_EQ(store->supply, nullptr);
  EXPECT_GE(StoredRowBlocks(store.get()), 3);
  ASSERT_TRUE(FinishRecordCache(&kept));
  ASSERT_EQ(kept.size, kRows * kKeptPerRow);
  for (size_t c = 0, at = 0; c < kept.chunkCount; ++c)
    for (size_t b = 0; b < RecordCacheChunkLength(&kept, c); ++b, ++at)
      ASSERT_EQ(kept.chunks[c][b], KeptByte(at)) << at;
  FreeRecordCache(&kept);
  FreeStoredRows(store.get());
}
