// Area access through cMMF: opening creates or attaches, writes replace the text from offset 0
// and leave older bytes behind, reads pad short texts, and no copy ever leaves the area.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "mmf/cMMF.h"
#include "mmf/send_text.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

using namespace std::string_literals;

bool ansi_is_utf8() { return mmfcast::platform::to_ansi(u"\u00e9").size() == 2; }

class AreaAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = mmfcast::platform::from_ansi(session_.name("area"));
    index_ = m_.AddMMFItem(name_, 4096);
    ASSERT_EQ(m_.OpenMMF(index_), 1);
    ASSERT_EQ(m_.GetMMFItem(index_, item_), 1);
    ASSERT_GE(mmfcast::platform::view_size(item_.lpMapView), 4096u);
  }
  const char* view() const { return reinterpret_cast<const char*>(item_.lpMapView); }
  char* mutable_view() { return reinterpret_cast<char*>(item_.lpMapView); }
  std::size_t size() const { return mmfcast::platform::view_size(item_.lpMapView); }
  std::string bytes(std::size_t n) const { return std::string(view(), n); }

  testsupport::ScopedSession session_;
  cMMF m_;
  std::u16string name_;
  std::int32_t index_ = 0;
  MMFItem item_;
};

TEST_F(AreaAccess, NewAreaIsZeroFilledAndOpenIsIdempotent) {
  EXPECT_NE(item_.hMapFile, 0u);
  EXPECT_NE(item_.lpMapView, 0u);
  EXPECT_EQ(std::string(size(), '\0'), bytes(size()));
  ASSERT_EQ(m_.OpenMMF(index_), 1);
  MMFItem again;
  ASSERT_EQ(m_.GetMMFItem(index_, again), 1);
  EXPECT_EQ(again, item_) << "a second open must not make a second mapping or view";
}

TEST_F(AreaAccess, OpenMapsAViewAgainForAHandleWithoutOne) {
  ASSERT_EQ(mmfcast::platform::UnmapViewOfFile(item_.lpMapView), 1);
  MMFItem unmapped = item_;
  unmapped.lpMapView = 0;
  ASSERT_EQ(m_.SetMMFItem(index_, unmapped), 1);
  ASSERT_EQ(m_.OpenMMF(index_), 1);
  ASSERT_EQ(m_.GetMMFItem(index_, item_), 1);
  EXPECT_EQ(item_.hMapFile, unmapped.hMapFile);
  ASSERT_NE(item_.lpMapView, 0u);
  EXPECT_EQ(m_.WriteMMF(index_, u"again"), 6);
  EXPECT_EQ(m_.ReadMMF(index_, 6), u"again");
}

TEST_F(AreaAccess, ShorterTextLeavesOlderBytesBehind) {
  EXPECT_EQ(m_.WriteMMF(index_, u"abcde"), 6);
  EXPECT_EQ(bytes(6), "abcde\0"s);
  EXPECT_EQ(m_.WriteMMF(index_, u"xy"), 3);
  EXPECT_EQ(bytes(6), "xy\0de\0"s);
  EXPECT_EQ(m_.ReadMMF(index_, 3), u"xy");
  EXPECT_EQ(m_.ReadMMF(index_, 6), u"xy\0\0\0"s) << "short texts come back padded";
  EXPECT_EQ(m_.ReadMMF(index_, 2), u"x");
  EXPECT_EQ(m_.WriteMMF(index_, u""), 1);
  EXPECT_EQ(bytes(3), "\0y\0"s);
}

TEST_F(AreaAccess, ReadLengthsOfOneOrLessGiveNothing) {
  ASSERT_EQ(m_.WriteMMF(index_, u"abc"), 4);
  EXPECT_EQ(m_.ReadMMF(index_, 1), u"");
  EXPECT_EQ(m_.ReadMMF(index_, 0), u"");
  EXPECT_EQ(m_.ReadMMF(index_, -7), u"");
  EXPECT_EQ(m_.ReadMMF(index_, INT32_MIN), u"");
}

