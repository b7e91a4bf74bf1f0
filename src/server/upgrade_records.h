// The records of the upgrade's state that belong to the world, and the small values
// the records use: the inside of one format module (server/upgrade_state.h), split in
// two files. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "base/fields.h"
#include "connection/address_limits.h"
#include "world/character.h"

namespace server::upgrade_records {

void PutAddress(base::FieldWriter& out, std::uint32_t tag, const base::Address& address);
// False when the field is there and is no address.
bool GetAddress(base::FieldReader& in, std::uint32_t tag, base::Address& address);
// A number that must fit an int32 (a character's fields, a count).
bool GetInt32(base::FieldReader& in, std::uint32_t tag, std::int32_t& value);
// A descriptor, which must be there.
bool GetSocket(base::FieldReader& in, std::uint32_t tag, int& socket);

base::FieldWriter WorldRecord(const world::CarriedWorld& world);
bool ReadWorld(base::FieldReader in, world::CarriedWorld& world);

}  // namespace server::upgrade_records
