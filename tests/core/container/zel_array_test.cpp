#include "zel_control/container/zel_array.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct ArrayDeleter {
    void operator()(zel_array_t *a) const { zel_array_release(a); }
};
using Array = std::unique_ptr<zel_array_t, ArrayDeleter>;

// Items are small integers cast to pointers.
void *item(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t value(void *p) { return reinterpret_cast<intptr_t>(p); }

int equals(const void *a, const void *key)
{
    return a == key ? 0 : 1;
}

std::vector<intptr_t> contents(const zel_array_t *a)
{
    std::vector<intptr_t> out;
    for (int i = 0; i < zel_array_get_size(a); ++i)
        out.push_back(value(zel_array_get(a, i)));
    return out;
}

} // namespace

TEST(ZelArrayGrowth, DoublesUpToTheMaximumThenRefuses)
{
    Array a(zel_array_create(2, 32));
    for (int i = 1; i <= 32; ++i)
        ASSERT_EQ(zel_array_enqueue(a.get(), item(i)), 0) << i;
    EXPECT_EQ(zel_array_get_capacity(a.get()), 32);
    EXPECT_EQ(zel_array_enqueue(a.get(), item(33)), -21);
    EXPECT_EQ(zel_array_get_size(a.get()), 32);
    EXPECT_EQ(value(zel_array_get(a.get(), 31)), 32);
}

TEST(ZelArrayGrowth, MaximumNotAPowerStopsAtTheLastDoubling)
{
    Array a(zel_array_create(3, 10));
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(zel_array_enqueue(a.get(), item(i + 1)), 0);
    EXPECT_EQ(zel_array_enqueue(a.get(), item(7)), -21);
    EXPECT_EQ(zel_array_get_capacity(a.get()), 6);
    EXPECT_EQ(zel_array_get_min_capacity(a.get()), 3);
    EXPECT_EQ(zel_array_get_max_capacity(a.get()), 10);
}

TEST(ZelArrayGrowth, GrowingAWrappedRingKeepsOrderAndMovesItToTheFront)
{
    Array a(zel_array_create(4, 16));
    for (int i = 1; i <= 4; ++i)
        zel_array_enqueue(a.get(), item(i));
    EXPECT_EQ(value(zel_array_dequeue(a.get())), 1);
    EXPECT_EQ(value(zel_array_dequeue(a.get())), 2);
    zel_array_enqueue(a.get(), item(5));
    zel_array_enqueue(a.get(), item(6));  // wraps to slots 0 and 1
    EXPECT_EQ(zel_array_get_head_real_index(a.get()), 2);
    EXPECT_EQ(zel_array_get_tail_real_index(a.get()), 1);
    zel_array_enqueue(a.get(), item(7));  // full: grows
    EXPECT_EQ(zel_array_get_capacity(a.get()), 8);
    EXPECT_EQ(zel_array_get_head_real_index(a.get()), 0);
    EXPECT_EQ(zel_array_get_tail_real_index(a.get()), 4);
    EXPECT_EQ(contents(a.get()), (std::vector<intptr_t>{3, 4, 5, 6, 7}));
}

TEST(ZelArrayCreate, RefusesBadCapacities)
{
    EXPECT_EQ(zel_array_create(0, 4), nullptr);
    EXPECT_EQ(zel_array_create(8, 4), nullptr);
    EXPECT_EQ(zel_array_enqueue(nullptr, item(1)), -2);
    EXPECT_EQ(zel_array_get_size(nullptr), -2);
}

TEST(ZelArrayQueueStack, QueueIsFifoStackIsLifoAcrossWraps)
{
    Array a(zel_array_create(4, 4));
    EXPECT_EQ(zel_array_dequeue(a.get()), nullptr);
    EXPECT_EQ(zel_array_pop(a.get()), nullptr);
    for (int round = 0; round < 5; ++round) {
        zel_array_enqueue(a.get(), item(10 * round + 1));
        zel_array_enqueue(a.get(), item(10 * round + 2));
        zel_array_push(a.get(), item(10 * round + 3));
        EXPECT_EQ(value(zel_array_peek_queue(a.get())), 10 * round + 1);
        EXPECT_EQ(value(zel_array_peek_stack(a.get())), 10 * round + 3);
        EXPECT_EQ(value(zel_array_pop(a.get())), 10 * round + 3);
        EXPECT_EQ(value(zel_array_dequeue(a.get())), 10 * round + 1);
        EXPECT_EQ(value(zel_array_dequeue(a.get())), 10 * round + 2);
        EXPECT_EQ(zel_array_get_size(a.get()), 0);
    }
    // Pop moving the tail back across slot 0 wraps to capacity - 1.
    for (int i = 1; i <= 4; ++i)
        zel_array_enqueue(a.get(), item(i));
    zel_array_dequeue(a.get());
    zel_array_dequeue(a.get());
    zel_array_enqueue(a.get(), item(5));  // slot 0
    EXPECT_EQ(value(zel_array_pop(a.get())), 5);
    EXPECT_EQ(zel_array_get_tail_real_index(a.get()), 3);
    EXPECT_EQ(contents(a.get()), (std::vector<intptr_t>{3, 4}));
}