TEST_F(AreaAccess, ItemsThatAreNotOpenAreRefused) {
  const std::int32_t closed = m_.AddMMFItem(name_ + u"-unopened", 4096);
  for (std::int32_t i : {0, -1, 99, closed}) {
    EXPECT_EQ(m_.WriteMMF(i, u"abc"), 0) << i;
    EXPECT_EQ(m_.ReadMMF(i, 4), u"") << i;
    EXPECT_EQ(m_.CloseMMF(i), 0) << i;
  }
  EXPECT_EQ(m_.OpenMMF(0), 0);
  EXPECT_EQ(m_.OpenMMF(99), 0);
}

TEST_F(AreaAccess, CloseReleasesNothing) {
  EXPECT_EQ(m_.CloseMMF(index_), 0);
  EXPECT_EQ(m_.WriteMMF(index_, u"still"), 6);
  EXPECT_EQ(m_.ReadMMF(index_, 6), u"still");
  MMFItem after;
  ASSERT_EQ(m_.GetMMFItem(index_, after), 1);
  EXPECT_EQ(after, item_);
}

TEST_F(AreaAccess, UnusableNamesAndSizesOpenNothing) {
  EXPECT_EQ(m_.OpenMMF(m_.AddMMFItem(u"", 4096)), 0);
  EXPECT_EQ(m_.OpenMMF(m_.AddMMFItem(name_ + u"-negative", -1)), 0);
  EXPECT_EQ(m_.OpenMMF(m_.AddMMFItem(name_ + u"-empty", 0)), 0);
  EXPECT_EQ(m_.OpenMMF(m_.AddMMFItem(name_ + u"\0hidden"s, 4096)), 0)
      << "a name with a zero character must not open the shorter name";
}

