// The Linux mapping backend's own promises: a mapping lives exactly as long as some process
// holds it (also when holders are killed), the session directory and the mapping files are
// trusted only after their checks, names cannot leave the directory, UTF-8 is converted
// safely, and a failing system call anywhere leaves no descriptor and no file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "platform/linux/transport/internal.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

namespace fs = std::filesystem;
using mmfcast::platform::Handle;
using mmfcast::platform::ViewAddr;
using mmfcast::platform::os::Syscalls;

constexpr std::uint32_t kReadWrite =
    mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite;
constexpr std::uint32_t kPage = 4096;

Handle create_handle(const std::string& name, std::uint32_t size = kPage) {
  return mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                               mmfcast::platform::kPageReadWrite, 0, size,
                                               name.c_str());
}

Handle open_handle(const std::string& name) {
  return mmfcast::platform::OpenFileMappingA(kReadWrite, 0, name.c_str());
}

ViewAddr map_view(Handle h) { return mmfcast::platform::MapViewOfFile(h, kReadWrite, 0, 0, 0); }

char* bytes_of(ViewAddr v) { return reinterpret_cast<char*>(v); }

// Sets or unsets an environment variable for its lifetime.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvVar() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

int open_descriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) out.insert(entry.path().filename());
  return out;
}

bool is_root() { return ::geteuid() == 0; }
constexpr uid_t kNobody = 65534;

class PosixMappingTest : public ::testing::Test {
 protected:
  fs::path dir() const { return session_.dir(); }
  fs::path file_of(const std::string& name) const {
    return dir() / *mmfcast::platform::os::mapping_file_name(name);
  }
  // The session directory's mapping files, without its lock file.
  std::set<std::string> mapping_files() const {
    auto all = entries(dir());
    all.erase("lock");
    return all;
  }
  static std::unique_ptr<testsupport::ChildProcess> holder(const std::string& name) {
    auto child = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"area", name, std::to_string(kPage)});
    EXPECT_EQ(child->read_line(), "open 1");
    return child;
  }

  testsupport::ScopedSession session_;
};

// ---- Lifetime -----------------------------------------------------------------------------

using MappingLifetime = PosixMappingTest;

TEST_F(MappingLifetime, AreaOfKilledHolderIsFreshForTheNextProcess) {
  auto first = holder("victim");
  first->write_line("write " + testsupport::to_hex16(u"secret"));
  EXPECT_EQ(first->read_line(), "7");
  first->kill();
  EXPECT_EQ(first->wait(), 128 + SIGKILL);
  EXPECT_TRUE(fs::exists(file_of("victim")));  // left behind, but held by no one

  auto next = holder("victim");
  next->write_line("bytes 16");
  EXPECT_EQ(next->read_line(), std::string(32, '0'));
}

TEST_F(MappingLifetime, LeftoverOfKilledHolderCountsAsAbsentAndIsRemoved) {
  auto first = holder("stale");
  first->kill();
  first->wait();
  EXPECT_EQ(open_handle("stale"), 0u);
  EXPECT_FALSE(fs::exists(file_of("stale")));
}

TEST_F(MappingLifetime, SurvivingHolderKeepsAreaWhenAnotherIsKilled) {
  auto a = holder("kept");
  a->write_line("write " + testsupport::to_hex16(u"shared"));
  EXPECT_EQ(a->read_line(), "7");
  auto b = holder("kept");
  a->kill();
  a->wait();

  auto c = holder("kept");
  c->write_line("read 7");
  EXPECT_EQ(c->read_line(), testsupport::to_hex16(u"shared"));
  b->write_line("quit");
  c->write_line("quit");
  EXPECT_EQ(b->wait(), 0);
  EXPECT_EQ(c->wait(), 0);
  EXPECT_FALSE(fs::exists(file_of("kept")));
}

TEST_F(MappingLifetime, NormalExitOfLastHolderRemovesTheFile) {
  auto child = holder("exits");
  EXPECT_TRUE(fs::exists(file_of("exits")));
  child->write_line("quit");
  EXPECT_EQ(child->wait(), 0);
  EXPECT_TRUE(mapping_files().empty());
}

