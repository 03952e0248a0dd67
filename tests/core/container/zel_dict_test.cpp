#include "zel_control/container/zel_dict.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

TEST(ZelDictGrowth, ThirtyTwoBucketsGrowToSixtyFourAtTheTwentySixthKey)
{
    zel_dict_t *d = zel_dict_create(4);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(zel_dict_get_capacity(d), 32);
    static int v = 1;
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(zel_dict_set(d, ("k" + std::to_string(i)).c_str(), &v, nullptr), 0);
    EXPECT_EQ(zel_dict_get_capacity(d), 32);
    ASSERT_EQ(zel_dict_set(d, "k25", &v, nullptr), 0);
    EXPECT_EQ(zel_dict_get_capacity(d), 64);
    EXPECT_EQ(zel_dict_get_size(d), 26);
    for (int i = 0; i < 26; ++i)
        EXPECT_EQ(zel_dict_get(d, ("k" + std::to_string(i)).c_str(), nullptr), &v);
    zel_dict_release(d);
}

TEST(ZelDictSet, ExistingKeyReturnsOldValueAndKeepsCount)
{
    zel_dict_t *d = zel_dict_create(8);
    int a = 1, b = 2;
    void *old = &b;
    EXPECT_EQ(zel_dict_set(d, "key", &a, &old), 0);
    EXPECT_EQ(old, nullptr);
    EXPECT_EQ(zel_dict_set(d, "key", &b, &old), 0);
    EXPECT_EQ(old, &a);
    EXPECT_EQ(zel_dict_get_size(d), 1);
    EXPECT_EQ(zel_dict_get(d, "key", nullptr), &b);
    EXPECT_EQ(zel_dict_set(d, nullptr, &a, nullptr), -2);
    EXPECT_EQ(zel_dict_set(d, "x", nullptr, nullptr), -2);
    EXPECT_EQ(zel_dict_set(nullptr, "x", &a, nullptr), -2);
    EXPECT_EQ(zel_dict_get_size(nullptr), -2);
    zel_dict_release(d);
}

TEST(ZelDictSet, KeyIsCopiedNotBorrowed)
{
    zel_dict_t *d = zel_dict_create(8);
    int a = 1;
    std::string key = "volatile";
    zel_dict_set(d, key.c_str(), &a, nullptr);
    key[0] = 'X';
    EXPECT_EQ(zel_dict_get(d, "volatile", nullptr), &a);
    EXPECT_EQ(zel_dict_is_key_exist(d, key.c_str()), 0);
    zel_dict_release(d);
}

TEST(ZelDictRemove, ShrinksBackAndKeepsTheRest)
{
    zel_dict_t *d = zel_dict_create(4);
    static int values[200];
    for (int i = 0; i < 200; ++i)
        zel_dict_set(d, std::to_string(i).c_str(), &values[i], nullptr);
    EXPECT_EQ(zel_dict_get_capacity(d), 256);
    for (int i = 0; i < 190; ++i)
        EXPECT_EQ(zel_dict_remove(d, std::to_string(i).c_str()), &values[i]);
    EXPECT_EQ(zel_dict_remove(d, "0"), nullptr);
    EXPECT_EQ(zel_dict_get_size(d), 10);
    EXPECT_LT(zel_dict_get_capacity(d), 256);
    EXPECT_GE(zel_dict_get_capacity(d), 32);
    for (int i = 190; i < 200; ++i)
        EXPECT_EQ(zel_dict_get(d, std::to_string(i).c_str(), nullptr), &values[i]);
    zel_dict_release(d);
}

TEST(ZelDictIterate, VisitsEveryPairOnce)
{
    zel_dict_t *d = zel_dict_create(4);
    static int values[40];
    for (int i = 0; i < 40; ++i)
        zel_dict_set(d, ("n" + std::to_string(i)).c_str(), &values[i], nullptr);
    std::map<std::string, void *> seen;
    zel_dict_iter_t *it = zel_dict_get_iterator(d);
    const void *key;
    void *value;
    while (zel_dict_iter_get_next(it, &key, &value))
        EXPECT_TRUE(seen.emplace(static_cast<const char *>(key), value).second);
    EXPECT_EQ(zel_dict_iter_get_next(it, &key, &value), 0);
    zel_dict_release_iterator(it);
    ASSERT_EQ(seen.size(), 40u);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(seen["n" + std::to_string(i)], &values[i]);
    zel_dict_release(d);
}

TEST(ZelDictIntKeys, Int32OperationsStoreCopies)
{
    zel_dict_t *d = zel_dict_create_ex(8, int32_hash, int32_comparer, int32_duplicate, int32_release);
    int32_t k = -7;
    int v = 3;
    ASSERT_EQ(zel_dict_set(d, &k, &v, nullptr), 0);
    int32_t probe = -7;
    k = 100;
    EXPECT_EQ(zel_dict_get(d, &probe, nullptr), &v);
    EXPECT_EQ(zel_dict_get(d, &k, nullptr), nullptr);
    int32_t lo = INT32_MIN, hi = INT32_MAX;
    EXPECT_LT(int32_comparer(&lo, &hi), 0);
    EXPECT_GT(int32_comparer(&hi, &lo), 0);
    EXPECT_EQ(int32_hash(&probe), static_cast<uint32_t>(-7));
    EXPECT_EQ(zel_dict_remove(d, &probe), &v);
    EXPECT_EQ(zel_dict_get_size(d), 0);
    zel_dict_release(d);
}

TEST(ZelStringHash, JenkinsOneAtATime)
{
    // Known values of the one-at-a-time hash.
    EXPECT_EQ(zel_string_hash(""), 0u);
    EXPECT_EQ(zel_string_hash(nullptr), 0u);
    EXPECT_EQ(zel_string_hash("a"), 0xca2e9442u);
    EXPECT_EQ(zel_string_hash("The quick brown fox jumps over the lazy dog"), 0x519e91f5u);
    char *copy = zel_clone_string("abc");
    EXPECT_STREQ(copy, "abc");
    zel_release_string(copy);
    EXPECT_EQ(zel_clone_string(nullptr), nullptr);
}
