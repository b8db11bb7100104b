// A private scratch directory for one fuzzing process, and a file writer on it.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "db/codepage.h"

inline const std::string& FuzzScratchDir() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vostrel-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) abort();
    return std::string(made);
  }();
  return dir;
}

inline std::wstring FuzzScratchPath(const char* name) {
  return Utf8ToWide(FuzzScratchDir() + "/" + name);
}

inline void WriteBytes(const std::wstring& path, const unsigned char* data, size_t size) {
  FILE* f = fopen(WideToUtf8(path).c_str(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}
