#include "client/editor.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr char kLeft[] = "\x1b[D";
constexpr char kRight[] = "\x1b[C";
constexpr char kBackspace[] = "\x7f";

// Keys typed as a terminal in raw mode sends them.
class EditorTest : public ::testing::Test {
 protected:
  void Type(const std::string& bytes) {
    std::vector<client::Key> keys;
    for (const char byte : bytes) {
      client::DecodeKeyByte(decoder_, static_cast<unsigned char>(byte), keys);
    }
    Apply(keys);
  }
  void Pause() {  // no further byte arrives in time
    std::vector<client::Key> keys;
    client::DecoderTimedOut(decoder_, keys);
    Apply(keys);
  }
  const std::string& Line() const { return editor_.editLine; }
  int Column() const { return client::CursorColumn(editor_); }
  std::vector<std::string> Sent() { return std::exchange(sent_, {}); }

  client::LineEditor editor_;

 private:
  void Apply(const std::vector<client::Key>& keys) {
    for (const client::Key& key : keys) {
      std::string finished;
      if (client::ApplyKey(editor_, key, finished)) sent_.push_back(finished);
    }
  }

  client::KeyDecoder decoder_;
  std::vector<std::string> sent_;
};

TEST_F(EditorTest, TypesAtTheEndAndInsertsInTheMiddle) {
  Type("abc");
  EXPECT_EQ(Line(), "abc");
  EXPECT_EQ(Column(), 4);
  Type(std::string(kLeft) + kLeft + "x");
  EXPECT_EQ(Line(), "axbc");
  EXPECT_EQ(Column(), 3);
}

TEST_F(EditorTest, BackspaceRemovesTheCharacterLeftOfTheCursor) {
  Type(kBackspace);  // column 1: nothing to remove
  EXPECT_EQ(Line(), "");
  EXPECT_EQ(Column(), 1);
  Type("abcd");
  Type(std::string(kLeft) + kLeft + kBackspace);
  EXPECT_EQ(Line(), "acd");
  EXPECT_EQ(Column(), 2);
  Type("\b");  // 8 is Backspace too
  EXPECT_EQ(Line(), "cd");
  EXPECT_EQ(Column(), 1);
  Type(kBackspace);
  EXPECT_EQ(Line(), "cd");
  EXPECT_EQ(Column(), 1);
}

TEST_F(EditorTest, LeftAndRightStopAtBothEnds) {
  Type("ab");
  Type(kRight);
  EXPECT_EQ(Column(), 3);
  Type(std::string(kLeft) + kLeft + kLeft + kLeft);
  EXPECT_EQ(Column(), 1);
  Type(kRight);
  EXPECT_EQ(Column(), 2);
  EXPECT_EQ(Line(), "ab");
}

TEST_F(EditorTest, ApplicationCursorKeysMoveToo) {
  Type("ab\x1bOD");
  EXPECT_EQ(Column(), 2);
  Type("\x1bOC");
  EXPECT_EQ(Column(), 3);
}

TEST_F(EditorTest, OtherEscapeSequencesChangeNothing) {
  Type("ab");
  // Page Up, F1, F5, Ctrl-Left, Shift-Up
  Type("\x1b[5~\x1bOP\x1b[15~\x1b[1;5D\x1b[1;2A");
  EXPECT_EQ(Line(), "ab");
  EXPECT_EQ(Column(), 3);
}

TEST_F(EditorTest, EscapeAndAKeyTypeBothAndALoneEscapeIsTyped) {
  Type("\x1bx");  // Alt+x
  EXPECT_EQ(Line(), "\x1bx");
  Type("\x1b");
  Pause();
  Type("\x1b\x1b[D!");  // Escape, then Left
  EXPECT_EQ(Line(), "\x1bx\x1b!\x1b");
}

TEST_F(EditorTest, EditingKeysMoveAndErase) {
  Type("say hello there");
  Type("\x1b[H>\x1b[F<");  // Home, End
  EXPECT_EQ(Line(), ">say hello there<");
  Type("\x01\x1b[3~\x05\x1b[3~");  // Ctrl-A Delete, Ctrl-E Delete (nothing under it)
  EXPECT_EQ(Line(), "say hello there<");
  Type(std::string(kLeft) + "\x17\x17");  // Ctrl-W twice: "there", then "hello "
  EXPECT_EQ(Line(), "say <");
  EXPECT_EQ(Column(), 5);
  Type(std::string(kLeft) + "\x0b");  // Ctrl-K
  EXPECT_EQ(Line(), "say");
  Type("\x15");  // Ctrl-U
  EXPECT_EQ(Line(), "");
  EXPECT_EQ(Column(), 1);
}