TEST_F(MappingLifetime, NormalExitLeavesAreaThatAnotherProcessHolds) {
  auto child = holder("outlived");
  child->write_line("write " + testsupport::to_hex16(u"from child"));
  EXPECT_EQ(child->read_line(), "11");
  const Handle h = open_handle("outlived");
  ASSERT_NE(h, 0u);
  child->write_line("quit");
  EXPECT_EQ(child->wait(), 0);

  EXPECT_TRUE(fs::exists(file_of("outlived")));
  const ViewAddr v = map_view(h);
  ASSERT_NE(v, 0u);
  EXPECT_STREQ(bytes_of(v), "from child");
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
  EXPECT_TRUE(mapping_files().empty());
}

TEST_F(MappingLifetime, ViewAloneHoldsAreaForOtherProcesses) {
  testsupport::ChildProcess child({"view-only", "viewed", std::to_string(kPage)});
  ASSERT_EQ(child.read_line(), "ready");
  const Handle h = open_handle("viewed");
  ASSERT_NE(h, 0u);
  const ViewAddr v = map_view(h);
  ASSERT_NE(v, 0u);
  EXPECT_STREQ(bytes_of(v), "held");
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
  EXPECT_TRUE(fs::exists(file_of("viewed")));

  child.write_line("unmap");
  EXPECT_EQ(child.read_line(), "unmapped 1");
  EXPECT_EQ(open_handle("viewed"), 0u);
  EXPECT_TRUE(mapping_files().empty());
  child.write_line("quit");
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(MappingLifetime, NameStaysFindableWhileOnlyAViewRemains) {
  const Handle h = create_handle("view-holds");
  const ViewAddr v = map_view(h);
  ASSERT_NE(v, 0u);
  ASSERT_EQ(mmfcast::platform::CloseHandle(h), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 0);  // already closed

  const Handle again = open_handle("view-holds");
  EXPECT_NE(again, 0u);
  EXPECT_EQ(mmfcast::platform::CloseHandle(again), 1);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 1);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 0);
  EXPECT_TRUE(mapping_files().empty());
}

// ---- The session directory ----------------------------------------------------------------

class SessionDirectory : public PosixMappingTest {
 protected:
  // Points the session at path for the rest of the test.
  void use(const fs::path& path) { env_.emplace("MMFCAST_SESSION_DIR", path.c_str()); }
  // Whether no mapping can be made or opened, and nothing was created in the directory.
  void expect_refused(const fs::path& where) {
    const auto before = entries(where);
    EXPECT_EQ(create_handle("m"), 0u);
    EXPECT_EQ(open_handle("m"), 0u);
    EXPECT_EQ(entries(where), before);
  }

  std::optional<EnvVar> env_;
};

TEST_F(SessionDirectory, MissingDirectoryIsCreatedPrivate) {
  const fs::path sub = dir() / "sub";
  use(sub);
  const Handle h = create_handle("m");
  ASSERT_NE(h, 0u);
  struct stat st {};
  ASSERT_EQ(::lstat(sub.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(fs::exists(sub / "map-m"));
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
}

TEST_F(SessionDirectory, OnlyTheLastComponentIsCreated) {
  use(dir() / "a" / "b");
  expect_refused(dir());
  EXPECT_FALSE(fs::exists(dir() / "a"));
}

TEST_F(SessionDirectory, DirectoryOpenToOthersIsRefused) {
  const fs::path open_dir = dir() / "open";
  ASSERT_EQ(::mkdir(open_dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open_dir.c_str(), 0755), 0);
  use(open_dir);
  expect_refused(open_dir);
}

TEST_F(SessionDirectory, SymlinkIsRefusedAndItsTargetUntouched) {
  const fs::path target = dir() / "target";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  fs::create_directory_symlink(target, dir() / "link");
  use(dir() / "link");
  expect_refused(target);
  use(dir() / "link/");
  expect_refused(target);
}

TEST_F(SessionDirectory, DirectoryOfAnotherOwnerIsRefused) {
  if (!is_root()) GTEST_SKIP() << "needs root to give the directory away";
  const fs::path theirs = dir() / "theirs";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(::chown(theirs.c_str(), kNobody, kNobody), 0);
  use(theirs);
  expect_refused(theirs);
}

TEST_F(SessionDirectory, RegularFileInItsPlaceIsRefused) {
  const fs::path file = dir() / "file";
  ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0700)), 0);
  use(file);
  EXPECT_EQ(create_handle("m"), 0u);
}

