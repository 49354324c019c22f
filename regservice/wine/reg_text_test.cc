#include "regservice/wine/reg_text.h"

#include <gtest/gtest.h>

namespace regservice {
namespace wine {
namespace {

TEST(RegTextTest, Placeholder) { EXPECT_EQ(FoldUnit(u'A'), u'a'); }

}  // namespace
}  // namespace wine
}  // namespace regservice
