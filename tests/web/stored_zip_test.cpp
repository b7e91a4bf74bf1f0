#include "web/stored_zip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "web/mudlet_package.h"

namespace web {
namespace {

std::uint32_t Read(std::string_view bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + i));
  return value;
}

// The files of a stored zip as an unzipper finds them: through the end record and the
// central directory to each local header, whose name and CRC must agree.
std::vector<ZipFile> Unzip(std::string_view zip) {
  const std::size_t end = zip.size() - 22;
  EXPECT_EQ(Read(zip, end, 4), 0x06054b50u);
  const std::uint32_t count = Read(zip, end + 10, 2);
  std::size_t entry = Read(zip, end + 16, 4);
  std::vector<ZipFile> files;
  for (std::uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(Read(zip, entry, 4), 0x02014b50u);
    const std::uint32_t crc = Read(zip, entry + 16, 4);
    const std::uint32_t size = Read(zip, entry + 24, 4);
    const std::uint32_t nameLength = Read(zip, entry + 28, 2);
    const std::size_t local = Read(zip, entry + 42, 4);
    const std::string name(zip.substr(entry + 46, nameLength));
    EXPECT_EQ(Read(zip, local, 4), 0x04034b50u);
    EXPECT_EQ(zip.substr(local + 30, nameLength), name);
    const std::size_t data = local + 30 + nameLength + Read(zip, local + 28, 2);
    files.push_back({name, std::string(zip.substr(data, size))});
    EXPECT_EQ(Crc32(files.back().data), crc) << name;
    entry += 46 + nameLength;
  }
  return files;
}

TEST(StoredZip, Crc32OfTheCheckString) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
}

TEST(StoredZip, TheMudletPackageHoldsItsConfigAndTheScriptAsXml) {
  const auto files = Unzip(MudletPackage());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "config.lua");
  EXPECT_NE(files[0].data.find("mpackage = [[pelthollow]]"), std::string::npos);
  EXPECT_EQ(files[1].name, "pelthollow.xml");
  EXPECT_NE(files[1].data.find("registerAnonymousEventHandler(\"gmcp.Room.Info\""),
            std::string::npos);
  EXPECT_EQ(EscapeXml("a < b && c > d"), "a &lt; b &amp;&amp; c &gt; d");
}

}  // namespace
}  // namespace web
