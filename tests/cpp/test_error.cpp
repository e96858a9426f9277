#include <gtest/gtest.h>

#include "error.hpp"

using korvel::SpssError;

TEST(SpssErrorTest, Placeholder) { EXPECT_EQ(SpssError::unsupported_compression(-1).message(), "unsupported compression type: -1"); }
