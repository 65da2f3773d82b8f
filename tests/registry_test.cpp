#include <gtest/gtest.h>
#include "mmf/cMMF.h"
TEST(AreaRegistry, Placeholder) { cMMF m; EXPECT_EQ(m.AddMMFItem(u"A", 1), 1); }
