#include "tokentally/json.hpp"
#include <gtest/gtest.h>
TEST(Proxy, Placeholder) { EXPECT_EQ(tokentally::json::format_real(2.5), "2.5"); }
