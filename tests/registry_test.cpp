// The area registry: names, indexes, renumbering on removal, copies that never alias the list,
// and failures (refused indexes, running out of memory) that leave the list as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mmf/cMMF.h"
#include "tests/support/alloc_failure.h"

namespace {

// Every item's name in index order, read back through the public interface.
std::vector<std::u16string> names(cMMF& m) {
  std::vector<std::u16string> out;
  MMFItem item;
  for (std::int32_t i = 1; m.GetMMFItem(i, item) == 1; ++i) out.push_back(item.sMemID);
  return out;
}

class AreaRegistry : public ::testing::Test {
 protected:
  void add_three() {
    ASSERT_EQ(m.AddMMFItem(u"one", 10), 1);
    ASSERT_EQ(m.AddMMFItem(u"two", 20), 2);
    ASSERT_EQ(m.AddMMFItem(u"three", 30), 3);
  }
  cMMF m;
};

TEST_F(AreaRegistry, NamesAreCaseSensitiveAndUnique) {
  EXPECT_EQ(m.AddMMFItem(u"A", 100), 1);
  EXPECT_EQ(m.AddMMFItem(u"a", 200), 2);
  EXPECT_EQ(m.AddMMFItem(u"A", 300), 0);
  EXPECT_EQ(names(m), (std::vector<std::u16string>{u"A", u"a"}));
  MMFItem item;
  ASSERT_EQ(m.GetMMFItem(1, item), 1);
  EXPECT_EQ(item.lMemLength, 100) << "a refused add must not apply its size";
  EXPECT_EQ(m.GetMMFIndex(u"a"), 2);
  EXPECT_EQ(m.GetMMFIndex(u"b"), 0);
}

TEST_F(AreaRegistry, NewItemIsClosed) {
  ASSERT_EQ(m.AddMMFItem(u"area", 4096), 1);
  MMFItem item;
  ASSERT_EQ(m.GetMMFItem(1, item), 1);
  EXPECT_EQ(item, (MMFItem{u"area", 4096, 0, 0}));
}

TEST_F(AreaRegistry, RefusedIndexesChangeNothing) {
  add_three();
  MMFItem probe{u"probe", 1, 2, 3};
  for (std::int32_t bad : {0, -1, 4, INT32_MIN, INT32_MAX}) {
    MMFItem out = probe;
    EXPECT_EQ(m.GetMMFItem(bad, out), 0) << bad;
    EXPECT_EQ(out, probe) << "a refused fetch leaves the caller's record alone";
    EXPECT_EQ(m.SetMMFItem(bad, probe), 0) << bad;
    EXPECT_EQ(m.RemoveMMFItem(bad), 0) << bad;
  }
  EXPECT_EQ(names(m), (std::vector<std::u16string>{u"one", u"two", u"three"}));
}

TEST_F(AreaRegistry, RemovalRenumbersTheItemsAfterIt) {
  add_three();
  EXPECT_EQ(m.RemoveMMFItem(1), 2);
  EXPECT_EQ(m.GetMMFIndex(u"two"), 1);
  EXPECT_EQ(m.GetMMFIndex(u"three"), 2);
  EXPECT_EQ(m.GetMMFIndex(u"one"), 0);
  EXPECT_EQ(m.RemoveMMFItem(2), 1);
  EXPECT_EQ(m.RemoveMMFItem(1), 0) << "removing the last item leaves none";
  EXPECT_TRUE(names(m).empty());
  EXPECT_EQ(m.AddMMFItem(u"one", 1), 1) << "a removed name can be added again";
}

TEST_F(AreaRegistry, FetchedRecordsAreCopies) {
  add_three();
  MMFItem item;
  ASSERT_EQ(m.GetMMFItem(2, item), 1);
  item.sMemID = u"changed";
  item.hMapFile = 7;
  MMFItem again;
  ASSERT_EQ(m.GetMMFItem(2, again), 1);
  EXPECT_EQ(again, (MMFItem{u"two", 20, 0, 0}));
  ASSERT_EQ(m.SetMMFItem(2, item), 1);
  item.sMemID = u"changed later";
  ASSERT_EQ(m.GetMMFItem(2, again), 1);
  EXPECT_EQ(again.sMemID, u"changed");
  EXPECT_EQ(again.hMapFile, 7u);
}

TEST_F(AreaRegistry, ObjectsKeepSeparateLists) {
  cMMF other;
  ASSERT_EQ(m.AddMMFItem(u"shared name", 1), 1);
  EXPECT_EQ(other.GetMMFIndex(u"shared name"), 0);
  EXPECT_EQ(other.AddMMFItem(u"shared name", 1), 1);
}

// Fails each allocation an operation makes in turn, until it runs without failing: every
// failure must give the failure value and leave the list exactly as it was.
TEST_F(AreaRegistry, OutOfMemoryOnAddLeavesTheListAsItWas) {
  add_three();
  for (long nth = 1;; ++nth) {
    std::int32_t result;
    bool triggered;
    std::u16string name = u"a name long enough to need its own allocation";
    {
      testsupport::FailAllocation fail(nth);
      result = m.AddMMFItem(std::move(name), 5);
      triggered = fail.triggered();
    }
    if (!triggered) {
      EXPECT_EQ(result, 4);
      EXPECT_GT(nth, 1) << "adding must allocate";
      break;
    }
    EXPECT_EQ(result, 0) << "allocation " << nth;
    EXPECT_EQ(names(m), (std::vector<std::u16string>{u"one", u"two", u"three"}));
    ASSERT_LT(nth, 100);
  }
}

TEST_F(AreaRegistry, OutOfMemoryOnRemoveLosesNoItem) {
  ASSERT_EQ(m.AddMMFItem(u"first item with a long enough name", 1), 1);
  ASSERT_EQ(m.AddMMFItem(u"second item with a long enough name", 2), 2);
  ASSERT_EQ(m.AddMMFItem(u"third item with a long enough name", 3), 3);
  const auto before = names(m);
  for (long nth = 1;; ++nth) {
    std::int32_t result;
    bool triggered;
    {
      testsupport::FailAllocation fail(nth);
      result = m.RemoveMMFItem(2);
      triggered = fail.triggered();
    }
    if (!triggered) {
      EXPECT_EQ(result, 2);
      EXPECT_GT(nth, 1) << "removing must allocate";
      break;
    }
    EXPECT_EQ(result, 0) << "allocation " << nth;
    EXPECT_EQ(names(m), before) << "allocation " << nth;
    ASSERT_LT(nth, 100);
  }
  EXPECT_EQ(names(m), (std::vector<std::u16string>{u"first item with a long enough name",
                                                   u"third item with a long enough name"}));
}

}  // namespace
