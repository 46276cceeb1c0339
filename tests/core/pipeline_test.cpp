#include <gtest/gtest.h>
TEST(Pipeline, Runs) { EXPECT_EQ(1, 1); }
