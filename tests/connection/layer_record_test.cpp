#include "connection/layer_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "codecs/frame_codec.h"

namespace connection {
namespace {

// The number of members of an aggregate: it is initialized from ever more values that
// convert to anything, until one is too many.
struct AnyMember {
  template <class T>
  operator T() const;  // never called: the count is taken at compile time
};
template <class T, class... Values>
constexpr std::size_t MemberCount() {
  if constexpr (requires { T{Values{}..., AnyMember{}}; }) {
    return MemberCount<T, Values..., AnyMember>();
  } else {
    return sizeof...(Values);
  }
}

// Runs a record's list, noting every member it names and the tags it gives them.
class Mentions {
 public:
  template <class T, class... Bound>
  void Unsigned(std::uint32_t tag, T& member, Bound...) { Note(tag, &member); }
  template <class T>
  void Signed(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Bool(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Bytes(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Time(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Address(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Record(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Each(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Door(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void Codec(std::uint32_t tag, T& member) { Note(tag, &member); }
  template <class T>
  void NotCarried(T& member) { Note(0, &member); }
  // A part kept apart is one member; its fields take tags of the record's own.
  template <class T>
  void Apart(std::unique_ptr<T>& part) {
    Note(0, &part);
    T own{};
    Mentions of;
    T::Fields(of, own);
    for (const auto& [tag, times] : of.tags) tags[tag] += times;
  }

  std::set<const void*> members;
  std::map<std::uint32_t, int> tags;  // each tag given, and how often

 private:
  void Note(std::uint32_t tag, const void* member) {
    members.insert(member);
    if (tag != 0) ++tags[tag];
  }
};

template <class T>
void ExpectEveryMemberListed(const char* name) {
  T record{};
  Mentions io;
  T::Fields(io, record);
  EXPECT_EQ(io.members.size(), MemberCount<T>())
      << name << ": a member is missing from its record's list (its Fields): give it the next tag, "
      << "or name it there as not carried and say why";
  for (const auto& [tag, times] : io.tags) EXPECT_EQ(times, 1) << name << ": tag " << tag << " is given twice";
}

TEST(ConnectionRecord, EveryMemberIsCarriedOrSaidNotToBe) {
  ExpectEveryMemberListed<Connection>("Connection");
  ExpectEveryMemberListed<InputAside>("InputAside");
  ExpectEveryMemberListed<LogAside>("LogAside");
  ExpectEveryMemberListed<Peer>("Peer");
  ExpectEveryMemberListed<Endpoints>("Endpoints");
  ExpectEveryMemberListed<IoResult>("IoResult");
  ExpectEveryMemberListed<LayerRecord>("LayerRecord");
  ExpectEveryMemberListed<CarriedDrain>("CarriedDrain");
  ExpectEveryMemberListed<CarriedBudget>("CarriedBudget");
  ExpectEveryMemberListed<CarriedBook>("CarriedBook");
  ExpectEveryMemberListed<AddressCounts>("AddressCounts");
}

// A connection's record as the build before this one wrote it, field by field: the
// tags and kinds the builds on either side of an upgrade read each other by.
using Value = std::variant<std::uint64_t, std::int64_t, std::string>;
std::string Address(std::uint8_t last) {
  base::Address address = base::Address::V4(0xC0000200u);
  address.bytes[15] = last;
  return std::string(reinterpret_cast<const char*>(address.bytes.data()), address.bytes.size());
}
std::string Nested(const std::vector<std::pair<std::uint32_t, Value>>& fields) {
  base::FieldWriter out;
  for (const auto& [tag, value] : fields) {
    if (const auto* u = std::get_if<std::uint64_t>(&value)) out.Unsigned(tag, *u);
    if (const auto* s = std::get_if<std::int64_t>(&value)) out.Signed(tag, *s);
    if (const auto* b = std::get_if<std::string>(&value)) out.Bytes(tag, *b);
  }
  return out.Take();
}
const std::vector<std::pair<std::uint32_t, Value>> kFormerRecord = {
    {1, std::uint64_t{17}},  // socket
    {2, std::uint64_t{41}},  // order
    {3, std::string("game")},
    {4, Nested({{1, Address(7)}, {2, Address(0)}, {3, std::uint64_t{1}}, {4, std::int64_t{1000}}, {5, Address(1)}})},
    {5, Nested({{1, Address(2)}, {2, std::uint64_t{4000}}, {3, Address(1)}, {4, std::uint64_t{1}}})},
    {6, std::uint64_t{1}},   // started
    {7, std::uint64_t{1}},   // admitted
    {8, std::uint64_t{1}},   // PeerClosed
    {9, std::int64_t{104}},  // recvError
    {10, std::string("closed by the client")},
    {11, Nested({{1, Nested({{1, std::string("hal")}, {2, std::uint64_t{0}}})}})},  // the codec's
    {12, std::string("Llook\0Tx\0", 9)},
    {13, std::string("out")},
    {14, std::string("going")},
    {16, std::string("rec")},
    {17, std::uint64_t{1}},  // reading a PROXY header
    {18, std::string("PROXY TCP4")},
    {19, std::uint64_t{1}},
    {20, std::uint64_t{1}},
    {21, Nested({{1, std::uint64_t{3}}, {2, std::int64_t{104}}, {3, std::uint64_t{9}}, {4, std::string("reset")}})},
    {22, std::int64_t{32}},
    {23, std::int64_t{1}},  // the times, in nanoseconds
    {24, std::int64_t{2}},
    {25, std::int64_t{3}},
    {26, std::int64_t{4}},
    {27, std::int64_t{5}},
    {28, std::int64_t{6}},
    {29, std::int64_t{7}},
    {30, std::int64_t{8}},
};

TEST(ConnectionRecord, TheFormerBuildsRecordReadsAndIsWrittenBackAlike) {
  std::vector<Door> doors(1);
  doors[0].name = "game";
  doors[0].makeCodec = [](const Endpoints&) { return std::make_unique<codecs::FrameCodec>(); };
  const std::string former = Nested(kFormerRecord);
  Connection c;
  ASSERT_EQ(c.Restore(base::FieldReader(former), doors), Connection::Restored::Whole);
  EXPECT_EQ(c.door, &doors[0]);
  base::FieldWriter written;
  c.Save(written);
  base::FieldReader again(written.Data());
  for (const auto& [tag, value] : kFormerRecord) {
    if (const auto* u = std::get_if<std::uint64_t>(&value)) {
      EXPECT_EQ(again.Unsigned(tag), *u) << tag;
    } else if (const auto* s = std::get_if<std::int64_t>(&value)) {
      EXPECT_EQ(again.Signed(tag), *s) << tag;
    } else {
      EXPECT_EQ(again.Bytes(tag), std::get<std::string>(value)) << tag;
    }
  }
  EXPECT_TRUE(again.Good());

  // A door of another name (or one over TLS) takes no record; a damaged one is none.
  Connection elsewhere;
  EXPECT_EQ(elsewhere.Restore(base::FieldReader(former), {}), Connection::Restored::Foreign);
  Connection cut;
  EXPECT_EQ(cut.Restore(base::FieldReader(std::string_view(former).substr(0, former.size() - 1)), doors),
            Connection::Restored::Senseless);
}

}  // namespace
}  // namespace connection
