// What a copy's own process does to it: a copy that forks keeps hearing every line whatever its
// child does with what it inherited, and a program that ignores SIGBUS keeps ignoring the ones
// other processes send it once it has joined.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "mmf/channel.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

using mmfcast::Channel;
using mmfcast::SendResult;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::ChildProcess;
using namespace std::chrono_literals;

ino_t inode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A copy forks; its child finds the inherited handle refused, then joins the same channel itself
// (an endpoint of its own, which hears every line too) or leaves the inherited handle (which
// leaves the parent's endpoint and area file as they were). The parent hears every line.
class ForkedCopy : public ::testing::TestWithParam<const char*> {
 protected:
  testsupport::ScopedSession session_;
};

TEST_P(ForkedCopy, ParentHearsEveryLineWhateverItsChildDoes) {
  const std::string mode = GetParam();
  const std::string name = session_.name("forked");
  ChildProcess copy({"fork-inherit", mode, name});
  ASSERT_EQ(copy.read_line(), "ready");
  const std::string area_file = session_.dir() + "/map-" + name + "Memory";
  const ino_t area = inode_of(area_file);
  // MMFCAST_FAILED and MMFCAST_E_NOT_JOINED, and why.
  const std::string refused = copy.read_line().value_or("");
  EXPECT_THAT(refused, StartsWith("child send 2 5 dispatch -1 5: "));
  EXPECT_THAT(refused, HasSubstr("a child made by fork() shares none of its parent's channels"));
  ASSERT_EQ(copy.read_line(), mode == "leave" ? "child left" : "child joined");
  EXPECT_EQ(inode_of(area_file), area) << "the parent's area file must stay in place";

  mmfcast::ChannelOptions options;
  options.name = name;
  Channel sender(options);
  ASSERT_TRUE(sender.joined()) << sender.error();
  std::vector<std::string> sent;
  for (int i = 0; i < 24; ++i) {
    sent.push_back("line " + std::to_string(i));
    ASSERT_EQ(sender.send(sent.back()), SendResult::kSent) << sender.error();
  }
  std::vector<std::string> by_parent, by_child;
  const std::size_t child_hears = mode == "join" ? sent.size() : 0;
  while (by_parent.size() < sent.size() || by_child.size() < child_hears) {
    const auto line = copy.read_line(5s);
    if (!line) break;
    const bool from_child = line->rfind("child text ", 0) == 0;
    (from_child ? by_child : by_parent)
        .push_back(testsupport::from_hex8(line->substr(line->find("text ") + 5)));
  }
  EXPECT_EQ(by_parent, sent);
  EXPECT_EQ(by_child, mode == "join" ? sent : std::vector<std::string>{});
  copy.write_line("quit");
  EXPECT_EQ(copy.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(ChildThat, ForkedCopy, ::testing::Values("join", "leave"));

TEST(IgnoredSigbus, StaysIgnoredWhenSentOnceTheProcessHasJoined) {
  testsupport::ScopedSession session;
  ChildProcess copy({"sigbus-ignored"});
  EXPECT_EQ(copy.read_line(), "alive");
  EXPECT_EQ(copy.wait(), 0);
}

}  // namespace
