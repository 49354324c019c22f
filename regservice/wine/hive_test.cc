#include "regservice/wine/hive.h"

#include <gtest/gtest.h>

namespace regservice {
namespace wine {
namespace {

TEST(HiveTest, Placeholder) {
  Hive hive;
  std::string error;
  EXPECT_TRUE(hive.Load("WINE REGISTRY Version 2\n", &error));
}

}  // namespace
}  // namespace wine
}  // namespace regservice
