// File-system calls on Windows: the wide path goes to the wide calls as it is.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <zlib.h>

#include <cstring>
#include <cwchar>

#include "db/codepage.h"
#include "db/file_system.h"
#include "db/file_system_platform.h"

uint32_t GetPathAttributes(const wchar_t* path) {
  // Windows answers for the device a device name stands for, as if a file were there.
  if (NamesAWindowsDevice(path)) return kNoFile;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kNoFile;
  return static_cast<uint32_t>(attributes);
}

bool ForEachDirectoryEntry(const std::wstring& directory,
                           const std::function<bool(const DirectoryEntry& entry)>& visit) {
  // The search pattern (the directory, "\*.*" and the terminator) stays within the 520
  // characters the walk has always allowed it.
  constexpr size_t kPatternCapacity = 520;
  const std::wstring pattern = directory + L"\\*.*";
  if (pattern.size() >= kPatternCapacity) return false;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  DirectoryEntry entry;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    entry.name = found.cFileName;
    entry.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!visit(entry)) break;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool IsHostSystemFolder(const std::wstring& path) {
  if (!NamedLikeAHostSystemFolder(path)) return false;
  // Only Wine has this call, and only there can a drive show the host's folders.
  using UnixFileName = char*(CDECL*)(LPCWSTR);
  static const auto unixFileName = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixFileName == nullptr) return false;
  char* name = unixFileName(path.c_str());
  if (name == nullptr) return false;
  const bool system = IsHostSystemPath(name);
  HeapFree(GetProcessHeap(), 0, name);
  return system;
}

bool OpenForReading(const wchar_t* path, FileSharing sharing, ExclusiveFile* file, bool* busy) {
  if (busy != nullptr) *busy = false;
  if (NamesAWindowsDevice(path)) return false;
  // Share mode 0: while we hold the file, nobody else opens it, and we open nothing that
  // someone else holds. Readers share with readers; zlib's own open shares with writers too.
  const DWORD share = sharing == ShareNothing       ? 0
                      : sharing == ShareWithReaders ? FILE_SHARE_READ
                                                    : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (busy != nullptr) *busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    return false;
  }
  file->handle = h;
  return true;
}

bool ExclusiveOpen(const wchar_t* path, ExclusiveFile* file) {
  return OpenForReading(path, ShareNothing, file);
}

bool ExclusiveSeek(ExclusiveFile* file, uint64_t offset) {
  if (file->handle == nullptr) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(static_cast<HANDLE>(file->handle), distance, nullptr, FILE_BEGIN) != 0;
}

namespace {

// Reads up to count bytes, from the file's position or (when offset is given) from *offset.
size_t ReadUpTo(ExclusiveFile* file, void* buffer, size_t count, const uint64_t* offset) {
  if (file->handle == nullptr) return 0;
  size_t total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < count) {
    const size_t left = count - total;
    const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    OVERLAPPED where = {};
    if (offset != nullptr) {
      const uint64_t at = *offset + total;
      where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
      where.OffsetHigh = static_cast<DWORD>(at >> 32);
    }
    DWORD got = 0;
    // At the end of the file a read at an offset fails with ERROR_HANDLE_EOF: what arrived
    // stands.
    if (!ReadFile(static_cast<HANDLE>(file->handle), out + total, want, &got,
                  offset != nullptr ? &where : nullptr))
      break;
    if (got == 0) break;
    total += got;
  }
  return total;
}

}  // namespace

size_t ExclusiveRead(ExclusiveFile* file, void* buffer, size_t count) {
  return ReadUpTo(file, buffer, count, nullptr);
}

size_t ExclusiveReadAt(ExclusiveFile* file, uint64_t offset, void* buffer, size_t count) {
  return ReadUpTo(file, buffer, count, &offset);
}

void ExclusiveClose(ExclusiveFile* file) {
  if (file->handle != nullptr) CloseHandle(static_cast<HANDLE>(file->handle));
  file->handle = nullptr;
}

bool ExclusiveIsOpen(const ExclusiveFile& file) { return file.handle != nullptr; }

