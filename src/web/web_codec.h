// The web door's codec: an HTTP/1.1 server for the client page whose WebSocket
// upgrade, once answered, makes the connection a player; each text message is then one
// line and each game frame one text message. Used as every codec is (connection/codec.h):
// by one thread at a time, the holder of ConnectionLock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/address.h"
#include "connection/codec.h"

namespace web {

// The entity tags of the files the page is made of, each a hash of its bytes.
struct PageTags {
  std::string page;
  std::string script;
  std::string style;
  std::string mudletPackage;
};

// Hashes the page's files. They are compiled in, so every call gives the same tags.
PageTags TagPageFiles();

struct WebCodecOptions {
  std::vector<std::string> origins;  // origins let in besides the page's own
  PageTags tags = TagPageFiles();    // made once for a door, with its options
  // The HTTPS twin's port when it is open and this is the plain door: every request is
  // answered with a redirect to it (308). 0: none.
  std::uint16_t redirectToPort = 0;
  bool hsts = false;  // this is the HTTPS door: every answer says to come back over HTTPS
  // Trusted proxies (PELTHOLLOW_PROXIES): their requests' forwarded headers name the client.
  std::vector<base::AddressBlock> proxies;
};

// Makes the codec of one connection to the web door. The door's codecs share
// `options`, which the codec holds only until its upgrade.
std::unique_ptr<connection::Codec> MakeWebCodec(std::shared_ptr<const WebCodecOptions> options,
                                               const connection::Endpoints& endpoints = {});

// The web door's maker for the connection layer: every codec it makes shares `options`.
connection::CodecMaker WebCodecMaker(WebCodecOptions options);

}  // namespace web
