// Reads arbitrary bytes as a save file. The reader must give a result for every input,
// with every position on the map; whatever it read whole must survive a write and a
// second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "persist/save_reader.h"
#include "persist/save_writer.h"
#include "world/character.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const persist::SaveContents first = persist::ParseSave(bytes);
  if (first.leftOut == first.messages.empty() && !first.messages.empty()) std::abort();
  std::vector<const world::Character*> records;
  for (const auto& c : first.characters) {
    if (!world::OnMap(c->x, c->y) || c->following != nullptr) std::abort();
    records.push_back(c.get());
  }
  const std::string written = persist::FormatSave(first.clock, records);
  const persist::SaveContents second = persist::ParseSave(written);
  if (second.leftOut || second.characters.size() != first.characters.size()) std::abort();
  if (persist::FormatSave(second.clock, [&] {
        std::vector<const world::Character*> again;
        for (const auto& c : second.characters) again.push_back(c.get());
        return again;
      }()) != written) {
    std::abort();
  }
  return 0;
}
