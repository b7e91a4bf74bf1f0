// The bans file beside the save file: read once at start into the server's bans
// (connection/bans.h), and written anew through the background saver whenever the
// console or the tick changes them. Both require ConnectionLock.
#pragma once

#include <string_view>

#include "connection/bans.h"
#include "persist/saver.h"

namespace persist {

// A bans file larger than this is not read (a million bans are smaller).
inline constexpr std::size_t kMaxBansFileBytes = 64 * 1024 * 1024;

// Reads `path` into `bans`; a missing file is no ban at all. Lines that
// do not parse are logged and kept in place for the next write, as are comments. A
// file that cannot be read (not a regular file, too large, not this user's) is logged
// ("Error reading bans: <errno>"), none of it is used, and it is moved aside to the
// first free "<path>.damaged-N" ("Kept the unreadable bans file as <name>"), so that no
// rewrite replaces it; a link is moved itself, its target never opened for writing.
// REQUIRES: ConnectionLock held; called once, at start.
void LoadBans(connection::BanList& bans, std::string_view path = kBansFilePath);

// Writes `bans` to the bans file through `saver`; `done` is told whether it reached the
// disk ("Error saving bans: <errno>" is logged when not). REQUIRES: ConnectionLock held.
void SaveBans(Saver& saver, const connection::BanList& bans, SaveDone done = nullptr);

}  // namespace persist
