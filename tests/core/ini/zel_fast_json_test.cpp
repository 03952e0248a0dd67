#include "zel_control/ini/zel_fast_json.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "zel_control/utils/zel_str.h"

namespace {
const char *kText = R"({"name":"cam-01","count":42,"quoted":"17","ratio":0.5,"on": true ,"off":false,)"
                    R"("tags":["a", 'b c', ""],"nums":[1, 2 ,3],"dbl":[1.5,-2],"flags":[true,FALSE,x],)"
                    R"("empty":"","after":"z","none":[]})";
}

TEST(ZelFastJson, Strings)
{
    char buf[32];
    EXPECT_EQ(zel_fast_json_get_string(kText, "name", buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "cam-01");
    EXPECT_EQ(zel_fast_json_get_string(kText, "name", buf, 6), -22);
    EXPECT_EQ(zel_fast_json_get_string(kText, "empty", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    strcpy(buf, "stale");
    EXPECT_EQ(zel_fast_json_get_string(kText, "missing", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    char *s = zel_fast_json_get_string_new(kText, "after");
    EXPECT_STREQ(s, "z");
    free(s);
    s = zel_fast_json_get_string_new(kText, "empty");
    EXPECT_STREQ(s, "");
    free(s);
    EXPECT_EQ(zel_fast_json_get_string_new(kText, "missing"), nullptr);

    // Quote characters opening the value are skipped; the same quote twice is the empty value.
    const char *quoted = R"({"q":"'abc'","e":"","n":"x"})";
    EXPECT_EQ(zel_fast_json_get_string(quoted, "q", buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");
    s = zel_fast_json_get_string_new(quoted, "q");
    EXPECT_STREQ(s, "abc");
    free(s);
    EXPECT_EQ(zel_fast_json_get_string(quoted, "e", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST(ZelFastJson, Scalars)
{
    EXPECT_EQ(zel_fast_json_get_int(kText, "count", -1), 42);
    EXPECT_EQ(zel_fast_json_get_int(kText, "quoted", -1), 0);  // atoi of the quote
    EXPECT_EQ(zel_fast_json_get_int(kText, "missing", -1), -1);
    EXPECT_DOUBLE_EQ(zel_fast_json_get_double(kText, "ratio", 0), 0.5);
    EXPECT_EQ(zel_fast_json_get_bool(kText, "on", 0), 1);
    EXPECT_EQ(zel_fast_json_get_bool(kText, "off", 1), 0);
    EXPECT_EQ(zel_fast_json_get_bool(kText, "count", 1), 1);
    EXPECT_EQ(zel_fast_json_get_int(R"({"last":7})", "last", 0), 7);
}

TEST(ZelFastJson, Arrays)
{
    int n = -1;
    char **tags = zel_fast_json_get_string_array(kText, "tags", &n);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(tags[0], "a");
    EXPECT_STREQ(tags[1], "b c");
    EXPECT_STREQ(tags[2], "");
    zel_str_array_release(tags, n);

    int *nums = zel_fast_json_get_int_array(kText, "nums", &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(nums[0] + nums[1] + nums[2], 6);
    EXPECT_EQ(nums[2], 3);
    free(nums);

    double *dbl = zel_fast_json_get_double_array(kText, "dbl", &n);
    ASSERT_EQ(n, 2);
    EXPECT_DOUBLE_EQ(dbl[1], -2.0);
    free(dbl);

    int *flags = zel_fast_json_get_bool_array(kText, "flags", &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 0);
    EXPECT_EQ(flags[2], 0);
    free(flags);

    EXPECT_EQ(zel_fast_json_get_int_array(kText, "none", &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(zel_fast_json_get_string_array(kText, "missing", &n), nullptr);
    EXPECT_EQ(n, 0);
}

TEST(ZelFastJson, RandomTextStaysWithinTheBuffers)
{
    static const std::string kAlphabet = "\"':,{}[] \tk1-.etrufalsx";
    std::mt19937 rng(99);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t len = rng() % (round % 10 == 0 ? 2000 : 80);
        for (size_t i = 0; i < len; ++i)
            text += kAlphabet[rng() % kAlphabet.size()];
        const char *key = round % 2 ? "k" : "k1";

        char buf[9];
        memset(buf, 'Z', sizeof buf);
        const int size = 1 + static_cast<int>(rng() % 8);
        const int n = zel_fast_json_get_string(text.c_str(), key, buf, size);
        ASSERT_LT(n, size);
        ASSERT_EQ(buf[8], 'Z');
        if (n >= 0) {
            ASSERT_EQ(strnlen(buf, sizeof buf), static_cast<size_t>(n)) << text;
        }
        char *s = zel_fast_json_get_string_new(text.c_str(), key);
        if (n > 0) {
            ASSERT_STREQ(s, buf) << text;
        }
        free(s);
        zel_fast_json_get_int(text.c_str(), key, 0);
        zel_fast_json_get_double(text.c_str(), key, 0);
        zel_fast_json_get_bool(text.c_str(), key, 0);

        int count = -1;
        char **strings = zel_fast_json_get_string_array(text.c_str(), key, &count);
        ASSERT_EQ(strings == nullptr, count == 0);
        for (int i = 0; i < count; ++i)
            ASSERT_NE(strings[i], nullptr);
        zel_str_array_release(strings, count);
        int *ints = zel_fast_json_get_int_array(text.c_str(), key, &count);
        ASSERT_EQ(ints == nullptr, count == 0);
        free(ints);
        double *doubles = zel_fast_json_get_double_array(text.c_str(), key, &count);
        ASSERT_EQ(doubles == nullptr, count == 0);
        free(doubles);
        int *bools = zel_fast_json_get_bool_array(text.c_str(), key, &count);
        ASSERT_EQ(bools == nullptr, count == 0);
        free(bools);
    }
}
