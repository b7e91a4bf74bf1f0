// The records of the upgrade's state that belong to the connection layer and the world,
// and the small values every record uses: the inside of one format module
// (server/upgrade_state.h), split in two files. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "base/fields.h"
#include "connection/carried.h"
#include "world/character.h"

namespace server::upgrade_records {

// Descriptors above this are no descriptors a process of ours held.
inline constexpr std::uint64_t kMaxDescriptor = 1u << 24;

void PutAddress(base::FieldWriter& out, std::uint32_t tag, const base::Address& address);
// False when the field is there and is no address.
bool GetAddress(base::FieldReader& in, std::uint32_t tag, base::Address& address);
// A number that must fit an int32 (a character's fields, a count).
bool GetInt32(base::FieldReader& in, std::uint32_t tag, std::int32_t& value);
// A descriptor, which must be there.
bool GetSocket(base::FieldReader& in, std::uint32_t tag, int& socket);

base::FieldWriter BookRecord(const connection::CarriedBook& book);
bool ReadBook(base::FieldReader in, connection::CarriedBook& book);
base::FieldWriter LayerRecord(const connection::CarriedLayer& layer);
bool ReadLayer(base::FieldReader in, connection::CarriedLayer& layer);
base::FieldWriter WorldRecord(const world::CarriedWorld& world);
bool ReadWorld(base::FieldReader in, world::CarriedWorld& world);

}  // namespace server::upgrade_records