TEST_F(SessionDirectory, RelativePathIsRefused) {
  use("relative-session");
  EXPECT_EQ(create_handle("m"), 0u);
  EXPECT_FALSE(fs::exists("relative-session"));
}

TEST_F(SessionDirectory, FallsBackToRuntimeDirectoryThenTmp) {
  EnvVar no_own("MMFCAST_SESSION_DIR", nullptr);
  {
    EnvVar runtime("XDG_RUNTIME_DIR", dir().c_str());
    EXPECT_EQ(mmfcast::platform::os::session_dir_path(), (dir() / "mmfcast").string());
    const Handle h = create_handle("m");
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(fs::exists(dir() / "mmfcast" / "map-m"));
    EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
  }
  const std::string tmp = "/tmp/mmfcast-" + std::to_string(::geteuid());
  EnvVar relative_runtime("XDG_RUNTIME_DIR", "run/user");
  EXPECT_EQ(mmfcast::platform::os::session_dir_path(), tmp);
  EnvVar no_runtime("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(mmfcast::platform::os::session_dir_path(), tmp);
}

// The variable is looked up where it was last found; every change to the environment shows.
TEST_F(SessionDirectory, EveryChangeOfTheVariableIsSeenAtOnce) {
  namespace os = mmfcast::platform::os;
  EnvVar runtime("XDG_RUNTIME_DIR", "/run/elsewhere");
  EnvVar before("MMFCAST_TEST_BEFORE", "1");
  EnvVar own("MMFCAST_SESSION_DIR", "/a");
  EXPECT_EQ(os::session_dir_path(), "/a");
  ::setenv("MMFCAST_SESSION_DIR", "/b/", 1);
  EXPECT_EQ(os::session_dir_path(), "/b");
  EXPECT_TRUE(os::names_path("/b"));
  ::unsetenv("MMFCAST_TEST_BEFORE");  // the later entries move down
  EXPECT_EQ(os::session_dir_path(), "/b");
  ::unsetenv("MMFCAST_SESSION_DIR");
  EXPECT_EQ(os::session_dir_path(), "/run/elsewhere/mmfcast");
  EXPECT_FALSE(os::names_path("/b"));
  for (int i = 0; i < 64; ++i) {  // the environment's array grows and moves
    ::setenv(("MMFCAST_TEST_" + std::to_string(i)).c_str(), "x", 1);
  }
  ::setenv("MMFCAST_SESSION_DIR", "/c", 1);
  EXPECT_EQ(os::session_dir_path(), "/c");
  for (int i = 0; i < 64; ++i) ::unsetenv(("MMFCAST_TEST_" + std::to_string(i)).c_str());
  EXPECT_TRUE(os::names_path("/c"));
}

// ---- Mapping files ------------------------------------------------------------------------

using MappingFiles = PosixMappingTest;

TEST_F(MappingFiles, SymlinkAtTheMappingPathIsNeverFollowed) {
  const fs::path target = dir() / "elsewhere";
  fs::create_symlink(target, file_of("m"));
  EXPECT_EQ(create_handle("m"), 0u);
  EXPECT_EQ(open_handle("m"), 0u);
  EXPECT_FALSE(fs::exists(target));

  ASSERT_EQ(::close(::open(target.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  EXPECT_EQ(open_handle("m"), 0u);
  EXPECT_EQ(create_handle("m"), 0u);
  EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(MappingFiles, FileWithTwoLinksIsRefusedAndKept) {
  ASSERT_EQ(::close(::open(file_of("m").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  fs::create_hard_link(file_of("m"), dir() / "second-link");
  EXPECT_EQ(open_handle("m"), 0u);
  EXPECT_EQ(create_handle("m"), 0u);
  EXPECT_TRUE(fs::exists(file_of("m")));
}

TEST_F(MappingFiles, FileOfAnotherOwnerIsRefusedAndKept) {
  if (!is_root()) GTEST_SKIP() << "needs root to give the file away";
  const int fd = ::open(file_of("m").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kPage), 0);
  ASSERT_EQ(::fchown(fd, kNobody, kNobody), 0);
  ::close(fd);
  EXPECT_EQ(open_handle("m"), 0u);
  EXPECT_EQ(create_handle("m"), 0u);
  EXPECT_TRUE(fs::exists(file_of("m")));
}

TEST_F(MappingFiles, CreatedPrivateWhateverTheUmask) {
  const mode_t old = ::umask(0377);
  const Handle h = create_handle("m");
  ::umask(old);
  ASSERT_NE(h, 0u);
  struct stat st {};
  ASSERT_EQ(::lstat(file_of("m").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, static_cast<off_t>(kPage));
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
}

TEST_F(MappingFiles, TrickyNamesAreDistinctAndStayInsideTheDirectory) {
  const std::vector<std::string> names = {"/", "..",   ".",   "a/b",         "a%2Fb", "../up",
                                          "é", "e",    "E",   "\xff",        "a b",   "%",
                                          "-", "a\\b", "...", "/etc/passwd", "map-x", "lock"};
  // The session one level down, so that anything escaping it shows in dir().
  const fs::path inner = dir() / "inner";
  EnvVar env("MMFCAST_SESSION_DIR", inner.c_str());
  std::vector<Handle> handles;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Handle h = create_handle(names[i]);
    ASSERT_NE(h, 0u) << names[i];
    handles.push_back(h);
    const ViewAddr v = map_view(h);
    ASSERT_NE(v, 0u);
    EXPECT_EQ(bytes_of(v)[0], 0) << names[i] << " reached an existing mapping";
    bytes_of(v)[0] = static_cast<char>('A' + i);
    EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 1);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Handle h = open_handle(names[i]);
    const ViewAddr v = map_view(h);
    ASSERT_NE(v, 0u) << names[i];
    EXPECT_EQ(bytes_of(v)[0], static_cast<char>('A' + i)) << names[i];
    mmfcast::platform::UnmapViewOfFile(v);
    mmfcast::platform::CloseHandle(h);
  }
  EXPECT_EQ(entries(dir()), std::set<std::string>{"inner"});
  auto files = entries(inner);
  EXPECT_EQ(files.erase("lock"), 1u);
  EXPECT_EQ(files.size(), names.size());
  for (const auto& entry : fs::directory_iterator(inner)) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
  }
  for (const Handle h : handles) mmfcast::platform::CloseHandle(h);
  EXPECT_EQ(entries(inner), std::set<std::string>{"lock"});
}

TEST_F(MappingFiles, NameWhoseFileNameIsTooLongFailsCleanly) {
  // "map-" and 251 plain bytes just fit in NAME_MAX; each escaped byte takes three.
  const Handle fits = create_handle(std::string(251, 'a'));
  EXPECT_NE(fits, 0u);
  EXPECT_EQ(create_handle(std::string(252, 'a')), 0u);
  EXPECT_EQ(open_handle(std::string(252, 'a')), 0u);
  const Handle escaped = create_handle(std::string(83, '/'));
  EXPECT_NE(escaped, 0u);
  EXPECT_EQ(create_handle(std::string(84, '/')), 0u);
  EXPECT_EQ(mapping_files().size(), 2u);
  mmfcast::platform::CloseHandle(fits);
  mmfcast::platform::CloseHandle(escaped);
}

TEST_F(MappingFiles, UnsupportedArgumentsFail) {
  EXPECT_EQ(
      mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                            mmfcast::platform::kPageReadWrite, 0, kPage, nullptr),
      0u);
  EXPECT_EQ(create_handle(""), 0u);
  EXPECT_EQ(mmfcast::platform::OpenFileMappingA(kReadWrite, 0, nullptr), 0u);
  EXPECT_EQ(open_handle(""), 0u);
  EXPECT_EQ(mmfcast::platform::CreateFileMappingA(3, nullptr, mmfcast::platform::kPageReadWrite, 0,
                                                  kPage, "m"),
            0u);
  EXPECT_EQ(mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                                  0x02, 0, kPage, "m"),
            0u);
  EXPECT_TRUE(mapping_files().empty());

  const Handle h = create_handle("m");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(mmfcast::platform::MapViewOfFile(h, 0, 0, 0, 0), 0u);
  EXPECT_EQ(mmfcast::platform::MapViewOfFile(h, kReadWrite, 0, kPage, 0), 0u);
  EXPECT_EQ(mmfcast::platform::MapViewOfFile(h, kReadWrite, 0, 0, kPage + 1), 0u);
  EXPECT_EQ(mmfcast::platform::MapViewOfFile(h + 1000, kReadWrite, 0, 0, 0), 0u);
  const ViewAddr part = mmfcast::platform::MapViewOfFile(h, kReadWrite, 0, 0, 100);
  EXPECT_EQ(mmfcast::platform::view_size(part), 100u);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(part), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(mmfcast::platform::kInvalidHandleValue), 0);
}

// ---- UTF-8 --------------------------------------------------------------------------------

TEST(Utf8Conversion, LoneSurrogatesBecomeQuestionMarks) {
  EXPECT_EQ(mmfcast::platform::to_ansi(u"a\xD800z"), "a?z");
  EXPECT_EQ(mmfcast::platform::to_ansi(u"\xDC00"), "?");
  EXPECT_EQ(mmfcast::platform::to_ansi(u"z\xDBFF"), "z?");
  EXPECT_EQ(mmfcast::platform::to_ansi(u"\xDC00\xD800"), "??");
  EXPECT_EQ(mmfcast::platform::to_ansi(u"\xD800\xD800\xDC00"), "?\xf0\x90\x80\x80");
}

TEST(Utf8Conversion, BoundaryCodePointsRoundTrip) {
  const std::u16string text = u"\x7f\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010FFFF";
  const std::string bytes = mmfcast::platform::to_ansi(text);
  EXPECT_EQ(bytes,
            "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"
            "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf");
  EXPECT_EQ(mmfcast::platform::from_ansi(bytes), text);
}

TEST(Utf8Conversion, EachMaximalSubpartOfBadBytesBecomesOneReplacement) {
  struct Case {
    const char* bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong
      {"\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate code point
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF5\xFF", u"\uFFFD\uFFFD"},
      {"x\xE2\x82", u"x\uFFFD"},  // cut short at the end
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xE2\x82z", u"\uFFFDz"},
      {"\xC3", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mmfcast::platform::from_ansi(c.bytes), c.expected) << testsupport::to_hex8(c.bytes);
  }
}

TEST(Utf8Conversion, RandomInputGivesWellFormedTextBothWays) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes(static_cast<std::size_t>(length(random)), '\0');
    for (char& b : bytes) b = static_cast<char>(byte(random) | (round % 2 ? 0x80 : 0));
    const std::u16string text = mmfcast::platform::from_ansi(bytes);
    const std::string encoded = mmfcast::platform::to_ansi(text);
    // Well-formed UTF-16 (no lone surrogate) encodes with no '?' added, and decodes back.
    ASSERT_EQ(mmfcast::platform::from_ansi(encoded), text) << testsupport::to_hex8(bytes);

    // Any UTF-16 comes back unchanged but for its lone surrogates, which become '?'.
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    std::u16string expected = units;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const bool high = expected[i] >= 0xD800 && expected[i] <= 0xDBFF;
      const bool low = expected[i] >= 0xDC00 && expected[i] <= 0xDFFF;
      if (high && i + 1 < expected.size() && expected[i + 1] >= 0xDC00 &&
          expected[i + 1] <= 0xDFFF) {
        ++i;
      } else if (high || low) {
        expected[i] = u'?';
      }
    }
    ASSERT_EQ(mmfcast::platform::from_ansi(mmfcast::platform::to_ansi(units)), expected);
  }
}

