#include "zel_control/ini/zel_fast_json.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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
    EXPECT_EQ(zel_fast_json_get_string(kText, "missing", buf, sizeof buf), 0);
    char *s = zel_fast_json_get_string_new(kText, "after");
    EXPECT_STREQ(s, "z");
    free(s);
    s = zel_fast_json_get_string_new(kText, "empty");
    EXPECT_STREQ(s, "");
    free(s);
    EXPECT_EQ(zel_fast_json_get_string_new(kText, "missing"), nullptr);
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
