// Answers of the page's built-in files. They are looked up by exact name in the table the build
// made, so no part of a request reaches the file system.
#include "server/static_files.h"

#include <httplib.h>

#include <cstring>

const EmbeddedFile* FindEmbeddedFile(const char* path) {
  if (strcmp(path, "/") == 0) path = "/index.html";
  for (int i = 0; i < kEmbeddedFileCount; ++i)
    if (strcmp(kEmbeddedFiles[i].path, path) == 0) return &kEmbeddedFiles[i];
  return nullptr;
}

namespace {

void AnswerFile(const httplib::Request& request, httplib::Response& response) {
  const EmbeddedFile* file = FindEmbeddedFile(request.path.c_str());
  if (file == nullptr) {
    response.status = 404;  // the API's error handler writes the JSON message
    return;
  }
  // The files change only with the program: a browser asks again each time and gets them from
  // memory, so a new build is never mixed with an old page's modules.
  response.set_header("Cache-Control", "no-cache");
  response.set_content(reinterpret_cast<const char*>(file->bytes), file->size, file->contentType);
}

}  // namespace

void RegisterStaticFiles(httplib::Server* server) {
  // One short name with an extension, or "/": anything else is no file of the page's.
  const char* const pattern = R"(/|/[A-Za-z0-9_-]+\.[a-z]+)";
  server->Get(pattern, AnswerFile);
}
