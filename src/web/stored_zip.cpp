#include "web/stored_zip.h"

#include <array>

namespace web {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

// Little-endian, as every number in a zip is.
void Put16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void Put32(std::string& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

constexpr std::uint32_t kDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
constexpr std::uint32_t kVersion = 10;                       // 1.0: stored files

// The fields a local header and a central directory entry share, from "version needed"
// to the extra field's length.
void PutCommon(std::string& out, const ZipFile& file, std::uint32_t crc) {
  Put16(out, kVersion);
  Put16(out, 1 << 11);  // the name is UTF-8
  Put16(out, 0);        // stored
  Put16(out, 0);        // time 00:00
  Put16(out, kDosDate);
  Put32(out, crc);
  Put32(out, static_cast<std::uint32_t>(file.data.size()));  // compressed
  Put32(out, static_cast<std::uint32_t>(file.data.size()));  // uncompressed
  Put16(out, static_cast<std::uint32_t>(file.name.size()));
  Put16(out, 0);
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    c = kCrcTable[(c ^ static_cast<std::uint8_t>(byte)) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

std::string StoredZip(const std::vector<ZipFile>& files) {
  std::string out;
  std::string directory;
  for (const ZipFile& file : files) {
    const std::uint32_t crc = Crc32(file.data);
    const auto offset = static_cast<std::uint32_t>(out.size());
    Put32(out, 0x04034b50);
    PutCommon(out, file, crc);
    out += file.name;
    out += file.data;

    Put32(directory, 0x02014b50);
    Put16(directory, kVersion);  // made by: MS-DOS, zip 1.0
    PutCommon(directory, file, crc);
    Put16(directory, 0);  // comment length
    Put16(directory, 0);  // disk
    Put16(directory, 0);  // internal attributes
    Put32(directory, 0);  // external attributes
    Put32(directory, offset);
    directory += file.name;
  }
  const auto directoryOffset = static_cast<std::uint32_t>(out.size());
  out += directory;
  Put32(out, 0x06054b50);
  Put16(out, 0);  // this disk
  Put16(out, 0);  // the directory's disk
  Put16(out, static_cast<std::uint32_t>(files.size()));
  Put16(out, static_cast<std::uint32_t>(files.size()));
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, directoryOffset);
  Put16(out, 0);  // comment length
  return out;
}

}  // namespace web
