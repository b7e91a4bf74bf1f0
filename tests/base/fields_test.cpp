#include "base/fields.h"

#include "base/field_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace base {
namespace {

TEST(Fields, EveryKindReadsBackAndOldOrNewReadersKeepTheirDefaults) {
  FieldWriter inner;
  inner.Bytes(1, std::string("a\0b", 3));
  FieldWriter out;
  out.Unsigned(1, std::numeric_limits<std::uint64_t>::max());
  out.Signed(2, std::numeric_limits<std::int64_t>::min());
  out.Signed(3, -1);
  out.Bool(4, true);
  out.Record(5, inner);
  out.Record(5, FieldWriter{});
  out.Unsigned(99, 7);  // a field a newer build added

  FieldReader in(out.Data());
  EXPECT_EQ(in.Unsigned(1), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(in.Signed(2), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(in.Signed(3), -1);
  EXPECT_TRUE(in.Bool(4));
  EXPECT_EQ(in.Unsigned(6, 42), 42u);  // a field an older build never wrote
  std::vector<FieldReader> records = in.AllRecords(5);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Bytes(1), std::string_view("a\0b", 3));
  EXPECT_EQ(records[1].Bytes(1, "none"), "none");
  EXPECT_TRUE(in.Good());
}

// A record described by one list, with a nested one and the kinds that check their
// values.
struct Inner {
  std::string name;
  template <class Io, class Self>
  static void Fields(Io& io, Self& s) {
    io.Bytes(1, s.name);
  }
};
struct Listed {
  std::uint8_t small = 0;
  int descriptor = -1;
  std::vector<std::int64_t> times;
  std::array<std::uint8_t, 4> mask{};
  Inner inner;
  template <class Io, class Self>
  static void Fields(Io& io, Self& s) {
    io.Unsigned(1, s.small);
    io.Unsigned(2, s.descriptor, 1000);
    io.Each(3, s.times);
    io.Bytes(4, s.mask);
    io.Record(5, s.inner);
  }
};

TEST(Fields, AListWritesItsRecordAndReadsItBackOrRefusesWhatItsMembersCannotHold) {
  const Listed listed{200, 7, {-1, 5}, {1, 2, 3, 4}, {"ash"}};
  FieldWriter out;
  SaveFields(out, listed);
  Listed read;
  FieldReader in(out.Data());
  ASSERT_TRUE(LoadFields(in, read));
  EXPECT_EQ(read.small, 200);
  EXPECT_EQ(read.descriptor, 7);
  EXPECT_EQ(read.times, listed.times);
  EXPECT_EQ(read.mask, listed.mask);
  EXPECT_EQ(read.inner.name, "ash");

  for (const auto& [tag, value] : {std::pair{1u, 256u}, {2u, 1001u}}) {
    FieldWriter bad;
    bad.Unsigned(tag, value);
    FieldReader damaged(bad.Data());
    Listed refused;
    EXPECT_FALSE(LoadFields(damaged, refused)) << tag;
  }
  FieldReader empty("");
  Listed none;
  EXPECT_FALSE(LoadFields(empty, none));  // a descriptor must be there
}

TEST(Fields, ADamagedRecordIsNeverGood) {
  FieldWriter out;
  out.Bytes(1, "payload");
  out.Unsigned(2, 300);
  const std::string whole = out.Data();
  const std::size_t boundary = 9;  // after the first field: a shorter record, well formed
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    FieldReader in(std::string_view(whole).substr(0, cut));
    in.Bytes(1);
    in.Unsigned(2);
    EXPECT_EQ(in.Good(), cut == boundary) << "cut at " << cut;
  }
  FieldReader mismatched(whole);
  mismatched.Unsigned(1);  // a byte string read as a number
  EXPECT_FALSE(mismatched.Good());
  FieldReader endless(std::string(11, '\xff'));
  EXPECT_FALSE(endless.Good());
}

}  // namespace
}  // namespace base
