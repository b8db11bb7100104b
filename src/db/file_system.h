// The few file-system calls the portable engine needs, on wide paths, for Windows and POSIX.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// Mirrors GetFileAttributesW: kNoFile when the path does not exist, kIsDirectory set for a
// directory.
constexpr uint32_t kNoFile = 0xFFFFFFFFu;
constexpr uint32_t kIsDirectory = 0x10u;
uint32_t GetPathAttributes(const wchar_t* path);

// A plain file opened for reading. ExclusiveOpen opens it without sharing: while one holder has
// it open, a second ExclusiveOpen of the same file fails (Windows: share mode 0; POSIX: an
// exclusive flock). OpenForReading can also share it (see FileSharing).
struct ExclusiveFile {
#ifdef _WIN32
  void* handle = nullptr;  // HANDLE; nullptr when closed
#else
  int fd = -1;
#endif
};
bool ExclusiveOpen(const wchar_t* path, ExclusiveFile* file);
enum FileSharing {
  ShareNothing,      // as ExclusiveOpen
  ShareWithReaders,  // fails only while an exclusive holder has the file (POSIX: a shared flock)
  ShareWithAll,      // never refused for another holder (as zlib's own open)
};
// Opens a regular file for reading; busy (when given) tells whether it failed only because
// another holder has the file.
bool OpenForReading(const wchar_t* path, FileSharing sharing, ExclusiveFile* file,
                    bool* busy = nullptr);
// True when a plain file cannot be opened for reading only because an exclusive holder has it.
bool FileIsBusy(const wchar_t* path);
bool ExclusiveSeek(ExclusiveFile* file, uint64_t offset);  // from the beginning
// Reads up to count bytes; returns the bytes read (0 at end of file or on error).
size_t ExclusiveRead(ExclusiveFile* file, void* buffer, size_t count);
// Reads up to count bytes from offset (from the beginning), so that several threads can read one
// file side by side; on POSIX the position ExclusiveRead reads from stays, on Windows it moves.
// Returns the bytes read, as ExclusiveRead does.
size_t ExclusiveReadAt(ExclusiveFile* file, uint64_t offset, void* buffer, size_t count);
void ExclusiveClose(ExclusiveFile* file);
// What tells a file from what stood at its path before, or from itself before an edit: its size,
// its modification time, its change time (which every write and every change of its times
// moves, so an edit in place that puts the modification time back, as `touch -r` does, still
// shows) and the file's number on its volume.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified = 0;  // in the platform's units (ns on POSIX, 100 ns on Windows)
  int64_t changed = 0;
  uint64_t volume = 0;
  uint64_t number = 0;
};
// False when the file cannot be looked at (then the stamp is left as it was).
bool StampOpenFile(const ExclusiveFile& file, FileStamp* stamp);
bool StampFileAt(const wchar_t* path, FileStamp* stamp);
inline bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.size == b.size && a.modified == b.modified && a.changed == b.changed &&
         a.volume == b.volume && a.number == b.number;
}

// A read-only view of a whole open file, for reading it without a copy (POSIX systems; on
// Windows MapWholeFile declines and the caller reads). If another program shrinks the file while
// the view is read, the pages that went away read as zeros from there on, instead of the bus
// error that would end this program, and the view's bytes end where the file ends now from the
// next PrepareFileView on.
struct FileView {
  const unsigned char* bytes = nullptr;
  size_t length = 0;  // the file's size when it was mapped
  size_t start = 0;   // where the file's reading position stood then
  int fd = -1;
  int slot = -1;         // among the views a bus error is looked up in
  bool shrank = false;   // PrepareFileView found the file shorter, or pages gone
  bool changed = false;  // PrepareFileView found the file written to since it was mapped
  FileStamp stamp;       // the file when it was mapped
};
// False, with nothing mapped, for an empty or irregular file, past a limit of views open at once,
// or when mapping fails.
bool MapWholeFile(const ExclusiveFile& file, FileView* view);
// Makes bytes from to to of the view ready to read (loads and maps them now, rather than page by
// page while they are scanned) and says how far from `from` on they may be read: to, or less (at
// least from) where the file ends now, or at `from` once pages went away or the file was written
// to (another program copied a file over it: its bytes would be spliced with what was read).
size_t PrepareFileView(FileView* view, size_t from, size_t to);
// The file is shorter now than when it was mapped, or pages of the view went away.
bool FileViewShrank(const FileView& view);
void UnmapFileView(FileView* view);
bool ExclusiveIsOpen(const ExclusiveFile& file);