TEST(Lstrcpyn, NegativeBoundWritesNothingAndNullsFail) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf, "abc", -1), buf);
  EXPECT_EQ(std::string(buf, 4), "xxxx");
  EXPECT_EQ(mmfcast::platform::lstrcpynA(nullptr, "abc", 4), nullptr);
  EXPECT_EQ(mmfcast::platform::lstrcpynA(buf, nullptr, 4), nullptr);
  EXPECT_EQ(mmfcast::platform::lstrcpynA(nullptr, nullptr, 0), nullptr);
}

// ---- Failing system calls -----------------------------------------------------------------

// Makes the nth call (counted from construction) of one system-call entry fail with `error`;
// every other call goes to the real one.
template <auto Slot,
          typename Fn = std::remove_reference_t<decltype(mmfcast::platform::os::syscalls().*Slot)>>
class FailNth;

template <auto Slot, typename R, typename... A>
class FailNth<Slot, R (*)(A...)> {
 public:
  FailNth(int nth, int error) : guard_(Slot, &call) {
    countdown_ = nth;
    error_ = error;
    fired_ = false;
  }
  ~FailNth() { countdown_ = 0; }
  bool fired() const { return fired_; }

 private:
  static R call(A... args) {
    if (countdown_ > 0 && --countdown_ == 0) {
      fired_ = true;
      errno = error_;
      if constexpr (std::is_pointer_v<R>) {
        return MAP_FAILED;
      } else {
        return R(-1);
      }
    }
    return (mmfcast::platform::os::default_syscalls().*Slot)(args...);
  }

