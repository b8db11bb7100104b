#include "test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "db/codepage.h"
#include "db/disk_layout.h"
#include "db/file_system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
fs::path NativePath(const std::wstring& path) { return fs::path(path); }
#else
fs::path NativePath(const std::wstring& path) { return fs::path(WideToUtf8(path)); }
#endif

}  // namespace

TempDir::TempDir() {
#ifdef _WIN32
  wchar_t base[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, base);
  if (n == 0 || n > MAX_PATH) return;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring candidate =
        std::wstring(base) + L"vostrel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount());
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path = candidate;
      return;
    }
  }
#else
  const char* env = getenv("TMPDIR");
  std::string pattern =
      std::string(env != nullptr && env[0] != '\0' ? env : "/tmp") + "/vostrel-test-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path = Utf8ToWide(pattern);
#endif
}

TempDir::~TempDir() {
  if (path.empty()) return;
  std::error_code ignored;
  fs::remove_all(NativePath(path), ignored);
}

std::wstring TempDir::File(const std::wstring& name) const {
  std::wstring joined = path + kPathSeparator + name;
#ifdef _WIN32
  for (wchar_t& c : joined) {
    if (c == L'/') c = L'\\';
  }
#endif
  return joined;
}

std::string Cp1251(const std::wstring& text) {
  std::string out(text.size() * 2 + 1, '\0');
  const size_t n = WideToSingleByte(text.c_str(), &out[0], out.size());
  out.resize(n);
  return out;
}

DatabaseWriterOptions FixtureOptions(DatabaseVariant variant, const std::wstring& title,
                                     bool compress) {
  DatabaseWriterOptions options;
  options.variant = variant;
  options.compress = compress;
  options.title = Cp1251(title);
  return options;
}

FieldDescriptor MakeField(const char* name, int type, int flags, int size, int searchIndex,
                          int displayIndex, int detailIndex, int maxLength, int editWidth,
                          int columnWidth) {
  FieldDescriptor f;
  memset(&f, 0, sizeof f);
  strncpy(f.name, name, kNameCapacity - 1);
  f.type = static_cast<int8_t>(type);
  f.flags = static_cast<int8_t>(flags);
  f.size = static_cast<int8_t>(size);
  f.searchIndex = static_cast<int8_t>(searchIndex);
  f.displayIndex = static_cast<int8_t>(displayIndex);
  f.detailIndex = static_cast<int8_t>(detailIndex);
  f.editWidth = static_cast<uint16_t>(editWidth);
  f.columnWidth = static_cast<uint16_t>(columnWidth);
  f.maxLength = static_cast<uint16_t>(maxLength);
  return f;
}

std::vector<DatabaseRecord> RandomSubscribers(std::mt19937& random, int count) {
  std::vector<std::string> names;
  for (const wchar_t* surname : {L"ИВАНОВ", L"ПЕТРОВА", L"СИДОРОВ", L"ВОЛКОВ", L"ОРЛОВА", L"КИМ"})
    for (const wchar_t* initials : {L" А.В.", L" Д.Е.", L" И.И."})
      names.push_back(Cp1251(std::wstring(surname) + initials));
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < count; ++i)
    records.push_back({std::to_string(1000000 + random() % 9000000), names[random() % names.size()],
                       std::string(1 + random() % 20, static_cast<char>('A' + random() % 26)),
                       std::to_string(random() % 200), std::to_string(random() % 300)});
  return records;
}

void DamageSecondHalf(std::string* bytes, int count, int kind, std::mt19937& random) {
  std::string& b = *bytes;
  // Where the length byte after record k stands.
  auto linkAfter = [&b](int k) {
    size_t at = kShortHeaderSize;
    for (int i = 0; i <= k; ++i) at += static_cast<unsigned char>(b[at]);
    return at;
  };
  const int later = count / 2 + static_cast<int>(random() % static_cast<unsigned>(count / 2 - 1));
  switch (kind) {
    case 1:
      b.resize(b.size() / 2 + random() % (b.size() / 2));
      break;
    case 2:
      b[linkAfter(later)] = 0;
      break;
    case 3:
      b[linkAfter(later)] = '\xFF';
      break;
    case 4:
      for (int k = 0; k < 4; ++k)
        b[k] = static_cast<char>((static_cast<uint32_t>(later) >> (8 * k)) & 0xFF);
      break;
    default:
      break;
  }
}

std::vector<DatabaseRecord> SampleRecords() {
  return {
      {"1234567", Cp1251(L"ПЕТРОВ А.В."), Cp1251(L"САДОВАЯ УЛ."), Cp1251(L"12А"), "5"},
      {"2000001", Cp1251(L"ИВАНОВА М.С."), Cp1251(L"ЛЕНИНСКИЙ ПР."), "7/2", "118"},
      {"7654321", Cp1251(L"СИДОРОВ П.П."), Cp1251(L"САДОВАЯ УЛ."), "3", ""},
  };
}

