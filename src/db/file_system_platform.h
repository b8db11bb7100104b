// What file_system.cpp shares with its platform halves (file_system_windows.cpp,
// file_system_posix.cpp). Not for other callers.
#pragma once
#include <csignal>
#include <cstdio>
#include <string>

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
extern TemporarySlot TemporaryFiles[kTemporarySlots];

// The path as the platform's calls take it.
std::basic_string<NativeChar> NativeName(const wchar_t* path);
// Tries to create the file exclusively: the stream, or nullptr with exists set when the name
// was taken.
FILE* CreateExclusively(const wchar_t* path, bool* exists);

// Asks the system to bring every page of the range in at once; false where it would not (the
// caller then touches each page).
bool BringPagesIn(void* memory, size_t length);

// The host's own folders are named proc, sys or dev: whether the path's last name is one of them
// (in any letter case), before the platform asks where the path really leads.
bool NamedLikeAHostSystemFolder(const std::wstring& path);
// Whether a host path (with or without a trailing slash) is /proc, /sys or /dev.
bool IsHostSystemPath(std::string path);