  static inline int countdown_ = 0;
  static inline int error_ = 0;
  static inline bool fired_ = false;
  mmfcast::platform::os::ScopedSyscall<R (*)(A...)> guard_;
};

class FailingSyscalls : public PosixMappingTest {
 protected:
  // Fails each call of the entry in turn during create-and-map of a new name (or, with an
  // existing holder, open-and-map of that one), checking each time that the caller got 0 and
  // nothing is left: no descriptor, no file but the holder's. Ends once no call is left to fail.
  template <auto Slot>
  void fail_each_call(bool existing) {
    const Handle keeper = existing ? create_handle("m") : 0;
    if (existing) {
      ASSERT_NE(keeper, 0u);
    }
    const auto files = mapping_files();
    ASSERT_TRUE(
        mmfcast::platform::session_usable());  // the session directory stays open from here on
    const int fds = open_descriptors();
    for (int nth = 1;; ++nth) {
      SCOPED_TRACE("failing call " + std::to_string(nth));
      bool fired = false;
      Handle h = 0;
      ViewAddr v = 0;
      {
        FailNth<Slot> fail(nth, EIO);
        h = existing ? open_handle("m") : create_handle("m");
        if (h != 0) v = map_view(h);
        fired = fail.fired();
      }
      if (!fired) {
        ASSERT_NE(v, 0u);
        EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v), 1);
        EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
        EXPECT_GT(nth, 1) << "the entry was never called";
        break;
      }
      EXPECT_EQ(v, 0u);
      if (h != 0) {
        EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
      }
      EXPECT_EQ(open_descriptors(), fds);
      EXPECT_EQ(mapping_files(), files);
      ASSERT_LT(nth, 20);
    }
    if (existing) {
      EXPECT_EQ(mmfcast::platform::CloseHandle(keeper), 1);
    }
    EXPECT_TRUE(mapping_files().empty());
    EXPECT_EQ(open_descriptors(), fds - (existing ? 1 : 0));
  }
};

