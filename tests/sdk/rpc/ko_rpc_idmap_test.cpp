#include "app/rpc/ko_rpc_idmap.h"

#include <gtest/gtest.h>

using ko_rpc::IdMap;
using ko_rpc::IdNode;

TEST(RpcIdMap, CounterSkipsTheLargestIdAndWraps)
{
    IdMap ids;
    EXPECT_EQ(ids.next_id(), 1);
    EXPECT_EQ(ids.next_id(), 2);
    ids.set_counter(2147483646);
    EXPECT_EQ(ids.next_id(), 2147483646);
    EXPECT_EQ(ids.next_id(), 1);
    EXPECT_EQ(ids.next_id(), 2);
    EXPECT_EQ(ids.next_id(), 3);
}

TEST(RpcIdMap, TakeGivesTheNodeOnce)
{
    IdMap ids;
    IdNode node;
    node.old_id = 5;
    node.inner = true;
    node.user_name = "1";
    ids.insert(40, node, 1000);
    IdNode got;
    ASSERT_TRUE(ids.take(40, &got));
    EXPECT_EQ(got.old_id, 5);
    EXPECT_TRUE(got.inner);
    EXPECT_EQ(got.user_name, "1");
    EXPECT_FALSE(ids.take(40, &got));
}

TEST(RpcIdMap, UnansweredRequestsExpireAndTheMapStaysBounded)
{
    IdMap ids;
    ids.insert(1, IdNode{}, 0);
    ids.insert(2, IdNode{}, IdMap::kExpiryMs - 1);
    ids.insert(3, IdNode{}, IdMap::kExpiryMs + 10); // expires id 1 only
    IdNode got;
    EXPECT_FALSE(ids.take(1, &got));
    EXPECT_TRUE(ids.take(2, &got));

    for (int32_t id = 100; id < 100 + 3 * static_cast<int32_t>(IdMap::kMaxNodes); ++id)
        ids.insert(id, IdNode{}, IdMap::kExpiryMs + 20);
    EXPECT_LE(ids.size(), IdMap::kMaxNodes);
    EXPECT_TRUE(ids.take(99 + 3 * static_cast<int32_t>(IdMap::kMaxNodes), &got)); // the newest stays
}
