#include "qz.h"

#include <gtest/gtest.h>

TEST(Placeholder, Builds) { SUCCEED(); }
