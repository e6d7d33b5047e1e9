#include "tokentally/json.hpp"
#include <gtest/gtest.h>
TEST(Json, Placeholder) { EXPECT_EQ(tokentally::json::format_real(2.5), "2.5"); }
