#include <gtest/gtest.h>

extern "C" int c_linkage_roundtrip(void);

TEST(CLinkage, TheUmbrellaHeaderWorksFromC)
{
    EXPECT_EQ(c_linkage_roundtrip(), 6);
}