FILE* OpenFileWide(const wchar_t* path, const wchar_t* mode) { return _wfopen(path, mode); }

void* GzOpenWide(const wchar_t* path, const char* mode) { return gzopen_w(path, mode); }

std::string PathToNative(const wchar_t* path) {
  return path == nullptr ? std::string() : WideToUtf8(path);
}

bool RemoveFileWide(const wchar_t* path) {
  if (DeleteFileW(path)) return true;
  return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

bool ReplaceFileWide(const wchar_t* from, const wchar_t* to) {
  return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

std::wstring NativeName(const wchar_t* path) { return path == nullptr ? L"" : path; }

FILE* CreateExclusively(const wchar_t* path, bool* exists) {
  // CREATE_NEW fails on any existing name, a link included; sharing deletion lets the console
  // handler remove the file while it is still open here.
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    DeleteFileW(path);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) {
    _close(fd);
    DeleteFileW(path);
  }
  return file;
}

namespace {

BOOL WINAPI RemoveTemporariesOnConsoleSignal(DWORD) {
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used) DeleteFileW(slot.path);
  }
  return FALSE;  // the default handler ends the program
}

}  // namespace

bool InspectOutputTarget(const wchar_t* path, OutputTarget* target, std::string* problem) {
  *target = OutputTarget();
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    *problem = "is a directory";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *problem = "is a link; name the file it points to";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    *problem = "is not a regular file";
    return false;
  }
  target->exists = true;
  return true;
}

bool SetFinishedFileMode(FILE*, const OutputTarget&) { return true; }

void* GzWriteOnFile(FILE* file) {
  const int fd = _dup(_fileno(file));
  if (fd < 0) return nullptr;
  gzFile gz = gzdopen(fd, "wb");
  if (gz == nullptr) _close(fd);
  return gz;
}

void RemoveTemporaryFilesOnSignals() {
  SetConsoleCtrlHandler(RemoveTemporariesOnConsoleSignal, TRUE);
}

// Windows keeps a file that is mapped from being cut, but the read-ahead's reads measure well
// there; the view is left to POSIX systems.
namespace {

int64_t TimeOf(const LARGE_INTEGER& t) { return static_cast<int64_t>(t.QuadPart); }

bool StampHandle(HANDLE h, FileStamp* stamp) {
  FILE_BASIC_INFO times = {};
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &times, sizeof times) ||
      !GetFileInformationByHandle(h, &info))
    return false;
  stamp->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp->modified = TimeOf(times.LastWriteTime);
  stamp->changed = TimeOf(times.ChangeTime);
  stamp->volume = info.dwVolumeSerialNumber;
  stamp->number = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool StampOpenFile(const ExclusiveFile& file, FileStamp* stamp) {
  return file.handle != nullptr && StampHandle(static_cast<HANDLE>(file.handle), stamp);
}

bool StampFileAt(const wchar_t* path, FileStamp* stamp) {
  // Only the attributes are read: no other holder of the file is refused, nor refuses this.
  HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool stamped = StampHandle(h, stamp);
  CloseHandle(h);
  return stamped;
}

bool BringPagesIn(void* memory, size_t length) {
  // Locking pages brings them in (under Wine, one mlock). Windows locks no more than the
  // process's smallest working set, and Wine no more than its locked-memory limit, so the
  // memory is locked a piece at a time, and let go at once: only the loading is wanted.
  constexpr size_t kPiece = static_cast<size_t>(1) << 20;
  char* bytes = static_cast<char*>(memory);
  for (size_t at = 0; at < length; at += kPiece) {
    const size_t piece = length - at < kPiece ? length - at : kPiece;
    if (!VirtualLock(bytes + at, piece)) return false;
    VirtualUnlock(bytes + at, piece);
  }
  return true;
}

bool MapWholeFile(const ExclusiveFile&, FileView*) { return false; }
size_t PrepareFileView(FileView*, size_t from, size_t) { return from; }
bool FileViewShrank(const FileView&) { return false; }
void UnmapFileView(FileView* view) { *view = FileView(); }

#endif  // _WIN32
