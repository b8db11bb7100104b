#include "server/auth.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

const char kSessionCookieName[] = "vostrel_session";

namespace {

// A session unused this long is forgotten: a workday and then some.
constexpr int64_t kSessionIdleMs = int64_t{12} * 3600 * 1000;
// Sessions kept at most; beyond them the one unused longest goes.
constexpr size_t kMaxSessions = 10000;
// The first wrong password waits half a second, each further one twice as long, up to a minute;
// an address that has not failed for a quarter of an hour starts again from nothing.
constexpr int64_t kFirstWaitMs = 500;
constexpr int64_t kLongestWaitMs = 60 * 1000;
constexpr int64_t kForgetFailuresMs = 15 * 60 * 1000;
constexpr size_t kMaxAddresses = 100000;
// Longer passwords are refused unread: checking costs the hash's time for any length.
constexpr size_t kMaxPasswordBytes = 4096;

int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Sha256(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), length);
}

// 32 bytes from the kernel's generator, as 64 hex digits; empty if it fails.
std::string RandomToken() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) return "";
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

// Guesses are counted per address, and per /64 for IPv6, which one machine is usually given
// whole: otherwise each of its addresses would guess afresh.
std::string GuessingAddress(const std::string& address) {
  unsigned char v6[16];
  if (inet_pton(AF_INET6, address.c_str(), v6) != 1) return address;
  std::fill(v6 + 8, v6 + 16, 0);
  char text[INET6_ADDRSTRLEN];
  return inet_ntop(AF_INET6, v6, text, sizeof text) != nullptr ? std::string(text) : address;
}

std::string CryptOf(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_rn(password.c_str(), setting.c_str(), data.get(), sizeof *data);
  // A setting the library cannot use gives null or a string starting with '*'.
  return out != nullptr && out[0] != '*' ? std::string(out) : std::string();
}

}  // namespace

std::string HashPassword(const std::string& password, std::string* error) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  // No prefix: the library's strongest default, salted from the kernel's generator.
  if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, salt, sizeof salt) == nullptr) {
    *error = std::string("cannot make a salt: ") + strerror(errno);
    return "";
  }
  const std::string hash = CryptOf(password, salt);
  if (hash.empty()) *error = "the system's crypt cannot hash a password";
  return hash;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  if (hash.empty() || password.size() > kMaxPasswordBytes) return false;
  const std::string made = CryptOf(password, hash);
  // The hash's length is no secret (the file's format gives it); its bytes are compared in
  // constant time.
  return made.size() == hash.size() && CRYPTO_memcmp(made.data(), hash.data(), hash.size()) == 0;
}

int64_t Gatekeeper::Now() const { return clock != nullptr ? clock() : SteadyNow(); }

bool Gatekeeper::SetPasswordHash(const std::string& hash, std::string* error) {
  // A hash is one line of the crypt format, which its own method must be able to check.
  if (hash.empty() || hash[0] != '$' || hash.find_first_of(" \t\r\n:") != std::string::npos ||
      CryptOf("", hash).size() != hash.size()) {
    *error = "not a password hash that vostrel-server --hash-password makes";
    return false;
  }
  hash_ = hash;
  return true;
}

SignInResult Gatekeeper::SignIn(const std::string& address, const std::string& password,
                                std::string* token, int* retrySeconds) {
  const std::string who = GuessingAddress(address);
  {
    std::lock_guard<std::mutex> hold(lock_);
    const int64_t now = Now();
    if (guesses_.size() >= kMaxAddresses) {
      for (auto it = guesses_.begin(); it != guesses_.end();)
        it = !it->second.checking && now - it->second.lastFailure > kForgetFailuresMs
                 ? guesses_.erase(it)
                 : std::next(it);
    }
    Guesses& mine = guesses_[who];
    if (mine.failures > 0 && now - mine.lastFailure > kForgetFailuresMs) mine.failures = 0;
    // One check at a time per address: many at once would each cost a hash and guess unslowed.
    if (mine.checking || now < mine.slowedUntil || checking_ >= checksAtOnce) {
      *retrySeconds = static_cast<int>(std::max<int64_t>(1, (mine.slowedUntil - now + 999) / 1000));
      return SignInResult::kSlowedDown;
    }
    mine.checking = true;
    ++checking_;
  }
  // The hash is slow on purpose: outside the lock, so others go on.
  const bool right = PasswordMatches(password, hash_);
  const std::string session = right ? RandomToken() : std::string();
  std::lock_guard<std::mutex> hold(lock_);
  const int64_t now = Now();
  Guesses& mine = guesses_[who];
  mine.checking = false;
  --checking_;
  if (!right || session.empty()) {
    mine.failures++;
    mine.lastFailure = now;
    const int doublings = std::min(mine.failures - 1, 20);
    mine.slowedUntil = now + std::min(kLongestWaitMs, kFirstWaitMs << doublings);
    *retrySeconds = static_cast<int>((mine.slowedUntil - now + 999) / 1000);
    return SignInResult::kWrongPassword;
  }
  guesses_.erase(who);
  if (sessions_.size() >= kMaxSessions) {
    auto oldest =
        std::min_element(sessions_.begin(), sessions_.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    sessions_.erase(oldest);
  }
  sessions_[Sha256(session)] = now;
  *token = session;
  return SignInResult::kSignedIn;
}

bool Gatekeeper::ValidSession(const std::string& token) {
  if (token.empty()) return false;
  // Kept by the token's digest: looking one up tells a timing observer nothing of a real token.
  const std::string key = Sha256(token);
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = sessions_.find(key);
  if (found == sessions_.end()) return false;
  const int64_t now = Now();
  if (now - found->second > kSessionIdleMs) {
    sessions_.erase(found);
    return false;
  }
  found->second = now;
  return true;
}

void Gatekeeper::EndSession(const std::string& token) {
  if (token.empty()) return;
  const std::string key = Sha256(token);
  std::lock_guard<std::mutex> hold(lock_);
  sessions_.erase(key);
}

std::string SessionFromCookies(const std::string& cookieHeader) {
  const std::string name = std::string(kSessionCookieName) + "=";
  size_t at = 0;
  while (at < cookieHeader.size()) {
    while (at < cookieHeader.size() && (cookieHeader[at] == ' ' || cookieHeader[at] == ';')) at++;
    const size_t end = std::min(cookieHeader.find(';', at), cookieHeader.size());
    if (cookieHeader.compare(at, name.size(), name) == 0)
      return cookieHeader.substr(at + name.size(), end - at - name.size());
    at = end;
  }
  return "";
}

std::string SessionCookie(const std::string& token, bool secure) {
  return std::string(kSessionCookieName) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
         (secure ? "; Secure" : "");
}

std::string EndedSessionCookie(bool secure) {
  return std::string(kSessionCookieName) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
         (secure ? "; Secure" : "");
}