TEST_F(FailingSyscalls, OpenOnCreate) { fail_each_call<&Syscalls::open>(false); }
TEST_F(FailingSyscalls, OpenOnAttach) { fail_each_call<&Syscalls::open>(true); }
TEST_F(FailingSyscalls, FlockOnCreate) { fail_each_call<&Syscalls::flock>(false); }
TEST_F(FailingSyscalls, FlockOnAttach) { fail_each_call<&Syscalls::flock>(true); }
TEST_F(FailingSyscalls, FallocateOnCreate) { fail_each_call<&Syscalls::fallocate>(false); }
TEST_F(FailingSyscalls, Fchmod) { fail_each_call<&Syscalls::fchmod>(false); }
TEST_F(FailingSyscalls, FstatOnCreate) { fail_each_call<&Syscalls::fstat>(false); }
TEST_F(FailingSyscalls, FstatOnAttach) { fail_each_call<&Syscalls::fstat>(true); }
TEST_F(FailingSyscalls, LstatOfSessionDirectory) { fail_each_call<&Syscalls::lstat>(false); }
TEST_F(FailingSyscalls, Mmap) { fail_each_call<&Syscalls::mmap>(false); }

// A send-lock page or an area without its blocks (made by hand, or sparse by an older copy) is
// reserved before it is used: when that fails, nothing is sent, the area is not opened. Files
// with all their blocks, as copies make them, are opened without the call.
TEST_F(FailingSyscalls, SparseFilesAreReservedBeforeUse) {
  auto sparse = [&](const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, 4096), 0);
    return fd;
  };
  ::close(sparse(dir() / "send-lock"));
  {
    FailNth<&Syscalls::fallocate> fail(1, ENOSPC);
    bool wrote = false;
    EXPECT_FALSE(mmfcast::platform::send_locked([&] { wrote = true; }, [] { return true; }));
    EXPECT_TRUE(fail.fired());
    EXPECT_FALSE(wrote);
  }
  const int held = sparse(file_of("m"));  // a holder's shared lock keeps it from being swept
  ASSERT_EQ(mmfcast::platform::os::default_syscalls().flock(held, LOCK_SH), 0);
  {
    FailNth<&Syscalls::fallocate> fail(1, ENOSPC);
    EXPECT_EQ(open_handle("m"), 0u);
    EXPECT_TRUE(fail.fired());
    EXPECT_EQ(mmfcast::platform::last_error(), ENOSPC);
  }
  const Handle reserved = open_handle("m");
  ASSERT_NE(reserved, 0u);
  {
    FailNth<&Syscalls::fallocate> fail(1, ENOSPC);
    const Handle again = open_handle("m");
    EXPECT_NE(again, 0u);
    EXPECT_FALSE(fail.fired()) << "a file with its blocks was reserved again";
    EXPECT_EQ(mmfcast::platform::CloseHandle(again), 1);
  }
  EXPECT_EQ(mmfcast::platform::CloseHandle(reserved), 1);
  ::close(held);
}

