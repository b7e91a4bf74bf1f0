// Records written and read through one list of their fields. A record's fields are
// named once, each with its tag and its kind, in a static member function template
// beside them that a saver runs to write the record (base/fields.h) and a loader runs to
// read it back, so the writer and the reader cannot disagree:
//
//   template <class Io, class Self>
//   static void Fields(Io& io, Self& s) {  // Self: the record's type, const or not
//     io.Bytes(1, s.partial_);
//     io.Bool(2, s.discarding_);
//   }
//
// Either way a field is set before the list goes on, so a field may decide what follows
// it (`if (s.closed_) return;`). A tag keeps its meaning for good: a new field takes a
// tag of its own. Reading, a field the record lacks leaves its member as it is (in a
// fresh object its default: so a newer build reads an older build's record), and a value
// its member cannot hold (out of its type's range, or past the bound the list gives)
// fails the record. Pure; any thread.
#pragma once

#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/address.h"
#include "base/fields.h"

namespace base {

// A queue of bytes the lists may carry as a byte string (core::ByteQueue).
template <class T>
concept ByteQueueLike = requires(T& q, const T& c, std::string_view bytes) {
  { c.View() } -> std::convertible_to<std::string_view>;
  q.Append(bytes);
};

// A time on a clock.
template <class T>
concept TimePoint = requires(const T& t) {
  typename T::clock;
  t.time_since_epoch();
};

// A nested record that writes and reads itself (a codec's part), rather than by a list.
template <class T>
concept SavesItself = requires(T& t, const T& c, FieldWriter& out, FieldReader& in) {
  c.SaveState(out);
  { t.RestoreState(in) } -> std::same_as<bool>;
};

// A time as a record carries it: nanoseconds since its clock's epoch (the monotonic
// clock goes on across an exec), the epoch itself meaning none.
template <class Clock, class Duration>
std::int64_t TimeField(std::chrono::time_point<Clock, Duration> t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
template <class TimePoint>
TimePoint FromTimeField(std::int64_t nanoseconds) {
  return TimePoint(std::chrono::duration_cast<typename TimePoint::duration>(std::chrono::nanoseconds(nanoseconds)));
}

// The kinds every list may use, written. `Io` is the saver itself (it may add kinds of
// its own), made again for each nested record.
template <class Io>
class FieldSaving {
 public:
  explicit FieldSaving(FieldWriter& out) : out_(out) {}

  template <std::unsigned_integral T>
  void Unsigned(std::uint32_t tag, const T& value) {
    out_.Unsigned(tag, value);
  }
  // A number from 0 to `most`: an enum up to its last value, a descriptor.
  template <class T>
  void Unsigned(std::uint32_t tag, const T& value, std::type_identity_t<T> most) {
    (void)most;
    out_.Unsigned(tag, static_cast<std::uint64_t>(value));
  }
  template <std::signed_integral T>
  void Signed(std::uint32_t tag, const T& value) {
    out_.Signed(tag, value);
  }
  void Bool(std::uint32_t tag, const bool& value) { out_.Bool(tag, value); }
  void Bytes(std::uint32_t tag, const std::string& value) { out_.Bytes(tag, value); }
  template <ByteQueueLike Q>
  void Bytes(std::uint32_t tag, const Q& queue) {
    out_.Bytes(tag, queue.View());
  }
  // A byte array: whole, or its first `count` bytes.
  template <std::size_t N>
  void Bytes(std::uint32_t tag, const std::array<std::uint8_t, N>& bytes) {
    Bytes(tag, bytes, static_cast<std::uint8_t>(N));
  }
  template <std::size_t N>
  void Bytes(std::uint32_t tag, const std::array<std::uint8_t, N>& bytes, const std::uint8_t& count) {
    out_.Bytes(tag, std::string_view(reinterpret_cast<const char*>(bytes.data()), count));
  }
  template <class Clock, class Duration>
  void Time(std::uint32_t tag, const std::chrono::time_point<Clock, Duration>& t) {
    out_.Signed(tag, TimeField(t));
  }
  // An address as its 16 bytes; an empty optional one is left out.
  void Address(std::uint32_t tag, const base::Address& address) {
    out_.Bytes(tag, std::string_view(reinterpret_cast<const char*>(address.bytes.data()), address.bytes.size()));
  }
  void Address(std::uint32_t tag, const std::optional<base::Address>& address) {
    if (address) Address(tag, *address);
  }
  // A nested record: by its own list (T::Fields), or by its own SaveState.
  template <class T>
  void Record(std::uint32_t tag, const T& record) {
    FieldWriter nested;
    if constexpr (SavesItself<T>) {
      record.SaveState(nested);
    } else {
      Io io(nested);
      T::Fields(io, record);
    }
    out_.Record(tag, nested);
  }
  // A nested record held by a pointer, which is made when it is read.
  template <class T>
  void Record(std::uint32_t tag, const std::unique_ptr<T>& record) {
    Record(tag, *record);
  }
  // Every element, each a field of `tag`: numbers, times, byte strings or nested records.
  template <class Container>
  void Each(std::uint32_t tag, const Container& items) {
    for (const auto& item : items) {
      using T = std::remove_cvref_t<decltype(item)>;
      if constexpr (std::unsigned_integral<T>) {
        Unsigned(tag, item);
      } else if constexpr (std::signed_integral<T>) {
        Signed(tag, item);
      } else if constexpr (TimePoint<T>) {
        Time(tag, item);
      } else if constexpr (std::same_as<T, std::string>) {
        Bytes(tag, item);
      } else {
        Record(tag, item);
      }
    }
  }

 protected:
  FieldWriter& out_;
};

// The same kinds, read. A field the record lacks leaves its member as it is.
template <class Io>
class FieldLoading {
 public:
  explicit FieldLoading(FieldReader& in) : in_(in) {}

  // False once the record is damaged or a value did not fit.
  bool Good() const { return in_.Good(); }
  // Marks the record as one that makes no sense.
  void Fail() { in_.Fail(); }

  template <std::unsigned_integral T>
  void Unsigned(std::uint32_t tag, T& value) {
    const std::uint64_t read = in_.Unsigned(tag, value);
    if (std::in_range<T>(read)) {
      value = static_cast<T>(read);
    } else {
      in_.Fail();
    }
  }
  template <class T>
  void Unsigned(std::uint32_t tag, T& value, std::type_identity_t<T> most) {
    const std::uint64_t read = in_.Unsigned(tag, static_cast<std::uint64_t>(value));
    if (read <= static_cast<std::uint64_t>(most)) {
      value = static_cast<T>(read);
    } else {
      in_.Fail();
    }
  }
  template <std::signed_integral T>
  void Signed(std::uint32_t tag, T& value) {
    const std::int64_t read = in_.Signed(tag, value);
    if (std::in_range<T>(read)) {
      value = static_cast<T>(read);
    } else {
      in_.Fail();
    }
  }
  void Bool(std::uint32_t tag, bool& value) { value = in_.Bool(tag, value); }
  void Bytes(std::uint32_t tag, std::string& value) {
    const std::string_view read = in_.Bytes(tag, value);
    if (read.data() != value.data()) value.assign(read);
  }
  // Into a fresh queue: the bytes are appended.
  template <ByteQueueLike Q>
  void Bytes(std::uint32_t tag, Q& queue) {
    queue.Append(in_.Bytes(tag));
  }
  // A whole byte array, or (with `count`) as many bytes as it holds at most.
  template <std::size_t N>
  void Bytes(std::uint32_t tag, std::array<std::uint8_t, N>& bytes) {
    const std::string_view read = in_.Bytes(tag);
    if (read.empty()) return;
    if (read.size() != N) {
      in_.Fail();
      return;
    }
    std::memcpy(bytes.data(), read.data(), N);
  }
  template <std::size_t N>
  void Bytes(std::uint32_t tag, std::array<std::uint8_t, N>& bytes, std::uint8_t& count) {
    const std::string_view read = in_.Bytes(tag);
    if (read.size() > N) {
      in_.Fail();
      return;
    }
    if (!read.empty()) std::memcpy(bytes.data(), read.data(), read.size());
    count = static_cast<std::uint8_t>(read.size());
  }
  template <class Clock, class Duration>
  void Time(std::uint32_t tag, std::chrono::time_point<Clock, Duration>& t) {
    t = FromTimeField<std::chrono::time_point<Clock, Duration>>(in_.Signed(tag, TimeField(t)));
  }
  void Address(std::uint32_t tag, base::Address& address) {
    const std::string_view bytes = in_.Bytes(tag);
    if (bytes.empty()) return;
    if (bytes.size() != address.bytes.size()) {
      in_.Fail();
      return;
    }
    std::memcpy(address.bytes.data(), bytes.data(), bytes.size());
  }
  void Address(std::uint32_t tag, std::optional<base::Address>& address) {
    if (in_.Bytes(tag).empty()) return;
    base::Address read;
    Address(tag, read);
    address = read;
  }
  template <class T>
  void Record(std::uint32_t tag, T& record) {
    FieldReader nested = in_.Record(tag);
    if constexpr (SavesItself<T>) {
      if (!record.RestoreState(nested)) in_.Fail();
    } else {
      Io io(nested);
      T::Fields(io, record);
    }
    in_.Absorb(nested);
  }
  template <class T>
  void Record(std::uint32_t tag, std::unique_ptr<T>& record) {
    if (record == nullptr) record = std::make_unique<T>();
    Record(tag, *record);
  }
  // Appends every field of `tag` to a sequence (a vector, a deque); fills an array from
  // its front, passing over what does not fit (elements a newer build added).
  template <class Sequence>
    requires requires(Sequence& items) { items.emplace_back(); }
  void Each(std::uint32_t tag, Sequence& items) {
    using T = typename Sequence::value_type;
    if constexpr (std::integral<T>) {
      for (const auto value : All<T>(tag)) {
        if (!std::in_range<T>(value)) in_.Fail();
        items.push_back(static_cast<T>(value));
      }
    } else if constexpr (TimePoint<T>) {
      for (const std::int64_t value : in_.AllSigned(tag)) items.push_back(FromTimeField<T>(value));
    } else if constexpr (std::same_as<T, std::string>) {
      for (const std::string_view bytes : in_.AllBytes(tag)) items.emplace_back(bytes);
    } else {
      for (FieldReader& nested : in_.AllRecords(tag)) {
        Io io(nested);
        T::Fields(io, items.emplace_back());
        in_.Absorb(nested);
      }
    }
  }
  template <std::integral T, std::size_t N>
  void Each(std::uint32_t tag, std::array<T, N>& items) {
    const auto all = All<T>(tag);
    for (std::size_t i = 0; i < all.size() && i < N; ++i) {
      if (!std::in_range<T>(all[i])) in_.Fail();
      items[i] = static_cast<T>(all[i]);
    }
  }

 protected:
  template <class T>
  auto All(std::uint32_t tag) {
    if constexpr (std::unsigned_integral<T>) {
      return in_.AllUnsigned(tag);
    } else {
      return in_.AllSigned(tag);
    }
  }

  FieldReader& in_;
};

// The saver and the loader of the lists that use the common kinds alone.
class FieldSaver final : public FieldSaving<FieldSaver> {
 public:
  using FieldSaving::FieldSaving;
};
class FieldLoader final : public FieldLoading<FieldLoader> {
 public:
  using FieldLoading::FieldLoading;
};

// Writes `record` by its list.
template <class T>
void SaveFields(FieldWriter& out, const T& record) {
  FieldSaver io(out);
  T::Fields(io, record);
}

// Reads `record`, a fresh one, by its list: false when the record is damaged or a value
// did not fit (`record` then holds part of it).
template <class T>
bool LoadFields(FieldReader& in, T& record) {
  FieldLoader io(in);
  T::Fields(io, record);
  return in.Good();
}

}  // namespace base