bool WriteFixture(const std::wstring& path, const DatabaseWriterOptions& options,
                  const std::vector<DatabaseRecord>& records) {
  std::string error;
  if (!WriteDatabaseFile(path.c_str(), options, records, &error)) {
    ADD_FAILURE() << "writing " << PathToNative(path.c_str()) << ": " << error;
    return false;
  }
  return true;
}

std::string ReadFileBytes(const std::wstring& path) {
  FILE* f = OpenFileWide(path.c_str(), L"rb");
  if (f == nullptr) return std::string();
  std::string bytes;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
  fclose(f);
  return bytes;
}

std::string ReadGzBytes(const std::wstring& path) {
  gzFile gz = static_cast<gzFile>(GzOpenWide(path.c_str(), "rb"));
  if (gz == nullptr) return std::string();
  std::string bytes;
  char chunk[65536];
  int got;
  while ((got = gzread(gz, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(got));
  gzclose(gz);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  FILE* f = OpenFileWide(path.c_str(), L"wb");
  if (f == nullptr) return false;
  const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool MakeDirectory(const std::wstring& path) {
  std::error_code ec;
  return fs::create_directory(NativePath(path), ec);
}

std::vector<std::wstring> ListDirectory(const std::wstring& path) {
  std::vector<std::wstring> names;
  std::error_code ec;
  for (fs::directory_iterator it(NativePath(path), ec), end; !ec && it != end; it.increment(ec)) {
#ifdef _WIN32
    names.push_back(it->path().filename().wstring());
#else
    names.push_back(Utf8ToWide(it->path().filename().string()));
#endif
  }
  std::sort(names.begin(), names.end());
  return names;
}

#ifdef _WIN32

namespace {

// Quotes one argument so that the C runtime's command-line parsing gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

// The build gives the CLI's host path; under Wine the host's root is drive Z:.
std::wstring CliPath() {
  std::wstring path = Utf8ToWide(VOSTREL_CLI_PATH);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

HANDLE InheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

CliResult RunCli(const std::vector<std::string>& args) {
  CliResult result;
  TempDir capture;
  if (capture.path.empty()) {
    result.err = "(no folder for the program's output)";
    return result;
  }
  const std::wstring outPath = capture.File(L"stdout"), errPath = capture.File(L"stderr");
  std::wstring command = QuoteArgument(CliPath());
  for (const std::string& a : args) command += L" " + QuoteArgument(Utf8ToWide(a));
  PROCESS_INFORMATION pi = {};
  // Under Wine one run came back without an exit code or any output: whether the start failed
  // is not known. A start that fails is tried again, and its reason is kept for the message.
  bool started = false;
  DWORD why = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    HANDLE out = InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE in = InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
              CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &si, &pi);
    if (!started) why = GetLastError();
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  }
  if (!started) {
    result.err = "(the program could not be started: error " + std::to_string(why) + ")";
    return result;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(pi.hProcess, &code)) result.exitCode = static_cast<int>(code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

#else

CliResult RunCli(const std::vector<std::string>& args) {
  CliResult result;
  TempDir capture;
  if (capture.path.empty()) return result;
  const std::wstring outPath = capture.File(L"stdout"), errPath = capture.File(L"stderr");
  const std::string outNative = PathToNative(outPath.c_str());
  const std::string errNative = PathToNative(errPath.c_str());
  std::vector<std::string> argv = {VOSTREL_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(&a[0]);
  raw.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    // In the child only async-signal-safe calls until exec.
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outNative.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errNative.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(raw[0], raw.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

#endif

bool ReferenceWildcard(const char* p, const char* t) {
  for (;;) {
    if (*p == 0) return *t == 0;
    if (p[0] == '*' && p[1] == 0) return true;
    if (*t == 0) return false;
    if (*p == '*') {
      if (ReferenceWildcard(p + 1, t)) return true;
      ++t;
      continue;
    }
    if (*p != '?' && *p != *t) return false;
    ++p;
    ++t;
  }
}

// The repository's file. Under Wine a Unix path is turned into a DOS one by Wine's own export.
std::wstring RepositoryLanguageFile() {
  std::string path = std::string(VOSTREL_SOURCE_DIR) + "/vostrel.lng";
#ifdef _WIN32
  using ToDos = wchar_t*(CDECL*)(const char*);
  auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (toDos) {
    if (wchar_t* dos = toDos(path.c_str())) {
      std::wstring result = dos;
      HeapFree(GetProcessHeap(), 0, dos);
      return result;
    }
  }
#endif
  return Utf8ToWide(path);
}
