// The background saver: the world's bytes are taken under ConnectionLock, in memory,
// and written, flushed and renamed into place by a thread of its own, so no tick and no
// command waits for the disk. The functions below are called with ConnectionLock held;
// the writer thread never takes it.
#pragma once

#include <string_view>

#include "persist/save_format.h"

namespace persist {

// Starts the writer thread for the save file at `path`. Call once, before any
// SaveInBackground.
void StartSaver(std::string_view path = kSaveFilePath);

// Takes the world's bytes now and hands them to the writer thread. A write already in
// progress is followed by one more with the newest bytes, never by a pile: a snapshot
// that has not started yet is replaced. A write that fails prints "Error saving world:
// <errno>" and leaves the old file; play goes on, and SaveFailedLast tells the caller
// to try again. The first save that works after failed ones prints "World saved after
// <n> failed tries." ("1 failed try." for one). REQUIRES: ConnectionLock held.
void SaveInBackground();

// True when the newest save failed (its snapshot or its write) and none is waiting or
// being written: what the world held then is not on disk, though nothing may have
// changed since, so the caller should save again. Any thread may call.
bool SaveFailedLast();

// The final save: waits for the write in progress, drops any snapshot still waiting,
// and saves now as SaveWorld does, returning its result (counted, and reported after
// failed tries, as SaveInBackground's are). The caller keeps ConnectionLock so nothing
// changes afterwards. REQUIRES: ConnectionLock held.
bool SaveBeforeExit(std::string_view path = kSaveFilePath);

// True when the folder of `path` lets the server make its temporary save file; false
// with `error` set (errno) otherwise. Leaves no file behind.
bool CanSaveIn(std::string_view path, int& error);

}  // namespace persist
