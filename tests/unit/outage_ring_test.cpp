// The outage ring: order across the wrap, oldest bytes dropped and counted, peek before consume.
#include "tunnel/outage.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string Held(const OutageRing& r)
{
    std::string out(r.count, '\0');
    out.resize(OutageRingPeek(&r, out.data(), out.size()));
    return out;
}

TEST(OutageRing, KeepsOrderAcrossTheWrapAndDropsTheOldestWhenFull)
{
    unsigned char store[8];
    OutageRing r;
    OutageRingInit(&r, store, sizeof store);
    EXPECT_EQ(OutageRingPut(&r, "abcdef", 6), 0u);
    char chunk[4];
    ASSERT_EQ(OutageRingPeek(&r, chunk, 4), 4u);
    EXPECT_EQ(std::string(chunk, 4), "abcd");
    EXPECT_EQ(Held(r), "abcdef");  // a peek removes nothing
    OutageRingConsume(&r, 4);
    EXPECT_EQ(OutageRingPut(&r, "ghijk", 5), 0u);  // wraps the end of the storage
    EXPECT_EQ(Held(r), "efghijk");
    EXPECT_EQ(OutageRingPut(&r, "lmn", 3), 2u);
    EXPECT_EQ(Held(r), "ghijklmn");
    EXPECT_EQ(OutageRingPut(&r, std::string("0123456789\0z", 12).data(), 12), 12u);
    EXPECT_EQ(Held(r), std::string("456789\0z", 8));
    EXPECT_EQ(OutageRingTakeDropped(&r), 14u);
    EXPECT_EQ(OutageRingTakeDropped(&r), 0u);
    OutageRingConsume(&r, 100);
    EXPECT_EQ(r.count, 0u);
}

TEST(OutageRing, ZeroCapacityKeepsNothing)
{
    OutageRing r;
    OutageRingInit(&r, nullptr, 16);
    EXPECT_EQ(OutageRingPut(&r, "abc", 3), 3u);
    EXPECT_EQ(Held(r), "");
}

}  // namespace
