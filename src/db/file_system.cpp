// File-system calls on wide paths. Windows takes the wide path as it is; POSIX systems take it
// as UTF-8 bytes.
#include "db/file_system.h"

#include <zlib.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>

#include "db/codepage.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cwchar>
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace {

// Temporary files a signal must remove. A handler may run between any two statements, so a
// slot is marked used only once its path is whole, and unmarked before it is reused.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
constexpr int kTemporarySlots = 4;
constexpr size_t kSlotPathCapacity = 4096;
struct TemporarySlot {
  volatile sig_atomic_t used;
  NativeChar path[kSlotPathCapacity];
};
TemporarySlot TemporaryFiles[kTemporarySlots];

std::basic_string<NativeChar> NativeName(const wchar_t* path);

void RegisterTemporaryFile(const wchar_t* path) {
  const std::basic_string<NativeChar> native = NativeName(path);
  if (native.size() >= kSlotPathCapacity) return;
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used) continue;
    memcpy(slot.path, native.c_str(), (native.size() + 1) * sizeof(NativeChar));
    slot.used = 1;
    return;
  }
}

// A name for a temporary file beside a file of the given directory: recognisable where the
// path (and longestName, when not 0) leaves room (".vostrel-" 8 hex digits ".tmp"), otherwise
// "~" and as many random digits as fit, at least four and at most eight. Never longer than a
// file name may be.
std::wstring TemporaryName(size_t directoryLength, size_t longestName) {
  static std::mt19937_64 random = [] {
    std::random_device device;
    const uint64_t clock =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), static_cast<unsigned>(clock),
                       static_cast<unsigned>(clock >> 32)};
    return std::mt19937_64(seed);
  }();
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

// Tries to create the file exclusively: the stream, or nullptr with exists set when the name
// was taken.
FILE* CreateExclusively(const wchar_t* path, bool* exists);

}  // namespace

FILE* CreateTemporaryBeside(const wchar_t* path, std::wstring* created, size_t longestName) {
  if (path == nullptr) return nullptr;
  const std::wstring directory = DirectoryOf(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = directory + TemporaryName(directory.size(), longestName);
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
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used && native == slot.path) slot.used = 0;
  }
}

bool RemoveTemporaryFile(const wchar_t* path) {
  ForgetTemporaryFile(path);
  return RemoveFileWide(path);
}

#ifdef _WIN32

uint32_t GetPathAttributes(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kNoFile;
  return static_cast<uint32_t>(attributes);
}

bool OpenForReading(const wchar_t* path, FileSharing sharing, ExclusiveFile* file, bool* busy) {
  if (busy != nullptr) *busy = false;
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

bool ExclusiveSeek(ExclusiveFile* file, uint32_t offset) {
  if (file->handle == nullptr) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return SetFilePointerEx(static_cast<HANDLE>(file->handle), distance, nullptr, FILE_BEGIN) != 0;
}

size_t ExclusiveRead(ExclusiveFile* file, void* buffer, size_t count) {
  if (file->handle == nullptr) return 0;
  size_t total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < count) {
    const size_t left = count - total;
    const DWORD want = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(file->handle), out + total, want, &got, nullptr)) break;
    if (got == 0) break;
    total += got;
  }
  return total;
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

namespace {

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

BOOL WINAPI RemoveTemporariesOnConsoleSignal(DWORD) {
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used) DeleteFileW(slot.path);
  }
  return FALSE;  // the default handler ends the program
}

}  // namespace

