// Telnet on the wire (RFC 854, 855, 1143), the status protocol MSSP, and the options
// by which a client says what it is (TTYPE with MTTS, CHARSET, NEW-ENVIRON): the byte
// values that the reader, the writer and the client query of the telnet port share.
// Constants only.
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
// client agrees, offers GMCP (structured data beside the text) and CHARSET, and asks
// the client for TTYPE and NEW-ENVIRON. Every other option is refused.
inline constexpr unsigned char kOptionTtype = 24;       // RFC 1091
inline constexpr unsigned char kOptionNewEnviron = 39;  // RFC 1572
inline constexpr unsigned char kOptionCharset = 42;     // RFC 2066
inline constexpr unsigned char kOptionMssp = 70;
inline constexpr unsigned char kOptionGmcp = 201;
inline constexpr unsigned char kMsspVar = 1;  // MSSP data: kMsspVar name kMsspVal value ...
inline constexpr unsigned char kMsspVal = 2;

// TTYPE: IAC SB TTYPE SEND IAC SE asks for the next name of the client's list, IAC SB
// TTYPE IS name IAC SE answers. MUD clients (MTTS) answer their own name, then their
// terminal type, then "MTTS " and a decimal number of these bits, then that again.
inline constexpr unsigned char kTtypeIs = 0;
inline constexpr unsigned char kTtypeSend = 1;
inline constexpr unsigned kMttsUtf8 = 4;
inline constexpr unsigned kMttsScreenReader = 64;

// NEW-ENVIRON: SEND asks for variables, IS answers, INFO tells of a change; in their
// lists VAR or USERVAR starts a name, VALUE its value, ESC takes the next byte as it is.
inline constexpr unsigned char kEnvironIs = 0;
inline constexpr unsigned char kEnvironSend = 1;
inline constexpr unsigned char kEnvironInfo = 2;
inline constexpr unsigned char kEnvironVar = 0;
inline constexpr unsigned char kEnvironValue = 1;
inline constexpr unsigned char kEnvironEsc = 2;
inline constexpr unsigned char kEnvironUserVar = 3;

// CHARSET: REQUEST, a separator byte and the character sets in that order of
// preference; ACCEPTED and the one chosen, or REJECTED. The translation tables
// (TTABLE-*) are answered only as far as refusing them.
inline constexpr unsigned char kCharsetRequest = 1;
inline constexpr unsigned char kCharsetAccepted = 2;
inline constexpr unsigned char kCharsetRejected = 3;
inline constexpr unsigned char kCharsetTtableIs = 4;
inline constexpr unsigned char kCharsetTtableRejected = 5;

}  // namespace telnet
