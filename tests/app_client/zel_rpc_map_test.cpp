// The id maps on their own: outward -> internal for properties and actions, and back for reports.
#include <gtest/gtest.h>

#include <utility>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"

namespace {

using Pair = std::pair<int, int>;

Pair inward(int siid, int piid)
{
    Pair out;
    vexa_spec_map(siid, piid, &out.first, &out.second);
    return out;
}

Pair outward(int siid, int piid)
{
    Pair out;
    vexa_spec_reverse_map(siid, piid, &out.first, &out.second);
    return out;
}

Pair action(int siid, int aiid)
{
    Pair out;
    vexa_spec_action_map(siid, aiid, &out.first, &out.second);
    return out;
}

TEST(RpcIdMap, ExactRowsAndWholeServicesMapInward)
{
    EXPECT_EQ(inward(2, 2), Pair(2, 11));
    EXPECT_EQ(inward(2, 4), Pair(2, 2));
    EXPECT_EQ(inward(3, 5), Pair(4, 5));
    EXPECT_EQ(inward(4, 1), Pair(3, 1));
    EXPECT_EQ(inward(9, 1), Pair(6, 4));
    EXPECT_EQ(inward(9, 10), Pair(6, 1));
    EXPECT_EQ(inward(6, 2), Pair(27, 2));
    EXPECT_EQ(inward(20, 1), Pair(22, 1));
}

TEST(RpcIdMap, RowsOfTheServiceWithOtherIdsArePassedOver)
{
    EXPECT_EQ(inward(2, 1), Pair(2, 1));
    EXPECT_EQ(inward(2, 8), Pair(2, 8));
    EXPECT_EQ(inward(8, 3), Pair(8, 3));
    EXPECT_EQ(inward(9, 11), Pair(9, 11));
    EXPECT_EQ(inward(77, 1), Pair(77, 1));
}

TEST(RpcIdMap, ReportsMapBackOutward)
{
    EXPECT_EQ(outward(4, 1), Pair(3, 1));
    EXPECT_EQ(outward(2, 2), Pair(2, 4));
    EXPECT_EQ(outward(2, 11), Pair(2, 2));
    EXPECT_EQ(outward(27, 1), Pair(6, 1));
    EXPECT_EQ(outward(29, 11), Pair(8, 12));
    EXPECT_EQ(outward(6, 4), Pair(9, 1));
    EXPECT_EQ(outward(9, 1), Pair(9, 1));
    EXPECT_EQ(outward(2, 1), Pair(2, 1));
}

TEST(RpcIdMap, ActionsMapInward)
{
    EXPECT_EQ(action(2, 2), Pair(2, 1));
    EXPECT_EQ(action(3, 1), Pair(4, 1));
    EXPECT_EQ(action(9, 2), Pair(6, 2));
    EXPECT_EQ(action(17, 1), Pair(17, 1));
    EXPECT_EQ(action(2, 1), Pair(2, 1));
}

} // namespace
