// Fields: a small self-describing binary encoding of records, for state that one build
// hands to the next (the server's upgrade). A record is a run of fields, each a tag
// (its number within the record), a kind and a value; a reader takes the fields it
// knows by tag and passes over the rest, and a field it expects but does not find
// reads as its default, so a newer build reads an older build's records and the other
// way round. Values: unsigned and signed integers (varints), byte strings, and nested
// records (as byte strings). Pure values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base {

class FieldWriter {
 public:
  void Unsigned(std::uint32_t tag, std::uint64_t value);
  void Signed(std::uint32_t tag, std::int64_t value);
  void Bool(std::uint32_t tag, bool value) { Unsigned(tag, value ? 1 : 0); }
  void Bytes(std::uint32_t tag, std::string_view value);
  // A nested record, written by its own writer.
  void Record(std::uint32_t tag, const FieldWriter& record) { Bytes(tag, record.Data()); }

  const std::string& Data() const { return data_; }
  std::string Take() { return std::move(data_); }

 private:
  std::string data_;
};

// Reads one record. Every getter returns the first field of its tag (or the default
// when there is none); All* return every field of the tag, in order. A record that is
// damaged (a field cut short, a kind that does not fit what is asked) makes Good()
// false, and the getters then give defaults: the caller checks Good() once at the end.
class FieldReader {
 public:
  explicit FieldReader(std::string_view data);

  bool Good() const { return good_; }

  std::uint64_t Unsigned(std::uint32_t tag, std::uint64_t otherwise = 0);
  std::int64_t Signed(std::uint32_t tag, std::int64_t otherwise = 0);
  bool Bool(std::uint32_t tag, bool otherwise = false) { return Unsigned(tag, otherwise ? 1 : 0) != 0; }
  std::string_view Bytes(std::uint32_t tag, std::string_view otherwise = {});
  // A nested record; an empty record when there is none.
  FieldReader Record(std::uint32_t tag);
  std::vector<std::uint64_t> AllUnsigned(std::uint32_t tag);
  std::vector<std::int64_t> AllSigned(std::uint32_t tag);
  std::vector<std::string_view> AllBytes(std::uint32_t tag);
  std::vector<FieldReader> AllRecords(std::uint32_t tag);
  // Marks the record damaged: a value read well that makes no sense.
  void Fail() { good_ = false; }
  // A nested reader's verdict joins this one's.
  void Absorb(const FieldReader& nested) { good_ = good_ && nested.good_; }

 private:
  enum class Kind : std::uint8_t { Unsigned = 0, Signed = 1, Bytes = 2 };
  struct Field {
    std::uint32_t tag;
    Kind kind;
    std::uint64_t number;    // Unsigned, Signed (zigzag)
    std::string_view bytes;  // Bytes
  };
  const Field* Find(std::uint32_t tag, Kind kind);

  std::vector<Field> fields_;
  bool good_ = true;
};

}  // namespace base
