// File-system calls on POSIX systems: a wide path becomes its bytes (UTF-8, or the bytes it was
// given on the command line).
#ifndef _WIN32
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "db/codepage.h"
#include "db/file_system.h"
#include "db/file_system_platform.h"

uint32_t GetPathAttributes(const wchar_t* path) {
  struct stat st;
  if (stat(PathToNative(path).c_str(), &st) != 0) return kNoFile;
  if (S_ISDIR(st.st_mode)) return kIsDirectory;
  return 0x80u;  // a file with no special attributes
}

bool ForEachDirectoryEntry(const std::wstring& directory,
                           const std::function<bool(const DirectoryEntry& entry)>& visit) {
  const std::string native = directory.empty() ? "/" : PathToNative(directory.c_str());
  DIR* listing = opendir(native.c_str());
  if (listing == nullptr) return false;
  DirectoryEntry entry;
  while (const dirent* found = readdir(listing)) {
    if (strcmp(found->d_name, ".") == 0 || strcmp(found->d_name, "..") == 0) continue;
    const std::string path = native + "/" + found->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;  // gone since it was listed
    entry.isLink = S_ISLNK(st.st_mode);
    // A link is a directory when what it leads to is one; a dangling link is neither.
    if (entry.isLink && stat(path.c_str(), &st) != 0) st.st_mode = 0;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.name = PathFromArgument(found->d_name);
    if (!visit(entry)) break;
  }
  closedir(listing);
  return true;
}

bool IsHostSystemFolder(const std::wstring& path) {
  if (!NamedLikeAHostSystemFolder(path)) return false;
  char* resolved = realpath(PathToNative(path.c_str()).c_str(), nullptr);
  if (resolved == nullptr) return false;
  const bool system = IsHostSystemPath(resolved);
  free(resolved);
  return system;
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

bool ExclusiveSeek(ExclusiveFile* file, uint64_t offset) {
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

size_t ExclusiveReadAt(ExclusiveFile* file, uint64_t offset, void* buffer, size_t count) {
  if (file->fd < 0) return 0;
  size_t total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < count) {
    const ssize_t got =
        pread(file->fd, out + total, count - total, static_cast<off_t>(offset + total));
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

namespace {

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

bool InspectOutputTarget(const wchar_t* path, OutputTarget* target, std::string* problem) {
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
    *problem = "is a directory";
  else if (S_ISLNK(st.st_mode))
    *problem = "is a symbolic link; name the file it points to";
  else
    *problem = "is not a regular file (a device, a pipe or a socket)";
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

// Views of files and the bus error. A page of a mapped file that another program cut away
// raises SIGBUS when it is read; the handler replaces the view's pages from there to its end
// with zero pages and notes it, so that the scan reads zeros (a length of 0 ends it as broken
// chain) and the next PrepareFileView ends the view. A bus error anywhere else goes on as it
// would have without the handler. mmap is not on POSIX's list of async-signal-safe calls, but
// it is a plain system call that takes no lock of the C library.
namespace {

constexpr int kViewSlots = 16;
struct ViewSlot {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};  // 0: no view
  std::atomic<uintptr_t> end{0};    // past the view's last page
  std::atomic<bool> lost{false};
};
ViewSlot ViewSlots[kViewSlots];
struct sigaction PreviousBusAction;
uintptr_t ViewPageSize = 4096;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (ViewSlot& slot : ViewSlots) {
    const uintptr_t begin = slot.begin.load();
    const uintptr_t end = slot.end.load();
    if (begin == 0 || address < begin || address >= end) continue;
    const uintptr_t page = address & ~(ViewPageSize - 1);
    void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      slot.lost.store(true);
      return;
    }
    break;
  }
  if ((PreviousBusAction.sa_flags & SA_SIGINFO) != 0 && PreviousBusAction.sa_sigaction != nullptr) {
    PreviousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if ((PreviousBusAction.sa_flags & SA_SIGINFO) == 0 && PreviousBusAction.sa_handler != SIG_DFL &&
      PreviousBusAction.sa_handler != SIG_IGN) {
    PreviousBusAction.sa_handler(signal);
    return;
  }
  // The default: the signal is blocked in here, so it ends the program on the way out.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
}

void InstallBusHandler() {
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) ViewPageSize = static_cast<uintptr_t>(page);
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &PreviousBusAction);
}

// The file's size now; `otherwise` when it cannot be told.
size_t SizeNow(int fd, size_t otherwise) {
  struct stat now;
  if (fstat(fd, &now) != 0 || now.st_size < 0) return otherwise;
  return static_cast<size_t>(now.st_size);
}

void StampOf(const struct stat& info, FileStamp* stamp) {
  stamp->size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  stamp->modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp->changed = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  stamp->volume = static_cast<uint64_t>(info.st_dev);
  stamp->number = static_cast<uint64_t>(info.st_ino);
}

}  // namespace

bool StampOpenFile(const ExclusiveFile& file, FileStamp* stamp) {
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0) return false;
  StampOf(info, stamp);
  return true;
}

