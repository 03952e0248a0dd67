// The item pool: reuse up to its capacity, reset on recycle, and destruction of what it does not keep.
#include "zel_control/log/zel_trash.h"

#include <gtest/gtest.h>

#include <set>

namespace {

int g_created, g_destroyed, g_reset;

struct item {
    void *link;
    int value;
};

void *create_item()
{
    g_created++;
    return new item{nullptr, 7};
}

void destroy_item(void *p)
{
    g_destroyed++;
    delete static_cast<item *>(p);
}

void reset_item(void *p)
{
    g_reset++;
    static_cast<item *>(p)->value = 0;
}

class Trash : public ::testing::Test {
protected:
    void SetUp() override { g_created = g_destroyed = g_reset = 0; }
};

TEST_F(Trash, ReusesFreedItemsUpToCapacity)
{
    zel_trash_t *pool = zel_trash_create(create_item, destroy_item, reset_item, 2);
    ASSERT_NE(pool, nullptr);
    void *a = zel_trash_request(pool), *b = zel_trash_request(pool), *c = zel_trash_request(pool);
    EXPECT_EQ(g_created, 3);
    zel_trash_recycle(pool, a);
    zel_trash_recycle(pool, b);
    zel_trash_recycle(pool, c); // the pool is full: c is destroyed
    EXPECT_EQ(zel_trash_get_size(pool), 2);
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(g_reset, 3);

    std::set<void *> again{zel_trash_request(pool), zel_trash_request(pool)};
    EXPECT_EQ(again, (std::set<void *>{a, b}));
    EXPECT_EQ(g_created, 3);
    EXPECT_EQ(static_cast<item *>(a)->value, 0);
    EXPECT_EQ(zel_trash_get_size(pool), 0);
    for (void *p : again)
        zel_trash_recycle(pool, p);
    zel_trash_release(pool);
    EXPECT_EQ(g_destroyed, 3);
}

TEST_F(Trash, NegativeCapacityKeepsNothingAndClearEmpties)
{
    zel_trash_t *none = zel_trash_create(create_item, destroy_item, nullptr, -5);
    zel_trash_recycle(none, zel_trash_request(none));
    EXPECT_EQ(zel_trash_get_size(none), 0);
    EXPECT_EQ(g_destroyed, 1);
    zel_trash_release(none);

    zel_trash_t *pool = zel_trash_create(create_item, destroy_item, nullptr, 8);
    for (int i = 0; i < 3; i++)
        zel_trash_recycle(pool, create_item());
    EXPECT_EQ(zel_trash_get_size(pool), 3);
    zel_trash_clear(pool);
    EXPECT_EQ(zel_trash_get_size(pool), 0);
    EXPECT_EQ(g_destroyed, 4);
    zel_trash_release(pool);
    EXPECT_EQ(zel_trash_create(nullptr, destroy_item, nullptr, 1), nullptr);
}

} // namespace