TEST_F(FailingSyscalls, ThirdMmapFailsAndTheOthersStayMapped) {
  const Handle h = create_handle("m");
  ASSERT_NE(h, 0u);
  ViewAddr v[3] = {};
  {
    FailNth<&Syscalls::mmap> fail(3, ENOMEM);
    for (ViewAddr& view : v) view = map_view(h);
  }
  ASSERT_NE(v[0], 0u);
  ASSERT_NE(v[1], 0u);
  EXPECT_EQ(v[2], 0u);
  EXPECT_EQ(mmfcast::platform::os::last_error(), ENOMEM);
  EXPECT_EQ(mmfcast::platform::last_error_text(),
            "shared area m (" + file_of("m").string() + "): " + std::strerror(ENOMEM));
  std::strcpy(bytes_of(v[0]), "both");
  EXPECT_STREQ(bytes_of(v[1]), "both");
  EXPECT_EQ(mmfcast::platform::view_size(v[1]), kPage);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v[0]), 1);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(v[1]), 1);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
}

TEST_F(FailingSyscalls, AreaThatCannotBeMadeIsNamedWithTheReason) {
  {
    FailNth<&Syscalls::fallocate> full(1, ENOSPC);
    EXPECT_EQ(create_handle("full"), 0u);
  }
  EXPECT_EQ(mmfcast::platform::last_error(), ENOSPC);
  EXPECT_EQ(mmfcast::platform::last_error_text(),
            "shared area full (" + file_of("full").string() + "): the filesystem is full");
  EXPECT_TRUE(mapping_files().empty());
}

TEST_F(FailingSyscalls, InterruptedWaitForTheSessionLockIsRetried) {
  FailNth<&Syscalls::flock> interrupt(1, EINTR);
  const Handle h = create_handle("m");
  EXPECT_TRUE(interrupt.fired());
  EXPECT_NE(h, 0u);
  EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
}

TEST_F(FailingSyscalls, ReleaseThatCannotLockTheSessionLeavesAnAbsentMapping) {
  const Handle h = create_handle("m");
  ASSERT_NE(h, 0u);
  {
    FailNth<&Syscalls::open> fail(1, EMFILE);
    EXPECT_EQ(mmfcast::platform::CloseHandle(h), 1);
    EXPECT_TRUE(fail.fired());
  }
  EXPECT_EQ(mapping_files().size(), 1u);
  EXPECT_EQ(open_handle("m"), 0u);
  EXPECT_TRUE(mapping_files().empty());
}

}  // namespace
