// JSON splitting and lookups, base64 against Python's base64 module, and the counting allocator.
#include "common/utils/ko_json.h"
#include "common/utils/vexa_base64.h"
#include "common/utils/vexa_mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>

#include "zel_test_support.h"

TEST(KoJson, SplitFindsTheFirstWholeObject)
{
    int start = -1, end = -1;
    const char buf[] = "xy{\"a\":{\"b\":1}}{";
    EXPECT_EQ(ko_json_split(buf, static_cast<int>(std::strlen(buf)), &start, &end), 0);
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 15);
    const char cut[] = "{\"a\":{\"b\":1}";
    EXPECT_EQ(ko_json_split(cut, 12, &start, &end), -1);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 12);
    EXPECT_EQ(ko_json_split("no object", 9, &start, &end), -1);
    EXPECT_EQ(start, 9);
    EXPECT_EQ(ko_json_split("ab{", 3, &start, &end), -1);
    EXPECT_EQ(end, 3);
    EXPECT_EQ(ko_json_split(nullptr, 3, &start, &end), -1);
}

TEST(KoJson, SplitSkipsBracesInsideStrings)
{
    int start = -1, end = -1;
    const char closing[] = R"({"v":"a}b"})";
    EXPECT_EQ(ko_json_split(closing, static_cast<int>(std::strlen(closing)), &start, &end), 0);
    EXPECT_EQ(end, static_cast<int>(std::strlen(closing)));
    const char opening[] = R"({"v":"{"}{"w":1})";
    ASSERT_EQ(ko_json_split(opening, static_cast<int>(std::strlen(opening)), &start, &end), 0);
    EXPECT_EQ(std::string(opening + start, static_cast<size_t>(end - start)), R"({"v":"{"})");
    const char escaped[] = R"({"v":"\"}\\"}x)";
    ASSERT_EQ(ko_json_split(escaped, static_cast<int>(std::strlen(escaped)), &start, &end), 0);
    EXPECT_EQ(end, static_cast<int>(std::strlen(escaped)) - 1);
    const char open_string[] = R"({"v":"}})";
    EXPECT_EQ(ko_json_split(open_string, static_cast<int>(std::strlen(open_string)), &start, &end), -1);
}

