#include "engine/utility.h"

#include <gtest/gtest.h>

#include "support/testutil.h"

using namespace qv;

TEST(Smoke, Builds) { EXPECT_EQ(roundHalfAway(2.5), 3); }
