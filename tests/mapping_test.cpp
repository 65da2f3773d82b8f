// Named mappings, the bounded string copy and the ANSI conversions, through the platform
// interface alone, so the same cases hold for every backend. Sizes are whole pages where a
// view's size is checked, since Windows reports views in pages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

using mmfcast::platform::Handle;
using mmfcast::platform::ViewAddr;

constexpr std::uint32_t kReadWrite =
    mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite;
constexpr std::uint32_t kPage = 4096;

// A handle and its view, both released when the object goes.
struct Mapping {
  Handle handle = 0;
  ViewAddr view = 0;

  explicit Mapping(Handle h) : handle(h) {
    if (h != 0) view = mmfcast::platform::MapViewOfFile(h, kReadWrite, 0, 0, 0);
  }
  ~Mapping() {
    if (view != 0) mmfcast::platform::UnmapViewOfFile(view);
    if (handle != 0) mmfcast::platform::CloseHandle(handle);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  char* bytes() const { return reinterpret_cast<char*>(view); }
  std::size_t size() const { return mmfcast::platform::view_size(view); }
  bool ok() const { return handle != 0 && view != 0; }
  void put(const char* text) const { std::memcpy(bytes(), text, std::strlen(text) + 1); }
};

Handle create_handle(const std::string& name, std::uint32_t size) {
  return mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                               mmfcast::platform::kPageReadWrite, 0, size,
                                               name.c_str());
}

Handle open_handle(const std::string& name) {
  return mmfcast::platform::OpenFileMappingA(kReadWrite, 0, name.c_str());
}

class MappingTest : public ::testing::Test {
 protected:
  std::string name(const std::string& base) const { return session_.name(base); }

  testsupport::ScopedSession session_;
};

TEST_F(MappingTest, CreateGivesZeroFilledAreaOfTheRequestedSize) {
  Mapping m(create_handle(name("fresh"), kPage));
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(m.size(), kPage);
  for (std::size_t i = 0; i < kPage; ++i) ASSERT_EQ(m.bytes()[i], 0) << "offset " << i;
}

TEST_F(MappingTest, OpenOfNameNoOneCreatedGivesZero) {
  EXPECT_EQ(open_handle(name("never-created")), 0u);
}

TEST_F(MappingTest, CreateOnLiveNameReturnsExistingMappingWithItsSize) {
  const std::string n = name("existing");
  Mapping first(create_handle(n, kPage));
  ASSERT_TRUE(first.ok());
  first.put("first");

  Mapping second(create_handle(n, 4 * kPage));
  ASSERT_TRUE(second.ok());
  EXPECT_NE(second.handle, first.handle);
  EXPECT_EQ(second.size(), kPage);
  EXPECT_STREQ(second.bytes(), "first");
  second.put("second");
  EXPECT_STREQ(first.bytes(), "second");
}

TEST_F(MappingTest, OpenAttachesToMappingOfThisProcess) {
  const std::string n = name("same-process");
  Mapping created(create_handle(n, kPage));
  ASSERT_TRUE(created.ok());
  created.put("hello");
  Mapping opened(open_handle(n));
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(opened.size(), kPage);
  EXPECT_STREQ(opened.bytes(), "hello");
}

TEST_F(MappingTest, MappingEndsWithItsLastHandleAndView) {
  const std::string n = name("ends");
  {
    Mapping m(create_handle(n, kPage));
    ASSERT_TRUE(m.ok());
    m.put("left behind?");
  }
  EXPECT_EQ(open_handle(n), 0u);
  Mapping again(create_handle(n, kPage));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.bytes()[0], 0);
}

TEST_F(MappingTest, SecondHandleKeepsMappingWhenFirstCloses) {
  const std::string n = name("two-handles");
  Mapping keeper(create_handle(n, kPage));
  ASSERT_TRUE(keeper.ok());
  keeper.put("kept");
  { Mapping passing(open_handle(n)); }
  Mapping later(open_handle(n));
  ASSERT_TRUE(later.ok());
  EXPECT_STREQ(later.bytes(), "kept");
}

TEST_F(MappingTest, ViewStaysUsableAfterItsHandleCloses) {
  Mapping m(create_handle(name("view-outlives"), kPage));
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(mmfcast::platform::CloseHandle(m.handle), 1);
  m.handle = 0;
  m.put("still here");
  EXPECT_STREQ(m.bytes(), "still here");
  EXPECT_EQ(m.size(), kPage);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(m.view), 1);
  m.view = 0;
}

TEST_F(MappingTest, ZeroSizeAndUnknownValuesFail) {
  EXPECT_EQ(create_handle(name("empty"), 0), 0u);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(0), 0);
  EXPECT_EQ(mmfcast::platform::view_size(0), 0u);
  Mapping m(create_handle(name("inner"), kPage));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(mmfcast::platform::view_size(m.view + 1), 0u);
}

// ---- Across processes ---------------------------------------------------------------------

