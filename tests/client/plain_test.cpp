#include "client/plain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/terminal_model.h"

namespace {

using Rows = std::vector<std::string>;

// Plain mode on a terminal of 6 rows by 20 columns, keys typed as the client's loop
// takes them.
class PlainTest : public ::testing::Test {
 protected:
  PlainTest() {
    plain_.columns = 20;
    terminal_.Feed("\x1b[2J");  // blank, not the model's '~'
  }

  // Types `bytes`, one read of the terminal, and returns what was written for them.
  std::string Type(const std::string& bytes) {
    std::vector<client::Key> keys;
    for (const char byte : bytes)
      client::DecodeKeyByte(decoder_, static_cast<unsigned char>(byte), keys);
    std::string out;
    std::string finished;
    for (const client::Key& key : keys) {
      if (!client::PlainTakesKey(key) || !client::ApplyKey(editor_, key, finished)) continue;
      sent_.push_back(finished);
      client::ShowPlainSent(plain_, finished, out);
    }
    client::DrawPlainInput(plain_, editor_, out);
    return Written(out);
  }
  std::string Show(const std::string& text) {
    std::string out;
    client::ShowPlainText(plain_, text, out);
    return Written(out);
  }
  std::string Written(const std::string& out) {
    terminal_.Feed(out);
    all_ += out;
    return out;
  }
  Rows Screen() const {
    Rows rows;
    for (int row = 1; row <= 6; ++row) rows.push_back(terminal_.Text(row));
    return rows;
  }

  client::PlainLines plain_;
  client::LineEditor editor_;
  client::KeyDecoder decoder_;
  client_test::TerminalModel terminal_{6, 20};
  std::vector<std::string> sent_;
  std::string all_;  // every byte written
};

TEST_F(PlainTest, ATextGetsRowsOfItsOwnAndTheHalfTypedLineComesAfterIt) {
  Show("Welcome");
  Type("say I am half");
  EXPECT_EQ(Show("Birchpaw: hi\n\x1b[2Jtwo"),
            "\r             \rBirchpaw: hi\r\n^[[2Jtwo\r\nsay I am half");
  Type(" way\r");
  EXPECT_EQ(Show("Ash: I am half way"),
            "Ash: I am half way\r\n");  // nothing typed: nothing blanked
  EXPECT_EQ(sent_, std::vector<std::string>{"say I am half way"});
  EXPECT_EQ(Screen(), (Rows{"Welcome", "Birchpaw: hi", "^[[2Jtwo", "say I am half way",
                            "Ash: I am half way", ""}));
  EXPECT_EQ(all_.find('\x1b'), std::string::npos);
}

TEST_F(PlainTest, BackspaceCtrlUAndUpEraseWhatTheyTakeAndThePasswordNeverShows) {
  Type("look\r");
  Type("login Ash moo\x7f\x7fxy");
  EXPECT_EQ(terminal_.Text(2), "login Ash ***");
  Type("\x1b[D\x1b[H");  // cursor keys are dropped: the echo stays true
  Type("\x15");          // Ctrl-U
  EXPECT_EQ(terminal_.Text(2), "");
  EXPECT_EQ(Type("\x1b[A"), "look");  // Up recalls the last line
  EXPECT_EQ(Type("\x7f"), "\b \b");
  Type("\x15login Ash moon\r\t\r");
  EXPECT_EQ(sent_, (std::vector<std::string>{"look", "login Ash moon", "\t"}));
  EXPECT_EQ(Screen(), (Rows{"look", "login Ash ****", "^I", "", "", ""}));
  EXPECT_EQ(all_.find("mo"), std::string::npos);
  EXPECT_EQ(all_.find('\x1b'), std::string::npos);
  Type("\xE6\x97\xA5");  // a wide character takes two columns, and BS erases both
  EXPECT_EQ(Type("\x7f"), "\b\b  \b\b");
}

TEST_F(PlainTest, ALineThatMayHaveWrappedIsNeverErasedWithBackspace) {
  Type("say 0123456789abcdef");  // 20 columns: as wide as the terminal
  EXPECT_EQ(Show("hi"), "\r\nhi\r\nsay 0123456789abcdef");
  EXPECT_EQ(Type("\x7f"), "\r\nsay 0123456789abcde");
}

}  // namespace
