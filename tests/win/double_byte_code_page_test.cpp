// Texts under a double-byte ANSI code page (932, Shift-JIS): the area holds the code page's
// bytes, WriteMMF and ReadMMF count characters rather than bytes, a text cut at the end of the
// area loses whole characters only, and a lead byte with nothing after it (written by another
// process) is read without harm, and another copy receives a text whole. The suite runs only where
// the ANSI code page is 932.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

using namespace std::string_literals;

class DoubleByteCodePage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::GetACP() != 932) {
      GTEST_SKIP() << "the ANSI code page is " << ::GetACP()
                   << ", not 932 (under Wine, MMFCAST_WINE_LOCALE=ja_JP.UTF-8 gives 932)";
    }
    index_ = m_.AddMMFItem(mmfcast::platform::from_ansi(session_.name("dbcs")), 4096);
    ASSERT_EQ(m_.OpenMMF(index_), 1);
    ASSERT_EQ(m_.GetMMFItem(index_, item_), 1);
    ASSERT_EQ(mmfcast::platform::view_size(item_.lpMapView), 4096u);
  }
  char* view() const { return reinterpret_cast<char*>(item_.lpMapView); }

  testsupport::ScopedSession session_;
  cMMF m_;
  std::int32_t index_ = 0;
  MMFItem item_;
};

// "a", half-width katakana A (one byte), "日本" (two bytes each), "b".
const std::u16string kMixed = u"a\uff71\u65e5\u672cb";
const std::string kMixedBytes =
    "a\xb1\x93\xfa\x96\x7b"
    "b";

TEST_F(DoubleByteCodePage, AreaHoldsTheCodePagesBytesAndReadsBackWhole) {
  EXPECT_EQ(mmfcast::platform::to_ansi(kMixed), kMixedBytes);
  EXPECT_EQ(m_.WriteMMF(index_, kMixed), 6) << "characters plus one, not bytes";
  EXPECT_EQ(std::string(view(), kMixedBytes.size() + 1), kMixedBytes + '\0');
  EXPECT_EQ(m_.ReadMMF(index_, 6), kMixed);
}

TEST_F(DoubleByteCodePage, ReadCountsCharactersNotBytes) {
  ASSERT_EQ(m_.WriteMMF(index_, kMixed), 6);
  EXPECT_EQ(m_.ReadMMF(index_, 3), u"a\uff71");
  EXPECT_EQ(m_.ReadMMF(index_, 4), u"a\uff71\u65e5") << "the whole double-byte character";
  EXPECT_EQ(m_.ReadMMF(index_, 8), kMixed + u"\0\0"s);
}

TEST_F(DoubleByteCodePage, TextTooBigForTheAreaLosesWholeCharactersOnly) {
  // One byte, then 2048 double-byte characters: 4097 bytes for 4095 places.
  const std::u16string text = u"a" + std::u16string(2048, u'\u65e5');
  const auto n = static_cast<std::int32_t>(text.size());
  ASSERT_EQ(m_.WriteMMF(index_, text), 2049) << "the characters stored, + 1";
  const std::string stored(view());
  EXPECT_EQ(stored.size(), 4095u) << "1 + 2 x 2047 bytes, and no lone lead byte";
  EXPECT_EQ(mmfcast::platform::from_ansi(stored), text.substr(0, 2048));
  EXPECT_EQ(m_.ReadMMF(index_, n + 1), text.substr(0, 2048) + u"\0"s);
}

TEST_F(DoubleByteCodePage, LeadByteAtTheEndOfTheAreaIsReadWithoutHarm) {
  // Another process left the area full, its last byte a lead byte, and no zero byte anywhere.
  std::memset(view(), 'x', 4095);
  view()[4095] = '\x93';
  const std::u16string read = m_.ReadMMF(index_, 5000);
  ASSERT_EQ(read.size(), 4096u) << "bounded by the area";
  EXPECT_EQ(read.substr(0, 4095), std::u16string(4095, u'x'));

  std::memcpy(view(), "ab\x93\0", 4);
  const std::u16string short_read = m_.ReadMMF(index_, 10);
  ASSERT_EQ(short_read.size(), 9u);
  EXPECT_EQ(short_read.substr(0, 2), u"ab");
}

// The checked conversions walk the code page's characters: a lead byte cut short is named by its
// offset, a character the code page lacks by its place, and a double-byte text converts whole.
TEST_F(DoubleByteCodePage, CheckedConversionsNameTheByteOrCharacterThatStopsThem) {
  std::u16string text;
  EXPECT_EQ(mmfcast::platform::decode_exact("a\x93\xfa\x96\x7b", text), "");
  EXPECT_EQ(text, u"a\u65e5\u672c");
  EXPECT_EQ(mmfcast::platform::decode_exact("a\x93\xfa\x82", text),
            "byte 0x82 at offset 3 is not valid in code page 932");
  std::string bytes;
  EXPECT_EQ(mmfcast::platform::encode_exact(u"\u65e5\u672c\u0e01", bytes),
            "U+0E01 at character 3 has no form in code page 932");
}

TEST_F(DoubleByteCodePage, AnotherCopyReceivesTheTextWhole) {
  testsupport::ChildProcess receiver({"hooked", session_.name("dbcs-message")});
  const std::optional<std::string> ready = receiver.read_line();
  ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0);
  const auto id = static_cast<std::int32_t>(std::stol(ready->substr(6)));

  cMMF sender;
  const std::int32_t area = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  ASSERT_EQ(sender.OpenMMF(area), 1);
  const std::u16string text = kMixed + u"\u3042\u3044";
  const auto n = static_cast<std::int32_t>(text.size());
  ASSERT_EQ(sender.WriteMMF(area, text), n + 1);
  ASSERT_EQ(sender.SendMesageAll(u"", id, n + 1, 0), mmfcast::MMFVariant(id));
  std::optional<std::string> line;
  do {
    line = receiver.read_line();
  } while (line && line->rfind("data ", 0) != 0);
  EXPECT_EQ(line, "data " + testsupport::to_hex16(text));
  receiver.write_line("quit");
  EXPECT_EQ(receiver.wait(), 0);
}

}  // namespace
