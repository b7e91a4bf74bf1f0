// One server per folder: an exclusive lock on "<save file>.lock" beside the save file,
// taken by the server before it listens and held until the process ends, however it
// ends (the kernel lets go of it). Called once, on the main thread, before any other.
#pragma once

#include <string_view>

#include "base/status.h"
#include "persist/save_format.h"

namespace persist {

// Takes the lock of the folder of `savePath`, making the lock file (mode 0600) when
// there is none. On success `held` is the descriptor that holds the lock, for the life
// of the process (an upgrade hands it to the next process, which takes it up with
// AdoptSaveFolderLock: the lock is never let go). On failure
// nothing is held, and the status says why as the log prints it: "Another server is
// using this folder." when another process holds the lock; "Error saving world: <errno>"
// when the file cannot be opened (a folder the server cannot write in); "Error locking
// <file>: <errno>" when the lock cannot be had otherwise. Touches nothing else in the
// folder, and never the lock file's contents.
base::Status LockSaveFolder(int& held, std::string_view savePath = kSaveFilePath);

// Takes up the lock held by `fd`, inherited from the old process, after checking that it
// is the lock file's and holds the lock (`held` is then `fd`); when it is not, `fd` is
// closed and the lock taken afresh, as LockSaveFolder does.
base::Status AdoptSaveFolderLock(int fd, int& held, std::string_view savePath = kSaveFilePath);

}  // namespace persist
