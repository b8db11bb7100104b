// vostrel-inflate-floor FILE.zdb [RUNS]: what the members of a series cost to inflate alone,
// with the build's inflate and the reader's own member calls, on one thread and on two: the
// least a search of the file can take on two processors, with nothing read, scanned or handed
// over. scan_bench.sh runs it beside the searches, so that a ratio can be set against the best
// its two sides could do.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/codepage.h"
#include "db/record_reader_inflate.h"

namespace {

struct Member {
  std::vector<unsigned char> bytes;
};

// Every member of the series from the file's start; false when the file is no series.
bool ReadSeries(const std::wstring& path, std::vector<Member>* members) {
  GzStream* gz = OpenGzStream(path.c_str());
  if (gz == nullptr) return false;
  uint64_t offset = 0;
  for (;;) {
    uint32_t length = 0;
    const MemberAt at = LookAtMember(gz, offset, &length);
    if (at == MemberEnd) break;
    if (at != MemberBlocked) {
      CloseGzStream(gz);
      return false;
    }
    Member m;
    m.bytes.resize(length);
    if (ReadGzFileAt(gz, offset, m.bytes.data(), length) != length) {
      CloseGzStream(gz);
      return false;
    }
    members->push_back(std::move(m));
    offset += length;
  }
  CloseGzStream(gz);
  return !members->empty();
}

// Microseconds to inflate every member once, threads taking the next one in turn, each into an
// output of its own that it touched once before the clock starts.
long long InflateAll(const std::vector<Member>& members, int threads, bool* sound) {
  constexpr size_t kRoom = (1u << 20) + 4096;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::unique_ptr<unsigned char[]>> outputs;
  for (int t = 0; t < threads; ++t) {
    outputs.emplace_back(new unsigned char[kRoom]);
    std::fill(outputs.back().get(), outputs.back().get() + kRoom, 0);
  }
  auto work = [&](unsigned char* out) {
    MemberInflater* inflater = NewMemberInflater(nullptr);
    for (size_t k; (k = next.fetch_add(1)) < members.size();) {
      size_t produced = 0;
      if (inflater == nullptr || !InflateMember(inflater, members[k].bytes.data(),
                                                members[k].bytes.size(), out, kRoom, &produced))
        failed = true;
    }
    FreeMemberInflater(inflater);
  };
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> running;
  for (int t = 1; t < threads; ++t) running.emplace_back(work, outputs[t].get());
  work(outputs[0].get());
  for (std::thread& t : running) t.join();
  const auto took = std::chrono::steady_clock::now() - start;
  *sound = !failed;
  return std::chrono::duration_cast<std::chrono::microseconds>(took).count();
}

int Run(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) {
    fprintf(stderr, "usage: vostrel-inflate-floor FILE.zdb [RUNS]\n");
    return 2;
  }
  const int runs = args.size() == 2 ? atoi(args[1].c_str()) : 5;
  std::vector<Member> members;
  if (runs < 1 || !ReadSeries(Utf8ToWide(args[0]), &members)) {
    fprintf(stderr,
            "vostrel-inflate-floor: %s is no series of members (or RUNS is not 1 or more)\n",
            args[0].c_str());
    return 2;
  }
  for (int threads = 1; threads <= 2; ++threads) {
    std::vector<long long> times;
    for (int r = 0; r < runs; ++r) {
      bool sound = false;
      times.push_back(InflateAll(members, threads, &sound));
      if (!sound) {
        fprintf(stderr, "vostrel-inflate-floor: a member of %s does not inflate\n",
                args[0].c_str());
        return 1;
      }
    }
    std::sort(times.begin(), times.end());
    printf("%d thread%s: %lld us (median of %d, %zu members, %s)\n", threads,
           threads == 1 ? "" : "s", times[times.size() / 2], runs, members.size(),
           DefaultInflateEngine() == InflateWithIsal ? "isal" : "zlib");
  }
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
