// GMCP, the structured side channel of MUD clients, as the codecs that carry it share
// it: the packages a client listed with Core.Supports, and the client's name from
// Core.Hello. Messages are "Package.Name" and, after a blank, their JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/fields.h"

namespace telnet {

// The longest GMCP message a client may send; longer ones are dropped.
inline constexpr std::size_t kMaxGmcpBytes = 4096;
// The deepest JSON of a client's message that is parsed: arrays and objects nested
// deeper are dropped before any work is done on them.
inline constexpr int kMaxGmcpDepth = 16;

// True when `text` holds no array or object nested deeper than `depth` (strings read as
// JSON reads them). A look at each byte, no parse.
bool JsonNestingWithin(std::string_view text, int depth);

class GmcpClient {
 public:
  // Takes one message from the client. Core.Supports.Set replaces the list of
  // packages, .Add and .Remove change it ("Room 1": the package and its version);
  // Core.Hello names the client. Anything else, JSON that does not parse, or JSON
  // nested deeper than kMaxGmcpDepth is ignored. Returns true when the message was
  // Core.Hello.
  bool Take(std::string_view message);

  // Whether a message named `name` ("Room.Info") belongs to a listed package: "Room"
  // or "Room.Info" listed. Nothing is wanted before a list came.
  bool Wants(std::string_view name) const;
  bool Listed() const { return listed_; }

  const std::string& ClientName() const { return client_; }

  // The packages listed and the client's name, as the fields of one record.
  void SaveState(base::FieldWriter& out) const;
  // False, leaving the client as it was, when `in` holds no client's state within the
  // bounds Take keeps.
  bool RestoreState(base::FieldReader& in);

 private:
  std::vector<std::string> packages_;  // bounded: at most kMaxPackages
  std::string client_;
  bool listed_ = false;
};

}  // namespace telnet