TEST(KoJson, FlatTextLookups)
{
    const char text[] = "{\"code\":12,\"msg\":\"hello\",\"total\":345,\"ok\":true}";
    char out[16] = {0};
    EXPECT_EQ(vexa_json_get_long(text, "code", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "12");
    std::memset(out, 0, sizeof(out));
    EXPECT_EQ(vexa_json_get_long(text, "total", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "345");
    std::memset(out, 'Z', sizeof(out));
    EXPECT_EQ(vexa_json_get_string(text, "msg", out, 5), 0);
    EXPECT_EQ(std::string(out, 6), "helloZ");
    EXPECT_EQ(vexa_json_get_string(text, "msg", out, 4), -1);
    EXPECT_EQ(vexa_json_get_string(text, "absent", out, 4), -1);
    EXPECT_EQ(vexa_json_get_string(text, std::string(60, 'k').c_str(), out, 4), -1);
    uint8_t flag = 9;
    EXPECT_EQ(vexa_json_get_bool("{\"ok\":true}", "ok", &flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(vexa_json_get_bool("{\"ok\":false}", "ok", &flag), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(vexa_json_get_long("{\"a\":1", "a", out, sizeof(out)), -1);
}

TEST(KoJson, ParsedChecksAndClone)
{
    EXPECT_EQ(ko_json_verify("{\"a\":1}"), 0);
    EXPECT_EQ(ko_json_verify("{nope"), -1);
    EXPECT_EQ(ko_json_verify_key("{\"a\":1}", "a"), 0);
    EXPECT_EQ(ko_json_verify_key("{\"a\":1}", "b"), -1);
    int v = 0;
    EXPECT_EQ(ko_json_verify_get_int("{\"a\":-7}", "a", &v), 0);
    EXPECT_EQ(v, -7);
    EXPECT_EQ(ko_json_verify_get_int("{\"a\":\"7\"}", "a", &v), -1);
    EXPECT_EQ(ko_json_verify_method_value("{\"m\":\"local.did\"}", "m", "local.did"), 0);
    EXPECT_EQ(ko_json_verify_method_value("{\"m\":\"local.did\"}", "m", "local.di"), -1);
    EXPECT_EQ(ko_json_verify_method_value("{\"m\":1}", "m", "1"), -1);

    json_object *obj = json_tokener_parse("{\"a\":[1,2],\"b\":{\"c\":true}}");
    json_object *copy = json_object_object_clone(obj);
    ASSERT_NE(copy, nullptr);
    json_object *a1 = nullptr, *a2 = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(obj, "a", &a1));
    ASSERT_TRUE(json_object_object_get_ex(copy, "a", &a2));
    EXPECT_EQ(a1, a2);
    json_object_put(obj);
    EXPECT_STREQ(json_object_to_json_string_ext(copy, JSON_C_TO_STRING_PLAIN), "{\"a\":[1,2],\"b\":{\"c\":true}}");
    json_object_put(copy);
    EXPECT_EQ(json_object_object_clone(nullptr), nullptr);
}

TEST(VexaBase64, KnownValues)
{
    char out[16];
    EXPECT_EQ(vexa_base64_encode(reinterpret_cast<const unsigned char *>("abc"), 3, out, sizeof(out)), 4);
    EXPECT_STREQ(out, "YWJj");
    EXPECT_EQ(vexa_base64_encode(reinterpret_cast<const unsigned char *>("a"), 1, out, sizeof(out)), 4);
    EXPECT_STREQ(out, "YQ==");
    EXPECT_EQ(vexa_base64_encode(reinterpret_cast<const unsigned char *>("abc"), 3, out, 4), -1);
    const unsigned char two[] = {0xfb, 0xff};
    std::memset(out, 'Z', sizeof(out));
    EXPECT_EQ(vexa_base64_encode_url(two, 2, out, sizeof(out)), 3);
    EXPECT_EQ(std::string(out, 3), "-_8");
    EXPECT_EQ(out[3], '\0');
    EXPECT_EQ(vexa_base64_encode_url(two, 2, out, 4), 0);
    unsigned char bin[8];
    EXPECT_EQ(vexa_base64_decode("Y W\nJj", 6, bin, sizeof(bin)), 3u);
    EXPECT_EQ(std::memcmp(bin, "abc", 3), 0);
    EXPECT_EQ(vexa_base64_decode("YQ==", 4, bin, sizeof(bin)), 1u);
    EXPECT_EQ(vexa_base64_decode("YWJj", 4, bin, 2), static_cast<unsigned>(-1));
    EXPECT_EQ(vexa_base64_decode_url("-_8", 3, bin, sizeof(bin)), 2u);
    EXPECT_EQ(std::memcmp(bin, two, 2), 0);
    EXPECT_EQ(vexa_base64_decode_url("+/8", 3, bin, sizeof(bin)), 2u);
}

TEST(VexaBase64, MatchesPythonOnRandomInputs)
{
    zeltest::TempRoot root;
    std::mt19937 rng(11);
    std::ostringstream hex_lines, ours;
    for (int i = 0; i < 200; ++i) {
        const size_t len = rng() % 300;
        std::string data(len, '\0');
        for (auto &c : data)
            c = static_cast<char>(rng());
        std::string enc(len / 3 * 4 + 8, '\0'), url(len / 3 * 4 + 8, '\0');
        const auto *in = reinterpret_cast<const unsigned char *>(data.data());
        const int n = vexa_base64_encode(in, static_cast<unsigned>(len), enc.data(), static_cast<unsigned>(enc.size()));
        const int u = vexa_base64_encode_url(in, static_cast<unsigned>(len), url.data(), static_cast<unsigned>(url.size()));
        ASSERT_GE(n, 0);
        std::string back(len + 3, '\0');
        ASSERT_EQ(vexa_base64_decode(enc.c_str(), static_cast<unsigned>(n), reinterpret_cast<unsigned char *>(back.data()),
                                     static_cast<unsigned>(back.size())),
                  len);
        ASSERT_EQ(back.substr(0, len), data);
        for (unsigned char c : data) {
            char h[3];
            std::snprintf(h, sizeof(h), "%02x", c);
            hex_lines << h;
        }
        hex_lines << "\n";
        ours << enc.substr(0, n) << " " << url.substr(0, u) << "\n";
    }
    root.write_file("/tmp/in.txt", hex_lines.str());
    const std::string script =
        "import base64,sys\n"
        "for l in open(sys.argv[1]):\n"
        "    b=bytes.fromhex(l.strip())\n"
        "    print(base64.b64encode(b).decode(), base64.urlsafe_b64encode(b).decode().rstrip('='))\n";
    root.write_file("/tmp/b64.py", script);
    std::string theirs;
    ASSERT_EQ(zeltest::run_command(std::string(ZEL_PYTHON) + " " + root.path("/tmp/b64.py") + " " + root.path("/tmp/in.txt"),
                                   &theirs),
              0);
    EXPECT_EQ(theirs, ours.str());
}

TEST(VexaMem, CountsBlocksAndHeapBytes)
{
    int blocks0 = 0, bytes0 = 0, blocks = 0, bytes = 0;
    ASSERT_EQ(vexa_heap_info_get(&blocks0, &bytes0), 0);
    auto *p = static_cast<unsigned char *>(vexa_malloc(100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(p[i], 0);
    char *s = vexa_strdup("text");
    vexa_heap_info_get(&blocks, &bytes);
    EXPECT_EQ(blocks, blocks0 + 2);
    EXPECT_GE(bytes, bytes0 + 105);
    p = static_cast<unsigned char *>(vexa_realloc(p, 5000));
    ASSERT_NE(p, nullptr);
    vexa_heap_info_get(&blocks, &bytes);
    EXPECT_EQ(blocks, blocks0 + 2);
    EXPECT_GE(bytes, bytes0 + 5005);
    vexa_free(p);
    vexa_free(s);
    vexa_free(nullptr);
    vexa_heap_info_get(&blocks, &bytes);
    EXPECT_EQ(blocks, blocks0);
    EXPECT_EQ(bytes, bytes0);
    EXPECT_EQ(vexa_strdup(nullptr), nullptr);
    EXPECT_EQ(vexa_heap_info_get(nullptr, &bytes), -1);
}
