#include "connection/layer_record.h"

#include "connection/carried.h"

namespace connection {

namespace {

// The kinds of the connection layer's lists besides the common ones: the times of its
// paces, its door by name, its codec by its own record.
class Saver final : public base::FieldSaving<Saver> {
 public:
  using FieldSaving::FieldSaving;
  using FieldSaving::Time;
  void Time(std::uint32_t tag, const LinePace& pace) { Time(tag, pace.Due()); }
  void Time(std::uint32_t tag, const ByteBudget& budget) { Time(tag, budget.Full()); }
  void Door(std::uint32_t tag, const connection::Door* door) { out_.Bytes(tag, door->name); }
  void Codec(std::uint32_t tag, const std::unique_ptr<connection::Codec>& codec) {
    base::FieldWriter own;
    codec->SaveState(own);
    out_.Record(tag, own);
  }
  // A part kept apart from its record (InputAside): its fields under the record's own
  // tags, as they were written before it was apart; when it is not made, as it is made.
  template <class T>
  void Apart(const std::unique_ptr<T>& part) {
    static const T kNone{};
    T::Fields(*this, part != nullptr ? *part : kNone);
  }
  template <class T>
  void NotCarried(const T&) {}
};

// Reading, the door and the codec are left as the name and the record they came as:
// only the layer knows the doors.
class Loader final : public base::FieldLoading<Loader> {
 public:
  using FieldLoading::FieldLoading;
  using FieldLoading::Time;
  void Time(std::uint32_t tag, LinePace& pace) {
    LimitClock::time_point due = pace.Due();
    Time(tag, due);
    pace.SetDue(due);
  }
  void Time(std::uint32_t tag, ByteBudget& budget) {
    LimitClock::time_point full = budget.Full();
    Time(tag, full);
    budget.SetFull(full);
  }
  void Door(std::uint32_t tag, const connection::Door*&) { door = in_.Bytes(tag); }
  void Codec(std::uint32_t tag, std::unique_ptr<connection::Codec>&) { codec = in_.Bytes(tag); }
  // A part apart is made only when the record gives it something to hold.
  template <class T>
  void Apart(std::unique_ptr<T>& part) {
    if (part == nullptr) part = std::make_unique<T>();
    T::Fields(*this, *part);
    if (!part->Holds()) part.reset();
  }
  template <class T>
  void NotCarried(T&) {}

  std::string_view door;   // its door's name
  std::string_view codec;  // its codec's own record
};

// Waiting input is a run of frames, each a kind, its text and a NUL: anything else
// would send the layer past the end of its buffer.
bool WellFramed(std::string_view waiting) {
  while (!waiting.empty()) {
    const std::size_t end = waiting.find('\0');
    if (end == std::string_view::npos) return false;
    const char kind = waiting.front();
    if (kind != static_cast<char>(FrameKind::Line) && kind != static_cast<char>(FrameKind::TooLong)) return false;
    waiting.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace

void Connection::Save(base::FieldWriter& out) const {
  Saver io(out);
  Fields(io, *this);
}


Connection::Restored Connection::Restore(base::FieldReader in, std::span<const Door> doors, std::string* doorName) {
  Loader io(in);
  Fields(io, *this);
  if (doorName != nullptr) doorName->assign(io.door);
  if (!io.Good() || io.door.empty() || !WellFramed(waiting.View())) return Restored::Senseless;
  transport = MakePlainTransport();
  if (proxyStep != ProxyStep::None) {
    // The header's reader reads again what it had read, to the same state.
    InputAside& a = Aside();
    a.proxyReader = std::make_unique<net::ProxyHeaderReader>();
    a.proxyReader->Feed(a.proxyBytes);
  }
  for (const Door& d : doors) {
    if (d.name == io.door && !d.makeTransport) door = &d;
  }
  if (door == nullptr) return Restored::Foreign;
  codec = door->makeCodec(endpoints);
  base::FieldReader own(io.codec);
  if (codec == nullptr || !codec->RestoreState(own) || !own.Good()) return Restored::Foreign;
  return Restored::Whole;
}

std::string WriteLayerRecord(const LayerRecord& layer) {
  base::FieldWriter out;
  Saver io(out);
  LayerRecord::Fields(io, layer);
  return out.Take();
}

bool ReadLayerRecord(std::string_view bytes, LayerRecord& layer, std::vector<core::Socket>& sockets) {
  base::FieldReader in(bytes);
  Loader io(in);
  LayerRecord::Fields(io, layer);
  if (!io.Good()) return false;
  for (const std::string& record : layer.connections) {
    Connection c;
    if (c.Restore(base::FieldReader(record), {}) == Connection::Restored::Senseless || c.order >= layer.nextOrder) {
      return false;
    }
    sockets.push_back(c.socket);
  }
  return true;
}

bool ReadCarriedLayer(std::string_view record, CarriedLayer& layer) {
  LayerRecord read;
  if (!ReadLayerRecord(record, read, layer.connections)) return false;
  layer.record.assign(record);
  for (const CarriedDrain& drain : read.drains) layer.drains.push_back(drain.socket);
  return true;
}

}  // namespace connection