bool InspectOutputTarget(const wchar_t* path, OutputTarget* target, std::string* why) {
  *target = OutputTarget();
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = "is a directory";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *why = "is a link; name the file it points to";
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    *why = "is not a regular file";
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

#else  // POSIX

uint32_t GetPathAttributes(const wchar_t* path) {
  struct stat st;
  if (stat(PathToNative(path).c_str(), &st) != 0) return kNoFile;
  if (S_ISDIR(st.st_mode)) return kIsDirectory;
  return 0x80u;  // a file with no special attributes
}

namespace {

// Opens a regular file for reading. Without O_NONBLOCK a FIFO would block the open until some
// writer came along; directories, FIFOs, devices and sockets are not databases.
int OpenRegularForReading(const wchar_t* path) {
  const int fd = open(PathToNative(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool OpenForReading(const wchar_t* path, FileSharing sharing, ExclusiveFile* file, bool* busy) {
  if (busy != nullptr) *busy = false;
  const int fd = OpenRegularForReading(path);
  if (fd < 0) return false;
  // The lock is per open file: a second open in this process conflicts like a second handle.
  if (sharing != ShareWithAll &&
      flock(fd, (sharing == ShareNothing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (busy != nullptr) *busy = errno == EWOULDBLOCK;
    close(fd);
    return false;
  }
  file->fd = fd;
  return true;
}

bool ExclusiveOpen(const wchar_t* path, ExclusiveFile* file) {
  return OpenForReading(path, ShareNothing, file);
}

bool ExclusiveSeek(ExclusiveFile* file, uint32_t offset) {
  if (file->fd < 0) return false;
  return lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

size_t ExclusiveRead(ExclusiveFile* file, void* buffer, size_t count) {
  if (file->fd < 0) return 0;
  size_t total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < count) {
    const ssize_t got = read(file->fd, out + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  return total;
}

void ExclusiveClose(ExclusiveFile* file) {
  if (file->fd >= 0) close(file->fd);  // closing drops the lock
  file->fd = -1;
}

bool ExclusiveIsOpen(const ExclusiveFile& file) { return file.fd >= 0; }

FILE* OpenFileWide(const wchar_t* path, const wchar_t* mode) {
  return fopen(PathToNative(path).c_str(), PathToNative(mode).c_str());
}

void* GzOpenWide(const wchar_t* path, const char* mode) {
  if (strchr(mode, 'r') == nullptr) return gzopen(PathToNative(path).c_str(), mode);
  const int fd = OpenRegularForReading(path);
  if (fd < 0) return nullptr;
  gzFile gz = gzdopen(fd, mode);  // on success the stream owns the descriptor
  if (gz == nullptr) close(fd);
  return gz;
}

std::string PathToNative(const wchar_t* path) {
  std::string native;
  if (path == nullptr) return native;
  // UTF-8, except that the lone surrogates U+DC80..U+DCFF stand for the bytes of a name that
  // is not UTF-8 (see PathFromArgument) and become those bytes again.
  const wchar_t* run = path;
  for (const wchar_t* p = path;; ++p) {
    const bool raw = *p >= 0xDC80 && *p <= 0xDCFF;
    if (*p != L'\0' && !raw) continue;
    native += WideToUtf8(std::wstring_view(run, static_cast<size_t>(p - run)));
    if (*p == L'\0') break;
    native.push_back(static_cast<char>(*p - 0xDC00));
    run = p + 1;
  }
  return native;
}

bool RemoveFileWide(const wchar_t* path) {
  const std::string native = PathToNative(path);
  if (unlink(native.c_str()) == 0) return true;
  return errno == ENOENT;
}

bool ReplaceFileWide(const wchar_t* from, const wchar_t* to) {
  return rename(PathToNative(from).c_str(), PathToNative(to).c_str()) == 0;
}

namespace {

std::string NativeName(const wchar_t* path) { return PathToNative(path); }

FILE* CreateExclusively(const wchar_t* path, bool* exists) {
  // O_EXCL fails on any existing name, a dangling link included; O_NOFOLLOW says so twice.
  const int fd =
      open(PathToNative(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *exists = errno == EEXIST;
    return nullptr;
  }
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    close(fd);
    unlink(PathToNative(path).c_str());
  }
  return file;
}

void RemoveTemporariesAndResignal(int signal) {
  for (TemporarySlot& slot : TemporaryFiles) {
    if (slot.used) unlink(slot.path);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
}

}  // namespace

bool InspectOutputTarget(const wchar_t* path, OutputTarget* target, std::string* why) {
  *target = OutputTarget();
  // What a file created now would get: read and write for whom the umask allows.
  const mode_t mask = umask(0);
  umask(mask);
  target->mode = 0666u & ~static_cast<unsigned>(mask);
  struct stat st;
  // A name that cannot be looked at is left to the creation to fail on, with its own words.
  if (lstat(PathToNative(path).c_str(), &st) != 0) return true;
  if (S_ISREG(st.st_mode)) {
    target->exists = true;
    target->mode = static_cast<unsigned>(st.st_mode) & 07777u;
    return true;
  }
  if (S_ISDIR(st.st_mode))
    *why = "is a directory";
  else if (S_ISLNK(st.st_mode))
    *why = "is a symbolic link; name the file it points to";
  else
    *why = "is not a regular file (a device, a pipe or a socket)";
  return false;
}

bool SetFinishedFileMode(FILE* file, const OutputTarget& target) {
  return fchmod(fileno(file), static_cast<mode_t>(target.mode)) == 0;
}

void* GzWriteOnFile(FILE* file) {
  const int fd = dup(fileno(file));
  if (fd < 0) return nullptr;
  gzFile gz = gzdopen(fd, "wb");
  if (gz == nullptr) close(fd);
  return gz;
}

void RemoveTemporaryFilesOnSignals() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction current {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTemporariesAndResignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

#endif
