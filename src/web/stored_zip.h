// A zip archive whose files are stored, not compressed: what a Mudlet package needs,
// written without a compression library. Pure functions; any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

struct ZipFile {
  std::string name;  // the path inside the archive, '/' between folders
  std::string data;
};

// The CRC-32 of zip (and gzip, PNG): polynomial 0xEDB88320, reflected.
std::uint32_t Crc32(std::string_view bytes);

// The archive of `files` in their order: a local header and the bytes of each, then the
// central directory. Dates are 1980-01-01, so the same files give the same bytes.
// REQUIRES: fewer than 65,535 files, each name and the whole under 4 GiB.
std::string StoredZip(const std::vector<ZipFile>& files);

}  // namespace web
