#include "zel_control/container/zel_heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// Larger values come first.
int by_value(const void *a, const void *b)
{
    const int x = *static_cast<const int *>(a);
    const int y = *static_cast<const int *>(b);
    return x == y ? 0 : (x > y ? 1 : -1);
}

int same(const void *item, const void *key)
{
    return item == key ? 0 : 1;
}

std::vector<int> drain(zel_heap_t *h)
{
    std::vector<int> out;
    while (void *p = zel_heap_pop(h))
        out.push_back(*static_cast<int *>(p));
    return out;
}

} // namespace

TEST(ZelHeap, PopsInDescendingOrderWithDuplicates)
{
    std::vector<int> values(300);
    std::mt19937 rng(7);
    for (int &v : values)
        v = static_cast<int>(rng() % 50);
    zel_heap_t *h = zel_heap_create(by_value, 2, 512);
    for (int &v : values)
        ASSERT_EQ(zel_heap_insert(h, &v), 0);
    EXPECT_EQ(zel_heap_get_size(h), 300);
    EXPECT_EQ(zel_heap_get_capacity(h), 512);
    EXPECT_EQ(*static_cast<int *>(zel_heap_peek(h)), *std::max_element(values.begin(), values.end()));
    std::vector<int> expected = values;
    std::sort(expected.rbegin(), expected.rend());
    EXPECT_EQ(drain(h), expected);
    EXPECT_EQ(zel_heap_pop(h), nullptr);
    zel_heap_release(h);
}

TEST(ZelHeap, RefusesWhenTheMaximumIsBelowTwiceTheSize)
{
    int v[8] = {};
    zel_heap_t *h = zel_heap_create(by_value, 3, 10);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(zel_heap_insert(h, &v[i]), 0);
    EXPECT_EQ(zel_heap_insert(h, &v[6]), -21);
    EXPECT_EQ(zel_heap_get_size(h), 6);
    EXPECT_EQ(zel_heap_get_max_capacity(h), 10);
    EXPECT_EQ(zel_heap_insert(h, nullptr), -2);
    EXPECT_EQ(zel_heap_insert(nullptr, &v[0]), -2);
    zel_heap_release(h);
}

TEST(ZelHeap, RemoveAtAnIndexKeepsTheOrder)
{
    // Removing a deep leaf whose replacement must move up, and inner nodes that must move down.
    std::vector<int> values = {100, 50, 90, 10, 20, 80, 85, 1, 2, 3, 4, 5, 6, 7, 8};
    zel_heap_t *h = zel_heap_create(by_value, 16, 16);
    for (int &v : values)
        zel_heap_insert(h, &v);
    const int at = zel_heap_search(h, 0, same, &values[3]);  // 10
    ASSERT_GE(at, 0);
    EXPECT_EQ(zel_heap_remove(h, at), &values[3]);
    EXPECT_EQ(zel_heap_search(h, 0, same, &values[3]), -1);
    EXPECT_EQ(zel_heap_remove(h, 0), &values[0]);
    EXPECT_EQ(zel_heap_remove(h, 99), nullptr);
    EXPECT_EQ(zel_heap_search(h, -1, same, &values[1]), -2);
    EXPECT_EQ(drain(h), (std::vector<int>{90, 85, 80, 50, 20, 8, 7, 6, 5, 4, 3, 2, 1}));
    zel_heap_release(h);
}
