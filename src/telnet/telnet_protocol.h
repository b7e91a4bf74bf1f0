// Telnet on the wire (RFC 854, 855, 1143) and the status protocol MSSP: the byte
// values that the reader and the writer of the telnet port share. Constants only.
#pragma once

namespace telnet {

// Commands, each sent after kIac.
inline constexpr unsigned char kSe = 240;  // end of subnegotiation
inline constexpr unsigned char kNop = 241;
inline constexpr unsigned char kSb = 250;  // start of subnegotiation: kIac kSb option ... kIac kSe
inline constexpr unsigned char kWill = 251;  // kWill, kWont, kDo, kDont are followed by an option
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kIac = 255;  // starts a command; kIac kIac is the data byte 255

// The options this server takes up: it offers MSSP and sends its status when the
// client agrees, and offers GMCP (structured data beside the text). Every other option
// is refused.
inline constexpr unsigned char kOptionMssp = 70;
inline constexpr unsigned char kOptionGmcp = 201;
inline constexpr unsigned char kMsspVar = 1;  // MSSP data: kMsspVar name kMsspVal value ...
inline constexpr unsigned char kMsspVal = 2;

}  // namespace telnet