TEST_F(EditorTest, UpAndDownRecallSentLinesAndKeepTheHalfTypedOne) {
  Type("look\rsay hi\rsay hi\rsay ha");  // a repeat is kept once
  Type("\x1b[A");
  EXPECT_EQ(Line(), "say hi");
  EXPECT_EQ(Column(), 7);
  Type("\x1b[A\x1b[A");  // the oldest stays
  EXPECT_EQ(Line(), "look");
  Type("\x1b[B\x1b[B");
  EXPECT_EQ(Line(), "say ha");
  Type("\x1b[B");
  EXPECT_EQ(Line(), "say ha");
  Type("\x1b[A!\r");  // an edited recalled line is sent and remembered
  EXPECT_EQ(Sent(), (std::vector<std::string>{"look", "say hi", "say hi", "say hi!"}));
  for (int i = 0; i < 120; ++i) Type(std::to_string(i) + "\r");
  EXPECT_EQ(editor_.history.size(), client::kHistoryLines);
  EXPECT_EQ(editor_.history.front(), "20");
}

TEST_F(EditorTest, LinesWithAPasswordAreSentButNeverRecalled) {
  // Words split at single spaces and the command word compared exactly, as the server
  // does: "login  Ash pw" takes "Ash" as the password, "Login" is no login.
  const std::vector<std::string> lines = {"say hi", "login Leafstar pw", "login  Leafstar pw",
                                          "setup Ash pw she 8 kit moss \" a \" - -", "login Ash",
                                          "Login Ash pw"};
  for (const std::string& line : lines) Type(line + "\r");
  EXPECT_EQ(Sent(), lines);
  EXPECT_EQ(editor_.history, (std::deque<std::string>{"say hi", "login Ash", "Login Ash pw"}));
}

TEST_F(EditorTest, EnterHandsTheLineOverAndKeysAfterItStartTheNextLine) {
  Type("say hi\rlo");
  EXPECT_EQ(Sent(), std::vector<std::string>{"say hi"});
  EXPECT_EQ(Line(), "lo");
  EXPECT_EQ(Column(), 3);
  Type("ok\n\r");  // 10 is Enter too; Enter on an empty line hands over ""
  EXPECT_EQ(Sent(), (std::vector<std::string>{"look", ""}));
}

TEST_F(EditorTest, EnterWithTheCursorInTheMiddleSendsTheWholeLine) {
  Type(std::string("look") + kLeft + kLeft + "\r");
  EXPECT_EQ(Sent(), std::vector<std::string>{"look"});
  EXPECT_EQ(Column(), 1);
}

TEST_F(EditorTest, AUtf8CharacterIsOneCharacter) {
  Type("a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x90\xB1z");  // a é 日 🐱 z
  EXPECT_EQ(Column(), 6);
  Type(std::string(kLeft) + kLeft);
  EXPECT_EQ(Column(), 4);
  Type(kBackspace);  // removes 日 whole
  EXPECT_EQ(Line(), "a\xC3\xA9\xF0\x9F\x90\xB1z");
  Type(std::string(kLeft) + "\xC3\xB6");  // ö before é
  EXPECT_EQ(Line(), "a\xC3\xB6\xC3\xA9\xF0\x9F\x90\xB1z");
  EXPECT_EQ(Column(), 3);
  Type(std::string(kRight) + kRight);
  EXPECT_EQ(Column(), 5);
}

TEST_F(EditorTest, ACharacterSplitOverReadsIsGatheredFirst) {
  Type("\xE6");
  Type("\x97");
  EXPECT_EQ(Line(), "");  // nothing half-drawn
  Type("\xA5");
  EXPECT_EQ(Line(), "\xE6\x97\xA5");
  EXPECT_EQ(Column(), 2);
}

// ---- Malformed input -------------------------------------------------------------

TEST_F(EditorTest, MalformedBytesAreCharactersOfTheirOwn) {
  Type("\xFF\x80" "a");
  EXPECT_EQ(Line(), "\xFF\x80" "a");
  EXPECT_EQ(Column(), 4);
  Type("\xC3" "b");  // a lead byte cut short by a plain character
  EXPECT_EQ(Line(), "\xFF\x80" "a\xC3" "b");
  Type("\xE0\x80\x80");  // an overlong form: three characters
  EXPECT_EQ(Column(), 9);
  Type(std::string(kBackspace) + kBackspace + kBackspace + kBackspace);
  EXPECT_EQ(Line(), "\xFF\x80" "a\xC3");
  Type("\xC3");
  Pause();  // an unfinished character that never completes
  EXPECT_EQ(Line(), "\xFF\x80" "a\xC3\xC3");
}

TEST_F(EditorTest, TheCursorNeverEndsInsideACharacter) {
  // E2 and 82 stand alone; a stray AC typed between them makes them one character.
  editor_.editLine = "\xE2\x82";
  editor_.cursor = 1;
  std::string finished;
  client::ApplyKey(editor_, client::Key{client::KeyKind::Character, "\xAC"}, finished);
  EXPECT_EQ(Line(), "\xE2\xAC\x82");
  EXPECT_EQ(editor_.cursor, 3u);
  EXPECT_EQ(Column(), 2);
}

TEST_F(EditorTest, ControlCharactersAreTyped) {
  Type("a\tb\x02");
  EXPECT_EQ(Line(), "a\tb\x02");
}

TEST_F(EditorTest, ABrokenSequenceGivesItsLastByteBack) {
  Type("\x1b[\x02" "a");
  EXPECT_EQ(Line(), "\x02" "a");
}

}  // namespace
