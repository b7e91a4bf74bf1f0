#include "telnet/client_query.h"

#include <gtest/gtest.h>

#include <string>

#include "telnet/telnet_protocol.h"

namespace {

using namespace std::string_literals;
using telnet::OptionNews;

std::string Sub(unsigned char option, const std::string& data) {
  return "\xFF\xFA"s + static_cast<char>(option) + data + "\xFF\xF0";
}

const std::string kTtypeSend = Sub(telnet::kOptionTtype, "\x01");

class QueryTest : public ::testing::Test {
 protected:
  // The client agreed to its side of `option` (WILL), or to ours (DO).
  std::string Agreed(unsigned char option, bool ours = false) {
    std::string out;
    query_.Take({option, OptionNews::Kind::Agreed, ours, {}}, out);
    return out;
  }
  std::string Said(unsigned char option, const std::string& data) {
    std::string out;
    query_.Take({option, OptionNews::Kind::Subnegotiation, false, data}, out);
    return out;
  }
  std::string Type(const std::string& name) { return Said(telnet::kOptionTtype, "\0"s + name); }

  telnet::ClientQuery query_;
};

TEST_F(QueryTest, TtypeAsksUntilANameRepeatsAndAtMostThreeTimes) {
  EXPECT_EQ(Agreed(telnet::kOptionTtype), kTtypeSend);
  EXPECT_EQ(Agreed(telnet::kOptionTtype), "");  // on again: no second round
  EXPECT_EQ(Type("XTERM"), kTtypeSend);
  EXPECT_EQ(Type("XTERM"), "");  // a plain client repeats its one type
  EXPECT_EQ(Type("XTERM"), "");  // and what answers no question is ignored
  EXPECT_EQ(query_.Name(), "XTERM");
  EXPECT_FALSE(query_.WantsScreenReader());

  telnet::ClientQuery fresh;
  std::swap(query_, fresh);
  Agreed(telnet::kOptionTtype);
  EXPECT_EQ(Type("A"), kTtypeSend);
  EXPECT_EQ(Type("B"), kTtypeSend);
  EXPECT_EQ(Type("C"), "");
  EXPECT_EQ(Type("MTTS 64"), "");  // unasked
  EXPECT_FALSE(query_.WantsScreenReader());
  EXPECT_EQ(query_.Name(), "A");
}

TEST_F(QueryTest, MttsBitsSayScreenReaderAndUtf8) {
  Agreed(telnet::kOptionTtype);
  Type("TINTIN++");
  Type("xterm");
  EXPECT_EQ(Type("MTTS 335"), "");
  EXPECT_TRUE(query_.WantsScreenReader());
  EXPECT_TRUE(query_.Utf8());
  EXPECT_EQ(telnet::ClientLabel(query_.Name()), "tintin++");
  EXPECT_EQ(telnet::ClientLabel("Mudlet 4.17"), "mudlet");
  EXPECT_EQ(telnet::ClientLabel("mudletx"), "other");
}

TEST_F(QueryTest, NewEnvironReadsOnlySomeScreenReaderVariable) {
  const std::string send = Agreed(telnet::kOptionNewEnviron);
  EXPECT_EQ(send, Sub(telnet::kOptionNewEnviron, "\x01\x03SCREEN_READER"));
  EXPECT_EQ(Agreed(telnet::kOptionNewEnviron), "");
  // IPADDRESS says nothing, "0" is no wish, a name cut short or longer is another one.
  Said(telnet::kOptionNewEnviron,
       "\0\0IPADDRESS\x01" "1\x03SCREEN_READER\x01" "0\x03SCREEN_READE\x01" "1\x03SCREEN_READERS\x01" "1"s);
  Said(telnet::kOptionNewEnviron, "\0\x03SCREEN_READER"s);  // undefined
  EXPECT_FALSE(query_.WantsScreenReader());
  // Escaped bytes are the name's own; INFO tells of a change.
  Said(telnet::kOptionNewEnviron, "\x02\x03SCREEN\x02_READER\x01True"s);
  EXPECT_TRUE(query_.WantsScreenReader());
}

TEST_F(QueryTest, CharsetOffersUtf8AndAnswersTheClientsRequest) {
  const std::string request = Sub(telnet::kOptionCharset, "\x01;UTF-8");
  EXPECT_EQ(Agreed(telnet::kOptionCharset, true), request);
  // While ours waits, the client's request is not answered; a table is refused.
  EXPECT_EQ(Said(telnet::kOptionCharset, "\x01 UTF-8"), "");
  EXPECT_EQ(Said(telnet::kOptionCharset, "\x04\x01junk"), Sub(telnet::kOptionCharset, "\x05"));
  EXPECT_EQ(Said(telnet::kOptionCharset, "\x02UTF-8"), "");  // no longer waiting
  EXPECT_FALSE(query_.Utf8());
  EXPECT_EQ(Agreed(telnet::kOptionCharset, true), "");  // asked once a connection

  EXPECT_EQ(Said(telnet::kOptionCharset, "\x01[TTABLE]\x01;ISO-8859-1;utf-8"),
            Sub(telnet::kOptionCharset, "\x02UTF-8"));
  EXPECT_TRUE(query_.Utf8());
  EXPECT_EQ(Said(telnet::kOptionCharset, "\x01 ISO-8859-1 UTF-16"), Sub(telnet::kOptionCharset, "\x03"));
  EXPECT_EQ(Said(telnet::kOptionCharset, "\x01"), Sub(telnet::kOptionCharset, "\x03"));
}

}  // namespace