TEST_F(AreaAccess, NonAsciiTextsRoundTripWhole) {
  // Representable in every ANSI code page these tests run with.
  EXPECT_EQ(m_.WriteMMF(index_, u"h\u00e9llo"), 6);
  EXPECT_EQ(m_.ReadMMF(index_, 6), u"h\u00e9llo");
  if (!ansi_is_utf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8";
  const std::u16string texts[] = {u"Gr\u00fc\u00dfe", u"\u4f60\u597d", u"a\U0001F600b"};
  for (const auto& text : texts) {
    const auto n = static_cast<std::int32_t>(text.size());
    EXPECT_EQ(m_.WriteMMF(index_, text), n + 1);
    EXPECT_EQ(m_.ReadMMF(index_, n + 1), text);
    EXPECT_EQ(m_.ReadMMF(index_, n), text.substr(0, n - 1)) << "a shorter read, whole";
  }
}

TEST_F(AreaAccess, ReadNeverSplitsASurrogatePair) {
  if (!ansi_is_utf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8";
  ASSERT_EQ(m_.WriteMMF(index_, u"a\U0001F600b"), 5);
  EXPECT_EQ(m_.ReadMMF(index_, 3), u"a\0"s) << "half a pair is not a character";
}

TEST_F(AreaAccess, TextLargerThanTheAreaIsCutInsideIt) {
  const std::size_t area = size();
  const std::u16string big(area + 100, u'x');
  // The result counts what went in, so a receiver reading that many stays inside the area.
  EXPECT_EQ(m_.WriteMMF(index_, big), static_cast<std::int32_t>(area));
  EXPECT_EQ(bytes(area - 1), std::string(area - 1, 'x'));
  EXPECT_EQ(view()[area - 1], '\0') << "the zero byte stays inside the area";
  const std::u16string back = m_.ReadMMF(index_, static_cast<std::int32_t>(big.size() + 1));
  EXPECT_EQ(back.size(), area) << "never more characters than the area has bytes";
  EXPECT_EQ(back.substr(0, area - 1), std::u16string(area - 1, u'x'));
}

TEST_F(AreaAccess, CutFallsOnACharacterBoundary) {
  if (!ansi_is_utf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8";
  const std::size_t area = size();
  const std::u16string text = u"a" + std::u16string(area / 2, u'\u00e9');  // too big by 2 bytes
  ASSERT_EQ(m_.WriteMMF(index_, text), static_cast<std::int32_t>((area - 2) / 2 + 2));
  const std::string stored(view());
  EXPECT_LE(stored.size(), area - 1);
  EXPECT_EQ(mmfcast::platform::to_ansi(mmfcast::platform::from_ansi(stored)), stored)
      << "no split character";
  EXPECT_EQ(mmfcast::platform::from_ansi(stored), text.substr(0, (area - 2) / 2 + 1));
}

TEST_F(AreaAccess, AreaWithoutAZeroByteReadsBackBounded) {
  std::memset(mutable_view(), 'z', size());
  const std::u16string back = m_.ReadMMF(index_, INT32_MAX);
  EXPECT_EQ(back, std::u16string(size(), u'z'));
  EXPECT_EQ(m_.ReadMMF(index_, 4), u"zzz");
}

#if !defined(_WIN32)
// A receiver reads a notified line from the area in one pass. It must be exactly what ReadMMF
// and to_ansi make of the same bytes, up to the first character of code 0: ill-formed bytes
// become U+FFFD, a character that does not fit whole in the announced length is left out.
TEST_F(AreaAccess, OnePassReadOfALineIsWhatReadMmfGives) {
  std::mt19937 random(20261209);
  const std::string pieces[] = {"a",
                                "\xC3\xA9",
                                "\xE4\xB8\xAD",
                                "\xF0\x9F\x98\x80",
                                "\xEF\xBF\xBD",
                                "\xC3",
                                "\xE4\xB8",
                                "\xF0\x9F\x98",
                                "\x80",
                                "\xFF",
                                "\xED\xA0\x80",
                                "\xC0\xAF",
                                "\xF4\x90\x80\x80",
                                std::string(1, '\0')};
  for (int round = 0; round < 3000; ++round) {
    std::string stored;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) stored += pieces[random() % std::size(pieces)];
    std::memset(mutable_view(), 0, 64);
    std::memcpy(mutable_view(), stored.data(), std::min<std::size_t>(stored.size(), 63));
    const auto length = static_cast<mmfcast::platform::WParam>(random() % 20);
    const std::u16string padded = m_.ReadMMF(index_, static_cast<std::int32_t>(length));
    const std::string expected =
        mmfcast::platform::to_ansi(std::u16string_view(padded).substr(0, padded.find(u'\0')));
    SCOPED_TRACE(testsupport::to_hex8(stored) + " length " + std::to_string(length));
    ASSERT_EQ(mmfcast::read_notified_line(item_.lpMapView, size(), length), expected);
  }
  EXPECT_EQ(mmfcast::read_notified_line(0, 0, 5), std::nullopt);
}
#endif

TEST_F(AreaAccess, AnotherProcessAttachesAndSeesTheText) {
  ASSERT_EQ(m_.WriteMMF(index_, u"from the first"), 15);
  testsupport::ChildProcess other({"area", mmfcast::platform::to_ansi(name_), "100"});
  ASSERT_EQ(other.read_line(), "open 1");
  other.write_line("read 15");
  EXPECT_EQ(other.read_line(), testsupport::to_hex16(u"from the first"));
  other.write_line("write " + testsupport::to_hex16(u"reply"));
  EXPECT_EQ(other.read_line(), "6");
  EXPECT_EQ(m_.ReadMMF(index_, 15), u"reply\0\0\0\0\0\0\0\0\0"s);
  EXPECT_EQ(bytes(15), "reply\0he first\0"s);
  other.write_line("quit");
  EXPECT_EQ(other.wait(), 0);
}

}  // namespace
