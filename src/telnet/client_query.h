// What the telnet port asks a client about itself, once each, and what it learns: the
// client's name and the MTTS bits (TTYPE), whether it takes UTF-8 (CHARSET, MTTS), and
// whether its user wants screen-reader mode (MTTS, Mudlet's SCREEN_READER variable of
// NEW-ENVIRON). One per telnet connection, used by one thread at a time; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/fields.h"
#include "telnet/telnet_reader.h"

namespace telnet {

// The longest client name kept from TTYPE; a longer one is cut.
inline constexpr std::size_t kMaxClientNameBytes = 64;

// The MUD clients known by name, as counted (the metrics' labels); every other name
// counts as "other", so that no client can make up a count of its own.
inline constexpr std::string_view kKnownClients[] = {
    "axmud", "beip", "blightmud", "cmud", "kbtin", "mudlet", "mudrammer",
    "mushclient", "proxiani", "tintin++", "vipmud", "zmud",
};
inline constexpr std::string_view kOtherClient = "other";
// The known client `name` names, in any letter case and with or without a version
// after a blank, slash or hyphen ("Mudlet 4.17"); otherwise kOtherClient.
std::string_view ClientLabel(std::string_view name);

class ClientQuery {
 public:
  // Takes what the reader passed on of TTYPE, CHARSET and NEW-ENVIRON, and appends to
  // `toClient` what the server asks or answers next:
  //   TTYPE on: SEND, at most three times a connection; each IS asks again until a name
  //     repeats or "MTTS <bits>" came. An IS that answers no SEND is ignored.
  //   NEW-ENVIRON on: SEND for the user variable SCREEN_READER, once. IS and INFO are
  //     read for SCREEN_READER only (a client's IPADDRESS or anything else is not).
  //   Our CHARSET on: REQUEST for UTF-8, once; ACCEPTED or REJECTED ends it, and a
  //     TTABLE-IS (never invited) is refused with TTABLE-REJECTED.
  //   A client's REQUEST: ACCEPTED "UTF-8" when it lists UTF-8, otherwise REJECTED; it
  //     is ignored while our own REQUEST waits for its answer, which it must give.
  // Anything else, or anything cut short, is ignored.
  void Take(const OptionNews& news, std::string& toClient);

  // The client's name, its first TTYPE answer as it came, at most kMaxClientNameBytes;
  // empty until it came.
  const std::string& Name() const { return name_; }
  // True once MTTS bit 64 came or SCREEN_READER came with a true value ("1", "true",
  // "yes" or "on" in any case); it stays true for the connection.
  bool WantsScreenReader() const { return screenReader_; }
  // True once the client agreed to UTF-8 by CHARSET or said it by MTTS bit 4.
  bool Utf8() const { return utf8_; }

  // Everything above and how far each question went, as the fields of one record
  // (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const;
  // False, leaving the query as it was, when `in` holds no query's state within the
  // bounds Take keeps.
  bool RestoreState(base::FieldReader& in);

 private:
  void TakeTtype(std::string_view data, std::string& toClient);
  void TakeCharset(std::string_view data, std::string& toClient);
  void TakeEnviron(std::string_view data);

  std::uint8_t ttypeAsked_ = 0;     // SENDs sent, at most 3
  std::uint8_t ttypeAnswered_ = 0;  // their answers taken
  std::string ttypeLast_;           // the last answer, at most kMaxClientNameBytes
  std::string name_;
  bool environAsked_ = false;
  bool charsetAsked_ = false;    // our REQUEST went out
  bool charsetWaiting_ = false;  // and waits for its answer
  bool screenReader_ = false;
  bool utf8_ = false;
};

}  // namespace telnet
