// Passwords as the save file keeps them: Argon2id strings from libsodium
// ("$argon2id$v=19$m=...,t=...,p=1$salt$hash"). A file from before holds plain
// passwords; they are checked in constant time until they are hashed. Pure functions
// that any thread may call, but hashing and checking cost about 20 ms and 19 MiB each:
// the server runs them on its worker (server/worker.h), never on the game's thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

// The cost of one hash: 2 passes over 19 MiB, one lane.
inline constexpr unsigned long long kPasswordPasses = 2;
inline constexpr std::size_t kPasswordMemoryBytes = 19 * 1024 * 1024;

// Makes every later hash the cheapest libsodium allows (1 pass over 8 KiB), for tests
// and benchmarks that create thousands of characters. Such hashes are hashed again at
// the full cost after a good login to a server that does not use this. Call before
// any hash is made or checked, while one thread runs.
void UseCheapPasswordHashes();
bool CheapPasswordHashes();

// True when a stored password is a hash rather than a plain password from an older
// file: it begins "$argon2id$" and libsodium can read it as an Argon2id string. Any
// other password, "$argon2id$" and what follows it too, is plain.
bool IsPasswordHash(std::string_view stored);

// The Argon2id string of `plain`, with a fresh salt; nullopt when libsodium cannot start
// or the memory for the hash cannot be had.
std::optional<std::string> HashPassword(std::string_view plain);

// True when `typed` is the password `stored` holds, hash or plain. A plain one is
// compared in constant time whatever the lengths; a damaged hash never matches.
bool PasswordMatches(std::string_view stored, std::string_view typed);

// True when `stored` is plain, or a hash made with other costs than kPasswordPasses and
// kPasswordMemoryBytes (or the cheap ones): after a good login it is hashed again.
bool PasswordNeedsRehash(std::string_view stored);

// A hash of no player's password, made once: an unknown name is checked against it, so
// that a failed login takes as long whether or not the name exists.
const std::string& DummyPasswordHash();

}  // namespace base