TEST(ZelArraySearch, EmptyGivesBadArgumentNoMatchGivesNotFound)
{
    Array a(zel_array_create(2, 8));
    EXPECT_EQ(zel_array_search(a.get(), 0, equals, item(1)), -2);
    zel_array_enqueue(a.get(), item(1));
    zel_array_enqueue(a.get(), item(2));
    zel_array_enqueue(a.get(), item(1));
    EXPECT_EQ(zel_array_search(a.get(), 0, equals, item(9)), -4);
    EXPECT_EQ(zel_array_search(a.get(), 0, equals, item(1)), 0);
    EXPECT_EQ(zel_array_search(a.get(), 1, equals, item(1)), 2);
    EXPECT_EQ(zel_array_search(a.get(), 3, equals, item(1)), -2);
    EXPECT_EQ(zel_array_search(a.get(), 0, nullptr, item(1)), -2);
}

TEST(ZelArrayRemove, RemoveShiftsFastRemoveMovesTheLast)
{
    Array a(zel_array_create(8, 8));
    for (int i = 1; i <= 5; ++i)
        zel_array_enqueue(a.get(), item(i));
    EXPECT_EQ(value(zel_array_remove(a.get(), 1)), 2);
    EXPECT_EQ(contents(a.get()), (std::vector<intptr_t>{1, 3, 4, 5}));
    EXPECT_EQ(value(zel_array_fast_remove(a.get(), 0)), 1);
    EXPECT_EQ(contents(a.get()), (std::vector<intptr_t>{5, 3, 4}));
    EXPECT_EQ(value(zel_array_search_and_remove(a.get(), 0, equals, item(3))), 3);
    EXPECT_EQ(value(zel_array_fast_search_and_remove(a.get(), 0, equals, item(5))), 5);
    EXPECT_EQ(contents(a.get()), (std::vector<intptr_t>{4}));
    EXPECT_EQ(zel_array_remove(a.get(), 1), nullptr);
    EXPECT_EQ(zel_array_search_and_remove(a.get(), 0, equals, item(9)), nullptr);
    EXPECT_EQ(value(zel_array_fast_remove(a.get(), 0)), 4);
    EXPECT_EQ(zel_array_get_size(a.get()), 0);
    // Emptied by removal, the next item starts again at slot 0.
    zel_array_enqueue(a.get(), item(7));
    EXPECT_EQ(zel_array_get_head_real_index(a.get()), 0);
    EXPECT_EQ(value(zel_array_get(a.get(), 0)), 7);
}

TEST(ZelArrayRealIndex, SlotsFollowTheWrappedRing)
{
    Array a(zel_array_create(4, 4));
    for (int i = 1; i <= 4; ++i)
        zel_array_enqueue(a.get(), item(i));
    zel_array_dequeue(a.get());
    zel_array_dequeue(a.get());
    zel_array_enqueue(a.get(), item(5));  // items 3, 4, 5 in slots 2, 3, 0
    EXPECT_EQ(zel_array_get_real_index(a.get(), 2), 0);
    EXPECT_EQ(zel_array_get_real_index(a.get(), 3), -2);
    EXPECT_EQ(value(zel_array_get_value_by_real_index(a.get(), 0)), 5);
    EXPECT_EQ(value(zel_array_get_value_by_real_index(a.get(), 3)), 4);
    EXPECT_EQ(zel_array_get_value_by_real_index(a.get(), 1), nullptr);  // free slot
    EXPECT_EQ(zel_array_get_next_real_index(a.get(), 3), 0);
    EXPECT_EQ(zel_array_get_next_real_index(a.get(), 0), -2);  // the tail
    EXPECT_EQ(zel_array_get_next_real_index(a.get(), 1), -2);
    EXPECT_EQ(zel_array_update(a.get(), 0, item(9)), 0);
    EXPECT_EQ(value(zel_array_get(a.get(), 0)), 9);
    EXPECT_EQ(zel_array_update(a.get(), 3, item(9)), -2);
}