// Brings every page of fresh memory in now, for memory about to be filled in full: what it holds
// meanwhile does not matter. A page's first touch costs a fault each, which in a virtual machine
// or under Wine costs more than writing the page; asking the system for the whole range at once
// costs one call. Where the system refuses, each page is touched, as the first write would.
void PopulateMemory(void* memory, size_t length);
// For memory filled from its start on, a little at a time: brings its pages in as far as `to`,
// rounded up to a step of `step` bytes and never past length, from *brought on (where the last
// call stopped: 0 at first, length for memory brought in already), and moves *brought. A piece
// at a time, so that memory left unfilled is never brought in.
void PopulateAsFilled(void* memory, size_t length, size_t to, size_t step, size_t* brought);

// One entry of a directory as ForEachDirectoryEntry lists it.
struct DirectoryEntry {
  std::wstring name;
  bool isDirectory = false;  // a directory, or a link to one
  bool isLink = false;       // a symbolic link, junction or other reparse point
};
// What joins a directory and a name in a path.
#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif
// Lists a directory's entries but "." and "..", in the order the file system gives them, calling
// visit for each until it returns false. False when the directory cannot be listed. An empty
// directory stands for the root (of the current drive on Windows).
bool ForEachDirectoryEntry(const std::wstring& directory,
                           const std::function<bool(const DirectoryEntry& entry)>& visit);

// True for the host system's folders that are views of the kernel rather than files: /proc, /sys
// and /dev (a walk through them never ends, and some of their reads never return). On POSIX
// systems the folder itself; under Wine the folder a drive shows them as ("Z:\proc", Z: being
// the host's root). Wine leaves them out of its listings already; this holds without that.
bool IsHostSystemFolder(const std::wstring& path);

// True when Windows takes the path for a device rather than a file: its last name is CON, PRN,
// AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$ or CONOUT$ in any letter case, whatever folder
// stands before it and with or without an extension, blanks before the extension or a colon
// ("C:\dir\nul.db", "COM1 .zdb", "lpt3:"), or the path is in the device namespace (\\.\...).
// Opening such a path opens the device (a serial port's read can wait for ever), so the Windows
// calls below take it for a file that is not there. Elsewhere these are ordinary names.
bool NamesAWindowsDevice(const std::wstring& path);

// C streams on wide paths (_wfopen on Windows, UTF-8 paths elsewhere).
FILE* OpenFileWide(const wchar_t* path, const wchar_t* mode);

// zlib's gz interface on a wide path (gzopen_w on Windows). Returns a gzFile or nullptr.
void* GzOpenWide(const wchar_t* path, const char* mode);

// The path as the platform's file API takes it (UTF-8 on POSIX); for messages and tests.
std::string PathToNative(const wchar_t* path);

// Removes a file; true when it is gone afterwards (also when it never existed).
bool RemoveFileWide(const wchar_t* path);
// Renames from over to, replacing an existing file at to. For writing files atomically.
bool ReplaceFileWide(const wchar_t* from, const wchar_t* to);

// What stands at a path that a file is about to be written to. A file is only ever put in the
// place of nothing or of a regular file: a directory, a link, a device, a pipe or a socket is
// refused (problem says what it is). For a regular file its permission bits are kept in mode, so
// that the file written in its place keeps them.
struct OutputTarget {
  bool exists = false;
  unsigned mode = 0;  // POSIX permission bits for the new file
};
bool InspectOutputTarget(const wchar_t* path, OutputTarget* target, std::string* problem);

// Creates a new, empty file in the directory of path, under a name that nothing had, and opens
// it for writing: exclusively (never an existing file, never through a link). The name starts
// with ".vostrel-" and ends in ".tmp" where the directory leaves room for it, and is never longer
// than it must be; it is registered for removal on an interrupting signal (see
// RemoveTemporaryFilesOnSignals) until ForgetTemporaryFile or RemoveTemporaryFile.
// A longestName other than 0 caps the length of the name.
FILE* CreateTemporaryBeside(const wchar_t* path, std::wstring* created, size_t longestName = 0);
// Gives an open temporary file the permission bits the finished file is to have.
bool SetFinishedFileMode(FILE* file, const OutputTarget& target);
// zlib's gz writing interface on a stream from CreateTemporaryBeside; the stream stays the
// caller's to close. Returns a gzFile or nullptr.
void* GzWriteOnFile(FILE* file);
// Removes a temporary file (see RemoveFileWide) and forgets it.
bool RemoveTemporaryFile(const wchar_t* path);
// The temporary file now has its final name (or is gone): a signal no longer removes it.
void ForgetTemporaryFile(const wchar_t* path);
// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows: Ctrl+C, Ctrl+Break, closing the
// console) first remove every temporary file still registered, then end the program as usual.
void RemoveTemporaryFilesOnSignals();
