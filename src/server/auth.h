// Who may ask: the password of a server that a network reaches, the sessions of those who gave
// it, and the slowing of those who guess it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

// A salted hash of the password in the C library's crypt format (yescrypt on Debian), the line
// a password file holds. Empty, with *error, when the library cannot make one.
std::string HashPassword(const std::string& password, std::string* error);

// True when password hashes to the stored hash; the comparison takes the same time wherever the
// two differ.
bool PasswordMatches(const std::string& password, const std::string& hash);

enum class SignInResult { kSignedIn, kWrongPassword, kSlowedDown };

class Gatekeeper {
 public:
  // The password file's hash; false with *error when it is not one this system can check.
  bool SetPasswordHash(const std::string& hash, std::string* error);
  bool PasswordRequired() const { return !hash_.empty(); }

  // A sign-in from a client address. Signed in: *token names the new session. Slowed down: the
  // address failed lately (or is trying now) and may try again in *retrySeconds; the password
  // was not looked at.
  SignInResult SignIn(const std::string& address, const std::string& password, std::string* token,
                      int* retrySeconds);
  // True for a session that signed in and has been used within the idle time.
  bool ValidSession(const std::string& token);
  void EndSession(const std::string& token);

  // Milliseconds of the clock the gate counts in; tests set it.
  int64_t (*clock)() = nullptr;
  // Password checks at once, over all addresses: a check is slow and memory-hard on purpose
  // (yescrypt), so a crowd of guessers must not take the server's memory and time.
  int checksAtOnce = 2;

 private:
  struct Guesses {
    int failures = 0;
    int64_t lastFailure = 0;
    int64_t slowedUntil = 0;
    bool checking = false;
  };
  int64_t Now() const;
  std::string hash_;
  std::mutex lock_;
  int checking_ = 0;
  std::unordered_map<std::string, int64_t> sessions_;  // SHA-256 of a token -> last use
  std::unordered_map<std::string, Guesses> guesses_;   // by client address (IPv6: its /64)
};

// The session token of a request's Cookie header ("" when it has none).
std::string SessionFromCookies(const std::string& cookieHeader);
// The Set-Cookie value that gives a browser its session (Secure over HTTPS), and the one that
// takes it back.
std::string SessionCookie(const std::string& token, bool secure);
std::string EndedSessionCookie(bool secure);
extern const char kSessionCookieName[];
