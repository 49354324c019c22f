#include "regservice/prefix/handle_table.h"

#include <gtest/gtest.h>

#include <set>

namespace regservice {
namespace prefix {
namespace {

TEST(HandleTableTest, HandlesAreDistinctAndNeverReused) {
  HandleTable table;
  std::set<HKEY> seen;
  for (int i = 0; i < 100; ++i) {
    HKEY handle = table.Add({u"Key"});
    EXPECT_NE(nullptr, handle);
    EXPECT_NE(HKEY_CURRENT_USER, handle);
    EXPECT_TRUE(seen.insert(handle).second) << "handle reused: " << handle;
    if (i % 2 == 0) {
      EXPECT_TRUE(table.Remove(handle));
    }
  }
  EXPECT_EQ(50u, table.size());
}

TEST(HandleTableTest, FindAndRemove) {
  HandleTable table;
  HKEY a = table.Add({u"Software", u"A"});
  HKEY b = table.Add({});
  ASSERT_NE(nullptr, table.Find(a));
  EXPECT_EQ((wine::KeyPath{u"Software", u"A"}), *table.Find(a));
  EXPECT_TRUE(table.Find(b)->empty());
  EXPECT_TRUE(table.Remove(a));
  EXPECT_EQ(nullptr, table.Find(a));
  EXPECT_FALSE(table.Remove(a));
  EXPECT_FALSE(table.Remove(nullptr));
  EXPECT_FALSE(table.Remove(HKEY_CURRENT_USER));
  EXPECT_EQ(nullptr, table.Find(HKEY_CURRENT_USER));
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
