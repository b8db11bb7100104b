// File-system calls on wide paths. Windows takes the wide path as it is; POSIX systems take it
// as UTF-8 bytes.
#include "db/file_system.h"

#include <zlib.h>

#include "db/codepage.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

#ifdef _WIN32

uint32_t GetPathAttributes(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kNoFile;
  return static_cast<uint32_t>(attributes);
}

bool ExclusiveOpen(const wchar_t* path, ExclusiveFile* file) {
  // Share mode 0: while we hold the file, nobody else opens it, and we open nothing that
  // someone else holds.
  HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file->handle = h;
  return true;
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

bool ExclusiveOpen(const wchar_t* path, ExclusiveFile* file) {
  const int fd = OpenRegularForReading(path);
  if (fd < 0) return false;
  // The lock is per open file: a second open in this process conflicts like a second handle.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  file->fd = fd;
  return true;
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
  return path == nullptr ? std::string() : WideToUtf8(path);
}

bool RemoveFileWide(const wchar_t* path) {
  const std::string native = PathToNative(path);
  if (unlink(native.c_str()) == 0) return true;
  return errno == ENOENT;
}

bool ReplaceFileWide(const wchar_t* from, const wchar_t* to) {
  return rename(PathToNative(from).c_str(), PathToNative(to).c_str()) == 0;
}

#endif