bool StampFileAt(const wchar_t* path, FileStamp* stamp) {
  struct stat info;
  if (stat(PathToNative(path).c_str(), &info) != 0) return false;
  StampOf(info, stamp);
  return true;
}

bool MapWholeFile(const ExclusiveFile& file, FileView* view) {
  *view = FileView();
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > SIZE_MAX / 4)
    return false;
  const off_t position = lseek(file.fd, 0, SEEK_CUR);
  if (position < 0) return false;
  static std::once_flag installed;
  std::call_once(installed, InstallBusHandler);
  int slot = 0;
  for (bool expected = false; slot < kViewSlots; ++slot, expected = false)
    if (ViewSlots[slot].used.compare_exchange_strong(expected, true)) break;
  if (slot == kViewSlots) return false;
  const size_t length = static_cast<size_t>(info.st_size);
  void* bytes = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file.fd, 0);
  if (bytes == MAP_FAILED) {
    ViewSlots[slot].used.store(false);
    return false;
  }
#ifdef MADV_HUGEPAGE
  // Only a hint: what the view reads in from the disk comes into the page cache in large pieces
  // rather than pages, so every later search of the file (and any other reader) maps and copies
  // far fewer of them. A 2,000,000-record file read in this way was searched again in 4.8 ms
  // against 6.6 to 8.1 ms after a first reading without it. Pages cached already are as they are.
  madvise(bytes, length, MADV_HUGEPAGE);
#endif
  const uintptr_t begin = reinterpret_cast<uintptr_t>(bytes);
  ViewSlots[slot].lost.store(false);
  ViewSlots[slot].end.store(begin + ((length + ViewPageSize - 1) & ~(ViewPageSize - 1)));
  ViewSlots[slot].begin.store(begin);
  view->bytes = static_cast<const unsigned char*>(bytes);
  view->length = length;
  view->start = static_cast<uint64_t>(position) < length ? static_cast<size_t>(position) : length;
  view->fd = file.fd;
  view->slot = slot;
  StampOf(info, &view->stamp);
  return true;
}

size_t PrepareFileView(FileView* view, size_t from, size_t to) {
  if (view->bytes == nullptr || view->slot < 0) return from;
  if (ViewSlots[view->slot].lost.load()) {
    view->shrank = true;
    return from;
  }
  if (to > view->length) to = view->length;
  // A file that shrank ends where it ends now; one written to since it was mapped ends here (a
  // file copied over it: its pages would be read from here on in place of the old ones).
  struct stat info;
  if (fstat(view->fd, &info) == 0) {
    FileStamp now;
    StampOf(info, &now);
    if (now.size < to) {
      view->shrank = true;
      to = now.size > from ? static_cast<size_t>(now.size) : from;
    } else if (now.modified != view->stamp.modified || now.changed != view->stamp.changed) {
      view->changed = true;
      return from;
    }
  }
  if (to <= from) return from;
#ifdef MADV_POPULATE_READ
  const size_t first = from & ~(static_cast<size_t>(ViewPageSize) - 1);
  if (madvise(const_cast<unsigned char*>(view->bytes) + first, to - first, MADV_POPULATE_READ) !=
          0 &&
      errno == EFAULT) {
    // Cut between the look at its size and now.
    const size_t cut = SizeNow(view->fd, from);
    if (cut < to) {
      view->shrank = true;
      to = cut > from ? cut : from;
    }
  }
#endif
  if (ViewSlots[view->slot].lost.load()) {
    view->shrank = true;
    return from;
  }
  return to;
}

bool BringPagesIn(void* memory, size_t length) {
#ifdef MADV_POPULATE_WRITE
  // madvise wants the range from a page's start; the bytes before it on that page are the
  // caller's too, or another allocation's, and populating keeps what pages hold.
  // (A system of larger pages refuses a start that is not one of them: then pages are touched.)
  constexpr uintptr_t kPage = 4096;
  const uintptr_t at = reinterpret_cast<uintptr_t>(memory);
  const uintptr_t start = at & ~(kPage - 1);
  return madvise(reinterpret_cast<void*>(start), length + (at - start), MADV_POPULATE_WRITE) == 0;
#else
  (void)memory;
  (void)length;
  return false;
#endif
}

bool FileViewShrank(const FileView& view) {
  if (view.bytes == nullptr) return false;
  return view.shrank || ViewSlots[view.slot].lost.load() ||
         SizeNow(view.fd, view.length) < view.length;
}

void UnmapFileView(FileView* view) {
  if (view->bytes != nullptr) {
    ViewSlot& slot = ViewSlots[view->slot];
    slot.begin.store(0);
    slot.end.store(0);
    munmap(const_cast<unsigned char*>(view->bytes), view->length);
    slot.used.store(false);
  }
  *view = FileView();
}

#endif  // !_WIN32
