// FileStamp: which version of a file was read, so that a change to it can be told
// without reading it again. A plain value; any thread.
#pragma once

namespace tls {

// The identity of one file (device, inode, size, modification time), all zero for a
// file that is not there. Two stamps that differ mean the file changed.
struct FileStamp {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long mtimeSeconds = 0;
  long long mtimeNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

}  // namespace tls
