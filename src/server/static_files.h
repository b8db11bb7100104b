// The page's own files, built into the program (cmake/EmbedWebFiles.cmake makes the table from
// src/server/web), and their answers: a request names one of these or gets 404, never a path.
#pragma once
#include <cstddef>

namespace httplib {
class Server;
}  // namespace httplib

struct EmbeddedFile {
  const char* path;  // "/index.html"
  const char* contentType;
  const unsigned char* bytes;
  size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const int kEmbeddedFileCount;

// The built-in file at path ("/" is "/index.html"), or null.
const EmbeddedFile* FindEmbeddedFile(const char* path);

// GET and HEAD of "/" and of every built-in file.
void RegisterStaticFiles(httplib::Server* server);
