#include "base/fields.h"

namespace base {

namespace {

void PutVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>(static_cast<std::uint8_t>(value) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

// Reads a varint from the front of `in`; false when it is cut short or too long.
bool GetVarint(std::string_view& in, std::uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (in.empty()) return false;
    const auto byte = static_cast<std::uint8_t>(in.front());
    in.remove_prefix(1);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return shift < 63 || byte <= 1;
  }
  return false;
}

std::uint64_t ZigZag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t UnZigZag(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

}  // namespace

// A field's head is one varint: its tag times 4 and its kind.
void FieldWriter::Unsigned(std::uint32_t tag, std::uint64_t value) {
  PutVarint(data_, static_cast<std::uint64_t>(tag) << 2 | 0);
  PutVarint(data_, value);
}

void FieldWriter::Signed(std::uint32_t tag, std::int64_t value) {
  PutVarint(data_, static_cast<std::uint64_t>(tag) << 2 | 1);
  PutVarint(data_, ZigZag(value));
}

void FieldWriter::Bytes(std::uint32_t tag, std::string_view value) {
  PutVarint(data_, static_cast<std::uint64_t>(tag) << 2 | 2);
  PutVarint(data_, value.size());
  data_.append(value);
}

FieldReader::FieldReader(std::string_view data) {
  while (!data.empty()) {
    std::uint64_t head = 0;
    std::uint64_t number = 0;
    if (!GetVarint(data, head) || !GetVarint(data, number) || (head >> 2) > UINT32_MAX) {
      good_ = false;
      return;
    }
    Field field{static_cast<std::uint32_t>(head >> 2), static_cast<Kind>(head & 3), number, {}};
    if ((head & 3) == 3) {
      good_ = false;
      return;
    }
    if (field.kind == Kind::Bytes) {
      if (number > data.size()) {
        good_ = false;
        return;
      }
      field.bytes = data.substr(0, static_cast<std::size_t>(number));
      data.remove_prefix(static_cast<std::size_t>(number));
    }
    fields_.push_back(field);
  }
}

const FieldReader::Field* FieldReader::Find(std::uint32_t tag, Kind kind) {
  for (const Field& field : fields_) {
    if (field.tag != tag) continue;
    if (field.kind != kind) {
      good_ = false;
      return nullptr;
    }
    return &field;
  }
  return nullptr;
}

std::uint64_t FieldReader::Unsigned(std::uint32_t tag, std::uint64_t otherwise) {
  const Field* field = Find(tag, Kind::Unsigned);
  return field != nullptr ? field->number : otherwise;
}

std::int64_t FieldReader::Signed(std::uint32_t tag, std::int64_t otherwise) {
  const Field* field = Find(tag, Kind::Signed);
  return field != nullptr ? UnZigZag(field->number) : otherwise;
}

std::string_view FieldReader::Bytes(std::uint32_t tag, std::string_view otherwise) {
  const Field* field = Find(tag, Kind::Bytes);
  return field != nullptr ? field->bytes : otherwise;
}

FieldReader FieldReader::Record(std::uint32_t tag) {
  FieldReader nested(Bytes(tag));
  Absorb(nested);
  return nested;
}

std::vector<std::uint64_t> FieldReader::AllUnsigned(std::uint32_t tag) {
  std::vector<std::uint64_t> all;
  for (const Field& field : fields_) {
    if (field.tag != tag) continue;
    if (field.kind != Kind::Unsigned) good_ = false;
    if (field.kind == Kind::Unsigned) all.push_back(field.number);
  }
  return all;
}

std::vector<std::int64_t> FieldReader::AllSigned(std::uint32_t tag) {
  std::vector<std::int64_t> all;
  for (const Field& field : fields_) {
    if (field.tag != tag) continue;
    if (field.kind != Kind::Signed) good_ = false;
    if (field.kind == Kind::Signed) all.push_back(UnZigZag(field.number));
  }
  return all;
}

std::vector<std::string_view> FieldReader::AllBytes(std::uint32_t tag) {
  std::vector<std::string_view> all;
  for (const Field& field : fields_) {
    if (field.tag != tag) continue;
    if (field.kind != Kind::Bytes) {
      good_ = false;
      continue;
    }
    all.push_back(field.bytes);
  }
  return all;
}

std::vector<FieldReader> FieldReader::AllRecords(std::uint32_t tag) {
  std::vector<FieldReader> all;
  for (const std::string_view bytes : AllBytes(tag)) {
    all.emplace_back(bytes);
    Absorb(all.back());
  }
  return all;
}

}  // namespace base