class MappingAcrossProcesses : public MappingTest {
 protected:
  // Starts the helper holding area n through cMMF, registered with `size`.
  static std::unique_ptr<testsupport::ChildProcess> holder(const std::string& n, int size) {
    auto child = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"area", n, std::to_string(size)});
    EXPECT_EQ(child->read_line(), "open 1");
    return child;
  }
};

TEST_F(MappingAcrossProcesses, SecondProcessWithOtherSizeSharesFirstOnesBytes) {
  const std::string n = name("shared");
  Mapping mine(create_handle(n, kPage));
  ASSERT_TRUE(mine.ok());
  mine.put("from parent");

  auto child = holder(n, 100);
  child->write_line("read 12");
  EXPECT_EQ(child->read_line(), testsupport::to_hex16(u"from parent"));
  child->write_line("write " + testsupport::to_hex16(u"from child"));
  EXPECT_EQ(child->read_line(), "11");
  EXPECT_STREQ(mine.bytes(), "from child");

  // The child sees the whole existing area, not the 100 bytes it asked for.
  child->write_line("bytes 100000");
  const auto dump = child->read_line();
  ASSERT_TRUE(dump.has_value());
  EXPECT_EQ(dump->size(), 2u * kPage);
  child->write_line("quit");
  EXPECT_EQ(child->wait(), 0);
}

TEST_F(MappingAcrossProcesses, MappingCreatedByChildIsFoundByName) {
  const std::string n = name("child-made");
  auto child = holder(n, static_cast<int>(kPage));
  child->write_line("write " + testsupport::to_hex16(u"made by child"));
  EXPECT_EQ(child->read_line(), "14");

  Mapping mine(open_handle(n));
  ASSERT_TRUE(mine.ok());
  EXPECT_STREQ(mine.bytes(), "made by child");
  mine.put("answer");
  child->write_line("read 7");
  EXPECT_EQ(child->read_line(), testsupport::to_hex16(u"answer"));
  child->write_line("quit");
  EXPECT_EQ(child->wait(), 0);
}

// ---- lstrcpynA ----------------------------------------------------------------------------

class LstrcpynTest : public ::testing::Test {
 protected:
  LstrcpynTest() { std::memset(buf_, 'x', sizeof buf_); }
  // The buffer as a string, with zero bytes shown as '0'.
  std::string shown() const {
    std::string s(buf_, sizeof buf_);
    for (char& c : s) c = c == '\0' ? '0' : c;
    return s;
  }
  char buf_[8];
};

TEST_F(LstrcpynTest, BoundZeroWritesNothing) {
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "abc", 0), buf_);
  EXPECT_EQ(shown(), "xxxxxxxx");
}

TEST_F(LstrcpynTest, BoundOneWritesOnlyTheZeroByte) {
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "abc", 1), buf_);
  EXPECT_EQ(shown(), "0xxxxxxx");
}

TEST_F(LstrcpynTest, CopiesBoundMinusOneBytesThenZero) {
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "abcdef", 4), buf_);
  EXPECT_EQ(shown(), "abc0xxxx");
}

TEST_F(LstrcpynTest, StopsAtSourceZeroAndLeavesTheRest) {
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "ab\0cd", 8), buf_);
  EXPECT_EQ(shown(), "ab0xxxxx");
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "", 8), buf_);
  EXPECT_EQ(shown(), "0b0xxxxx");
}

TEST_F(LstrcpynTest, SourceExactlyFillingTheBoundIsCut) {
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf_, "abcdefgh", 8), buf_);
  EXPECT_EQ(shown(), "abcdefg0");
}

// ---- ANSI conversions ---------------------------------------------------------------------

bool ansi_is_utf8() { return mmfcast::platform::to_ansi(u"\u00e9").size() == 2; }

TEST(AnsiConversion, AsciiRoundTripsByteForByte) {
  const std::u16string text = u"Hello, world! 0123 ~";
  const std::string bytes = mmfcast::platform::to_ansi(text);
  EXPECT_EQ(bytes, "Hello, world! 0123 ~");
  EXPECT_EQ(mmfcast::platform::from_ansi(bytes), text);
  EXPECT_EQ(mmfcast::platform::to_ansi(u""), "");
  EXPECT_EQ(mmfcast::platform::from_ansi(""), u"");
}

TEST(AnsiConversion, ZeroCharactersAreKept) {
  const std::u16string text(u"a\0b\0", 4);
  const std::string bytes = mmfcast::platform::to_ansi(text);
  EXPECT_EQ(bytes, std::string("a\0b\0", 4));
  EXPECT_EQ(mmfcast::platform::from_ansi(bytes), text);
}

TEST(AnsiConversion, AccentedLatinRoundTrips) {
  const std::u16string text = u"h\u00e9llo";
  const std::string bytes = mmfcast::platform::to_ansi(text);
  EXPECT_EQ(mmfcast::platform::from_ansi(bytes), text);
  if (ansi_is_utf8()) {
    EXPECT_EQ(bytes, "h\xc3\xa9llo");
  }
}

