// File-system calls on wide paths: what both platforms share (the temporary files of a write and
// their removal on a signal). The calls themselves are in file_system_windows.cpp (the wide path
// as it is) and file_system_posix.cpp (the path as UTF-8 bytes).
#include "db/file_system.h"

#include <zlib.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>

#include "db/codepage.h"
#include "db/file_system_platform.h"

// The one table of the process that a signal handler reads: a signal ends the whole process,
// so it removes every writer's temporaries, and a handler can reach no owner but this.
TemporarySlot TemporaryFiles[kTemporarySlots];

namespace {

// Writers on several threads register and forget their files one at a time; a handler only
// reads the table and takes no lock.
std::mutex TemporaryFilesLock;

}  // namespace

bool NamedLikeAHostSystemFolder(const std::wstring& path) {
  size_t end = path.size();
  while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/')) --end;
  const size_t slash = path.find_last_of(L"\\/", end == 0 ? 0 : end - 1);
  const size_t start = slash == std::wstring::npos || end == 0 ? 0 : slash + 1;
  if (end - start != 3 && end - start != 4) return false;
  std::wstring name;
  for (size_t i = start; i < end; ++i)
    name += (path[i] >= L'A' && path[i] <= L'Z') ? static_cast<wchar_t>(path[i] + 32) : path[i];
  return name == L"proc" || name == L"sys" || name == L"dev";
}

bool IsHostSystemPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path == "/proc" || path == "/sys" || path == "/dev";
}

bool NamesAWindowsDevice(const std::wstring& path) {
  if (path.size() >= 4 && (path[0] == L'\\' || path[0] == L'/') &&
      (path[1] == L'\\' || path[1] == L'/') && path[2] == L'.' &&
      (path[3] == L'\\' || path[3] == L'/'))
    return true;
  // The last name, as Windows finds it: trailing colons go ("COM1:"), and a colon ends the
  // folder part ("C:NUL") unless an extension follows it ("NUL:.txt").
  size_t end = path.size();
  while (end > 0 && path[end - 1] == L':') --end;
  size_t start = end;
  while (start > 0) {
    const wchar_t c = path[start - 1];
    if (c == L'\\' || c == L'/' || (c == L':' && path[start] != L'.')) break;
    --start;
  }
  // The device is named by what stands before the first dot, without a colon or blanks there.
  size_t stop = start;
  while (stop < end && path[stop] != L'.') ++stop;
  if (stop > start && path[stop - 1] == L':') --stop;
  while (stop > start && path[stop - 1] == L' ') --stop;
  std::wstring name;
  for (size_t i = start; i < stop; ++i)
    name += (path[i] >= L'a' && path[i] <= L'z') ? static_cast<wchar_t>(path[i] - 32) : path[i];
  if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
      name == L"CONOUT$")
    return true;
  return name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
         name[3] >= L'1' && name[3] <= L'9';
}

namespace {

void RegisterTemporaryFile(const wchar_t* path) {
  const std::basic_string<NativeChar> native = NativeName(path);
  if (native.size() >= kSlotPathCapacity) return;
  const std::lock_guard<std::mutex> hold(TemporaryFilesLock);
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used) continue;
    memcpy(slot.path, native.c_str(), (native.size() + 1) * sizeof(NativeChar));
    slot.used = 1;
    return;
  }
}

// The random source of one creation's names, its own so that writers on several threads draw
// from no shared state: seeded from the system's random device and the clock (which tells two
// creations apart where the device is weak).
std::mt19937_64 NewNameSource() {
  std::random_device device;
  const uint64_t clock =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::seed_seq seed{device(), device(), static_cast<unsigned>(clock),
                     static_cast<unsigned>(clock >> 32)};
  return std::mt19937_64(seed);
}

// A name for a temporary file beside a file of the given directory: recognisable where the
// path (and longestName, when not 0) leaves room (".vostrel-" 8 hex digits ".tmp"), otherwise
// "~" and as many random digits as fit, at least four and at most eight. Never longer than a
// file name may be.
std::wstring TemporaryName(std::mt19937_64& random, size_t directoryLength, size_t longestName) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  constexpr size_t kPathRoom = 259;
  const uint64_t bits = random();
  std::wstring digits;
  for (int i = 0; i < 8; ++i) digits.push_back(kHex[(bits >> (4 * i)) & 15]);
  size_t room = directoryLength < kPathRoom ? kPathRoom - directoryLength : 0;
  if (longestName > 0 && longestName < room) room = longestName;
  if (room >= 21) return L".vostrel-" + digits + L".tmp";
  const size_t length = room < 5 ? 5 : room;
  return L"~" + digits.substr(0, length - 1);
}

// The directory part of a path, with its separator; empty for a bare name.
std::wstring DirectoryOf(const std::wstring& path) {
#ifdef _WIN32
  const size_t cut = path.find_last_of(L"\\/:");
#else
  const size_t cut = path.find_last_of(L'/');
#endif
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

}  // namespace

FILE* CreateTemporaryBeside(const wchar_t* path, std::wstring* created, size_t longestName) {
  if (path == nullptr) return nullptr;
  const std::wstring directory = DirectoryOf(path);
  std::mt19937_64 random = NewNameSource();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = directory + TemporaryName(random, directory.size(), longestName);
    bool exists = false;
    FILE* file = CreateExclusively(name.c_str(), &exists);
    if (file != nullptr) {
      RegisterTemporaryFile(name.c_str());
      *created = name;
      return file;
    }
    if (!exists) return nullptr;
  }
  return nullptr;
}

bool FileIsBusy(const wchar_t* path) {
  ExclusiveFile file;
  bool busy = false;
  if (!OpenForReading(path, ShareWithReaders, &file, &busy)) return busy;
  ExclusiveClose(&file);
  return false;
}

void ForgetTemporaryFile(const wchar_t* path) {
  const std::basic_string<NativeChar> native = NativeName(path);
  const std::lock_guard<std::mutex> hold(TemporaryFilesLock);
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used && native == slot.path) slot.used = 0;
  }
}

bool RemoveTemporaryFile(const wchar_t* path) {
  ForgetTemporaryFile(path);
  return RemoveFileWide(path);
}

void PopulateMemory(void* memory, size_t length) {
  if (length == 0 || BringPagesIn(memory, length)) return;
  constexpr size_t kPage = 4096;
  volatile char* bytes = static_cast<char*>(memory);
  for (size_t k = 0; k < length; k += kPage) bytes[k] = 0;
}

void PopulateAsFilled(void* memory, size_t length, size_t to, size_t step, size_t* brought) {
  if (to <= *brought) return;
  size_t until = (to + step - 1) / step * step;
  if (until > length) until = length;
  PopulateMemory(static_cast<char*>(memory) + *brought, until - *brought);
  *brought = until;
}
