// The record in which the connection layer hands itself to the next build at an
// upgrade: its own fields (the counts that outlive connections, the sockets still
// draining, the byte budgets of the limited keys) around the records of its connections
// (Connection::Save, Restore). Each record is one list of its fields beside them
// (base/field_list.h); the kinds of the layer's own (a pace's time, a door by its name,
// a codec by its own record) are in layer_record.cpp. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connection/connection.h"

namespace connection {

// A socket closed for writing whose peer's last bytes are read and dropped.
struct CarriedDrain {
  core::Socket socket = core::kNoSocket;
  LimitClock::time_point until{};
  std::uint64_t dropped = 0;

  template <class Io, class Self>
  static void Fields(Io& io, Self& d) {
    io.Unsigned(1, d.socket, static_cast<core::Socket>(kMaxDescriptor));
    io.Time(2, d.until);
    io.Unsigned(3, d.dropped);
  }
};

// The byte budget of one limited key.
using CarriedBudget = KeyedRecord<ByteBudget>;

struct LayerRecord {
  std::vector<std::string> connections;  // each a connection's record, in handle order
  std::vector<CarriedDrain> drains;
  std::uint64_t nextOrder = 1;
  std::uint64_t linesHandled = 0;
  std::uint64_t bannedRefusals = 0;
  CarriedBook book;
  std::vector<CarriedBudget> keyBudgets;

  template <class Io, class Self>
  static void Fields(Io& io, Self& l) {
    io.Each(1, l.connections);
    io.Each(2, l.drains);
    io.Unsigned(3, l.nextOrder);
    io.Unsigned(4, l.linesHandled);
    io.Unsigned(5, l.bannedRefusals);
    io.Record(6, l.book);
    io.Each(7, l.keyBudgets);
  }
};

// The layer's record as bytes, and read back with the descriptors of its connections
// in `sockets`: false when it is damaged or a connection's record in it makes no sense
// (their doors and codecs are not looked at).
std::string WriteLayerRecord(const LayerRecord& layer);
bool ReadLayerRecord(std::string_view bytes, LayerRecord& layer, std::vector<core::Socket>& sockets);

}  // namespace connection