TEST(AnsiConversion, CharactersBeyondTheBasicPlaneRoundTripInUtf8) {
  if (!ansi_is_utf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8";
  const std::u16string text = u"a\U0001F600z";
  const std::string bytes = mmfcast::platform::to_ansi(text);
  EXPECT_EQ(bytes, "a\xf0\x9f\x98\x80z");
  EXPECT_EQ(mmfcast::platform::from_ansi(bytes), text);
}

// ---- Checked conversions ------------------------------------------------------------------
// UTF-8 follows the same rules on both systems; what the messages say is what users read.

TEST(CheckedConversion, Utf8DecodesExactlyOrNamesTheFirstByteThatIsNot) {
  using mmfcast::platform::decode_exact;
  using mmfcast::platform::kUtf8CodePage;
  std::u16string text;
  EXPECT_EQ(decode_exact("a\xf0\x9f\x98\x80\xc3\xa9", text, kUtf8CodePage), "");
  EXPECT_EQ(text, u"a\U0001F600\u00e9");
  const std::pair<std::string, std::string> refused[] = {
      {"name-\xff\xfe.txt", "byte 0xFF at offset 5 is not UTF-8"},
      {"ab\xc0\xaf", "byte 0xC0 at offset 2 is not UTF-8"},         // overlong '/'
      {"\xed\xa0\x80", "byte 0xED at offset 0 is not UTF-8"},       // a surrogate
      {"x\xf4\x90\x80\x80", "byte 0xF4 at offset 1 is not UTF-8"},  // above U+10FFFF
      {"ok\xe4\xbd", "byte 0xE4 at offset 2 is not UTF-8"},         // cut short
      {"\xe4\xbdx", "byte 0xE4 at offset 0 is not UTF-8"},          // broken off
      {"\x80", "byte 0x80 at offset 0 is not UTF-8"}};
  for (const auto& [bytes, why] : refused) {
    EXPECT_EQ(decode_exact(bytes, text, kUtf8CodePage), why);
  }
}

TEST(CheckedConversion, EncodingNamesTheCharacterThatHasNoForm) {
  using mmfcast::platform::encode_exact;
  std::string bytes;
  EXPECT_EQ(encode_exact(u"a\U0001F600z", bytes, mmfcast::platform::kUtf8CodePage), "");
  EXPECT_EQ(bytes, "a\xf0\x9f\x98\x80z");
  // A pair counts as one character; a lone half of one has no form anywhere.
  EXPECT_EQ(encode_exact(u"a\U0001F600\xD800", bytes), "U+D800 at character 3 has no form in " +
                                                           mmfcast::platform::code_page_name() +
                                                           ": it is half of a surrogate pair");
  EXPECT_EQ(encode_exact(std::u16string{0xDC00, u'a'}, bytes, mmfcast::platform::kUtf8CodePage),
            "U+DC00 at character 1 has no form in UTF-8: it is half of a surrogate pair");
  if (mmfcast::platform::code_page_name() == "code page 1252") {
    EXPECT_EQ(encode_exact(u"\u4e2d\u6587 cli", bytes),
              "U+4E2D at character 1 has no form in code page 1252");
    EXPECT_EQ(encode_exact(u"caf\u00e9", bytes), "");
    EXPECT_EQ(bytes, "caf\xe9");
  }
}

// The limits the session's names are held to, at their edges.
TEST(CheckedConversion, NamesTheSessionCannotHoldAreRefusedWithTheLimit) {
  using mmfcast::platform::name_problem;
  using mmfcast::platform::NameKind;
  EXPECT_EQ(name_problem("", NameKind::kMessage), "the name is empty");
  EXPECT_EQ(name_problem(std::string("a\0b", 3), NameKind::kMapping),
            "the name holds a byte 0 at offset 1");
  EXPECT_EQ(name_problem(std::string(255, 'm'), NameKind::kMessage), "");
  EXPECT_NE(name_problem(std::string(256, 'm'), NameKind::kMessage).find("255 at most"),
            std::string::npos);
#if defined(_WIN32)
  EXPECT_EQ(name_problem(std::string(260, 'a'), NameKind::kMapping), "");
  EXPECT_NE(name_problem(std::string(261, 'a'), NameKind::kMapping).find("260 at most"),
            std::string::npos);
#else
  // "map-" and the name; a byte outside the plain ones takes three.
  EXPECT_EQ(name_problem(std::string(251, 'a'), NameKind::kMapping), "");
  EXPECT_NE(name_problem(std::string(252, 'a'), NameKind::kMapping).find("256 bytes long"),
            std::string::npos);
  EXPECT_NE(name_problem(std::string(249, 'a') + " ", NameKind::kMapping).find("256 bytes long"),
            std::string::npos);
  EXPECT_EQ(name_problem("caf\xe9", NameKind::kMessage),
            "the name: byte 0xE9 at offset 3 is not UTF-8");
#endif
}

}  // namespace
