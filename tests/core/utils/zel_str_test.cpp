#include "zel_control/utils/zel_str.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "zel_control/utils/zel_parse.h"
#include "zel_test_support.h"

TEST(ZelStrToken, SkipsLeadingDelimitersAndStopsOnTheNext)
{
    const char *text = ",,ab,c";
    const char *cursor = text;
    char out[8];
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), 2);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(cursor, text + 4);  // on the comma before c
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), 1);
    EXPECT_STREQ(out, "c");
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), -1);  // empty text left
}

TEST(ZelStrToken, FailuresLeaveTheCursor)
{
    const char *text = ",,,";
    const char *cursor = text;
    char out[4];
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), -4);
    EXPECT_EQ(cursor, text);
    const char *longer = "abcd,e";
    cursor = longer;
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), -22);
    EXPECT_EQ(cursor, longer);
    const char *empty = "";
    cursor = empty;
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",", 1), -1);
    // Only the first n characters of the set count.
    cursor = "a;b,c";
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, ",;", 1), 3);
    EXPECT_STREQ(out, "a;b");
}

TEST(ZelStrToken, NoDelimitersTakeTheWholeRest)
{
    const char *cursor = "a b,c";
    char out[8];
    EXPECT_EQ(zel_str_read_token(&cursor, out, sizeof out, nullptr, 0), 5);
    EXPECT_STREQ(out, "a b,c");
    int count = 0;
    char **items = zel_str_split(" x,y ", nullptr, 3, &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(items[0], "x,y");
    zel_str_array_release(items, count);
    cursor = "k=v";
    EXPECT_EQ(zel_str_read_token_between(&cursor, out, sizeof out, nullptr, 1, 0, "", 0), 0);
}

TEST(ZelStrToken, NewTokensLinesAndNumbers)
{
    const char *cursor = "  12 x 3.5  ";
    int i = 0;
    double d = 0;
    EXPECT_EQ(zel_str_read_int(&cursor, &i, " ", 1), 1);
    EXPECT_EQ(i, 12);
    char *t = zel_str_read_token_new(&cursor, " ", 1);
    EXPECT_STREQ(t, "x");
    free(t);
    EXPECT_EQ(zel_str_read_double(&cursor, &d, " ", 1), 1);
    EXPECT_DOUBLE_EQ(d, 3.5);
    EXPECT_EQ(zel_str_read_token_new(&cursor, " ", 1), nullptr);
    EXPECT_EQ(*cursor, '\0');
    EXPECT_EQ(zel_str_read_int(&cursor, &i, " ", 1), 0);

    const char *lines = "one\n\n\ntwo\n";
    char line[8];
    EXPECT_EQ(zel_str_get_line(&lines, line, sizeof line), 3);
    EXPECT_EQ(zel_str_get_line(&lines, line, sizeof line), 3);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(zel_str_get_line(&lines, line, sizeof line), -4);
}

TEST(ZelStrToken, BetweenStartAndEndCharacters)
{
    const char *text = "a(1) b(22) c";
    const char *cursor = text;
    char out[8];
    EXPECT_EQ(zel_str_read_token_between(&cursor, out, sizeof out, "(", 1, 1, ")", 1), 2);
    EXPECT_STREQ(out, "22");
    EXPECT_EQ(cursor, text + 10);  // one past the token: after ")"
    EXPECT_EQ(zel_str_read_token_between(&cursor, out, sizeof out, "(", 1, 0, ")", 1), 0);
    EXPECT_EQ(*cursor, '\0');
    cursor = "k=5;v=6.25;";
    int i = 0;
    double d = 0;
    EXPECT_EQ(zel_str_read_int_between(&cursor, &i, "=", 1, 0, ";", 1), 1);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(zel_str_read_double_between(&cursor, &d, "=", 1, 0, ";", 1), 1);
    EXPECT_DOUBLE_EQ(d, 6.25);
    cursor = "x[abc]";
    char *s = zel_str_read_token_between_new(&cursor, "[", 1, 0, "]", 1);
    EXPECT_STREQ(s, "abc");
    free(s);
}

TEST(ZelStrSplit, TrimmedTokensWithoutEmptyFields)
{
    int count = -1;
    char **items = zel_str_split(" a , b ,, c ", ",", 1, &count);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(items[0], "a");
    EXPECT_STREQ(items[1], "b");
    EXPECT_STREQ(items[2], "c");
    zel_str_array_release(items, count);
    EXPECT_EQ(zel_str_split(" , ,", ",", 1, &count), nullptr);
    EXPECT_EQ(count, 0);
    std::string many;
    for (int i = 0; i < 1100; ++i)
        many += "x,";
    items = zel_str_split(many.c_str(), ",", 1, &count);
    EXPECT_EQ(count, 1024);
    zel_str_array_release(items, count);
}

TEST(ZelStrSplit, SplitBySeparator)
{
    char out[8] = {};
    const char *text = "key::value";
    EXPECT_EQ(split_str_by_sep(text, "::", out, sizeof out), text + 5);
    EXPECT_STREQ(out, "key");
    char whole[8] = {};
    const char *rest = "abc";
    EXPECT_EQ(split_str_by_sep(rest, "::", whole, sizeof whole), rest + 3);
    EXPECT_STREQ(whole, "abc");
    EXPECT_EQ(split_str_by_sep("", "::", whole, sizeof whole), nullptr);
    EXPECT_EQ(split_str_by_sep("12345678::", "::", whole, sizeof whole), nullptr);
    EXPECT_EQ(split_str_by_sep(nullptr, "::", whole, sizeof whole), nullptr);

    char table[4][5];
    EXPECT_EQ(parseStrBySeparator("a,,longword,d,", &table[0][0], 5, 4, ','), 4);
    EXPECT_STREQ(table[0], "a");
    EXPECT_STREQ(table[1], "");
    EXPECT_STREQ(table[2], "long");
    EXPECT_STREQ(table[3], "d");
    EXPECT_EQ(parseStrBySeparator("1,2,3,4,5,6", &table[0][0], 5, 4, ','), 4);  // bounded by the table
    EXPECT_EQ(parseStrBySeparator("", &table[0][0], 5, 4, ','), 0);
}

TEST(ZelStrTrim, WhitespaceRules)
{
    char blanks[] = " \t\r\n ";
    EXPECT_STREQ(zel_str_trim(blanks), "");
    char three[] = "   ";
    EXPECT_STREQ(zel_str_trim_end(three), " ");
    char both[] = "\t x y \n";
    EXPECT_STREQ(zel_str_trim(both), "x y");
    char start[] = "  s ";
    EXPECT_STREQ(zel_str_trim_start(start), "s ");
    char rpl[] = "a.b.c.d";
    EXPECT_STREQ(zel_strnrpl(rpl, '.', '/', 4), "a/b/c.d");
    EXPECT_EQ(zel_str_start_with("prefix-rest", "prefix"), 1);
    EXPECT_EQ(zel_str_start_with("pre", "prefix"), 0);
    EXPECT_EQ(zel_str_start_with("any", ""), 1);
}

TEST(ZelStrAlloc, PrintfAndRepeatGiveExactBuffers)
{
    char *out = nullptr;
    const std::string big(1000, 'q');
    EXPECT_EQ(zel_str_printf(&out, "%s-%d", big.c_str(), 7), 1002);
    EXPECT_EQ(std::string(out), big + "-7");
    free(out);
    EXPECT_EQ(zel_str_printf(nullptr, "x"), -22);
    EXPECT_EQ(zel_str_repeat(&out, "ab", 3), 6);
    EXPECT_STREQ(out, "ababab");
    free(out);
    EXPECT_EQ(zel_str_repeat(&out, "ab", 0), 0);
    EXPECT_STREQ(out, "");
    free(out);
    EXPECT_EQ(zel_str_repeat(&out, nullptr, 2), -22);
}

TEST(ZelStrFile, ReadAllText)
{
    zeltest::TempRoot root;
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += "line " + std::to_string(i) + "\n";
    root.write_file("/tmp/text", content);
    const std::string path = root.path("/tmp/text");
    char small[16];
    EXPECT_EQ(zel_read_all_text(path.c_str(), small, sizeof small), 15);
    EXPECT_EQ(std::string(small), content.substr(0, 15));
    std::string big(content.size() + 10, 'x');
    EXPECT_EQ(zel_read_all_text(path.c_str(), big.data(), static_cast<int>(big.size())),
              static_cast<int>(content.size()));
    EXPECT_EQ(zel_read_all_text(root.path("/tmp/none").c_str(), small, sizeof small), -7);
    EXPECT_EQ(zel_read_all_text(path.c_str(), nullptr, 4), -2);
    size_t len = 1;
    char *all = zel_read_all_text_new(path.c_str(), &len);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(len, content.size());
    EXPECT_EQ(std::string(all), content);
    free(all);
    EXPECT_EQ(zel_read_all_text_new(root.path("/tmp/none").c_str(), &len), nullptr);
    EXPECT_EQ(len, 0u);
}

TEST(ZelParse, NumbersAndBooleans)
{
    EXPECT_EQ(zel_parse_int("42abc", 1), 42);
    EXPECT_EQ(zel_parse_int(nullptr, 9), 9);
    EXPECT_EQ(zel_parse_longlong("8589934592", 0), 8589934592LL);
    EXPECT_FLOAT_EQ(zel_parse_float("1.5", 0), 1.5f);
    EXPECT_EQ(zel_parse_bool("TrUe", 0), 1);
    EXPECT_EQ(zel_parse_bool("FALSE", 1), 0);
    EXPECT_EQ(zel_parse_bool("1", 0), 0);
    EXPECT_EQ(zel_parse_bool("yes", 1), 1);
    EXPECT_EQ(zel_parse_bool(nullptr, 1), 1);
}

TEST(ZelParse, HeadPositionTakesTwoNumbersZeroToHundredOnly)
{
    int x = -7, y = -7;
    EXPECT_EQ(zel_parse_position("[0,100]", &x, &y), 0);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 100);
    for (const char *bad : {"", "[50,50", "[50]", "[101,5]", "[5,-1]", "[5,5]x", "50,50", "[a,b]",
                            "[99999999999,1]"}) {
        x = y = -7;
        EXPECT_EQ(zel_parse_position(bad, &x, &y), -1) << bad;
        EXPECT_EQ(x, -7) << bad;
        EXPECT_EQ(y, -7) << bad;
    }
    EXPECT_EQ(zel_parse_position(nullptr, &x, &y), -1);
    EXPECT_EQ(zel_parse_position("[1,2]", nullptr, &y), -1);
}
