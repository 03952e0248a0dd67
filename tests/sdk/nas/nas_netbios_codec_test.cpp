// NetBIOS packets: the queries' bytes as RFC 1002 lays them out, and answers parsed within their
// length, including cut packets, counts past the end and compression-pointer loops.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "app/nas/nas_netbios_codec.h"

namespace {

std::vector<uint8_t> name_answer(uint16_t id, const char *ip, bool pointer_name = false)
{
    std::vector<uint8_t> p = {uint8_t(id >> 8), uint8_t(id), 0x85, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
    if (pointer_name) {
        p.insert(p.end(), {0xc0, 0x0c});
    } else {
        p.push_back(32);
        for (int i = 0; i < 32; ++i)
            p.push_back('A');
        p.push_back(0);
    }
    p.insert(p.end(), {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x06, 0x00, 0x00});
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&a);
    p.insert(p.end(), b, b + 4);
    return p;
}

std::vector<uint8_t> status_answer(uint16_t id, int count, int entries)
{
    std::vector<uint8_t> p = {uint8_t(id >> 8), uint8_t(id), 0x84, 0x00, 0, 0, 0, 1, 0, 0, 0, 0, 32};
    for (int i = 0; i < 32; ++i)
        p.push_back('A');
    p.push_back(0);
    const uint16_t rdlen = static_cast<uint16_t>(1 + entries * 18 + 6);
    p.insert(p.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, uint8_t(rdlen >> 8), uint8_t(rdlen), uint8_t(count)});
    auto entry = [&](const char *name, uint8_t suffix, bool group) {
        char raw[15];
        std::memset(raw, ' ', 15);
        std::memcpy(raw, name, std::strlen(name));
        p.insert(p.end(), raw, raw + 15);
        p.push_back(suffix);
        p.push_back(group ? 0x84 : 0x04);
        p.push_back(0x00);
    };
    const char *names[] = {"ZELNAS", "WORKGROUP", "ZELNAS"};
    const uint8_t suffixes[] = {0x00, 0x00, 0x20};
    const bool groups[] = {false, true, false};
    for (int i = 0; i < entries; ++i)
        entry(names[i % 3], suffixes[i % 3], groups[i % 3]);
    p.insert(p.end(), 6, 0x11); // the adapter's MAC
    return p;
}

TEST(NasNetbiosCodec, NameQueryBytes)
{
    uint8_t q[NAS_NB_QUERY_LEN];
    ASSERT_EQ(nas_nb_build_name_query(q, sizeof q, 0x1234, "zelnas", 0x20, 1), 50u);
    EXPECT_EQ(q[0], 0x12);
    EXPECT_EQ(q[1], 0x34);
    EXPECT_EQ(q[2], 0x01); // recursion desired
    EXPECT_EQ(q[3], 0x10); // broadcast
    EXPECT_EQ(q[5], 1);
    EXPECT_EQ(q[12], 32);
    // "Z" = 0x5a -> 'F','K'; padding blanks 0x20 -> 'C','A'; suffix 0x20 -> 'C','A'.
    EXPECT_EQ(q[13], 'F');
    EXPECT_EQ(q[14], 'K');
    EXPECT_EQ(q[13 + 2 * 6], 'C');
    EXPECT_EQ(q[13 + 2 * 6 + 1], 'A');
    EXPECT_EQ(q[45], 0);
    EXPECT_EQ(q[46], 0x00);
    EXPECT_EQ(q[47], 0x20);
    EXPECT_EQ(nas_nb_build_name_query(q, sizeof q, 1, "", 0x20, 1), 0u);
    EXPECT_EQ(nas_nb_build_name_query(q, sizeof q, 1, "sixteen-letters!", 0x20, 1), 0u);
    EXPECT_EQ(nas_nb_build_name_query(q, 10, 1, "a", 0x20, 1), 0u);
    ASSERT_EQ(nas_nb_build_node_status(q, sizeof q, 7), 50u);
    EXPECT_EQ(q[13], 'C'); // '*' = 0x2a
    EXPECT_EQ(q[14], 'K');
    EXPECT_EQ(q[15], 'A'); // then NULs
    EXPECT_EQ(q[47], 0x21);
}

TEST(NasNetbiosCodec, ParsesNameAndStatusAnswers)
{
    nas_nb_reply r;
    auto a = name_answer(0x4242, "127.0.0.5");
    ASSERT_EQ(nas_nb_parse(a.data(), a.size(), &r), 0);
    EXPECT_EQ(r.kind, NAS_NB_REPLY_NAME);
    EXPECT_EQ(r.trn_id, 0x4242);
    ASSERT_EQ(r.addr_count, 1);
    char text[16];
    in_addr addr{r.addrs[0]};
    EXPECT_STREQ(inet_ntop(AF_INET, &addr, text, sizeof text), "127.0.0.5");
    auto pointed = name_answer(1, "10.0.0.1", true);
    EXPECT_EQ(nas_nb_parse(pointed.data(), pointed.size(), &r), 0) << "a compressed name is skipped";

    auto s = status_answer(9, 3, 3);
    ASSERT_EQ(nas_nb_parse(s.data(), s.size(), &r), 0);
    EXPECT_EQ(r.kind, NAS_NB_REPLY_STATUS);
    ASSERT_EQ(r.name_count, 3);
    char host[16], group[16];
    ASSERT_EQ(nas_nb_status_names(&r, host, group), 0);
    EXPECT_STREQ(host, "ZELNAS");
    EXPECT_STREQ(group, "WORKGROUP");
}

TEST(NasNetbiosCodec, RefusesJunk)
{
    nas_nb_reply r;
    auto a = name_answer(1, "1.2.3.4");
    for (size_t cut = 0; cut < a.size(); ++cut)
        EXPECT_EQ(nas_nb_parse(a.data(), cut, &r), -1) << "cut at " << cut;
    auto s = status_answer(1, 3, 3);
    for (size_t cut = 0; cut < s.size() - 6; ++cut)
        EXPECT_EQ(nas_nb_parse(s.data(), cut, &r), -1) << "cut at " << cut;
    auto past = status_answer(1, 200, 3);
    EXPECT_EQ(nas_nb_parse(past.data(), past.size(), &r), -1) << "a name count past the end";
    auto query = a;
    query[2] = 0x01; // no response bit
    EXPECT_EQ(nas_nb_parse(query.data(), query.size(), &r), -1);
    auto negative = a;
    negative[3] = 0x03; // name error
    EXPECT_EQ(nas_nb_parse(negative.data(), negative.size(), &r), -1);
    // A label that claims more than is there, and a question whose pointer points at itself.
    std::vector<uint8_t> loop = {0, 1, 0x85, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0xc0, 12, 0, 0x20, 0, 1, 0xc0, 12};
    EXPECT_EQ(nas_nb_parse(loop.data(), loop.size(), &r), -1);
    std::vector<uint8_t> long_label = {0, 1, 0x85, 0, 0, 0, 0, 1, 0, 0, 0, 0, 63, 'A'};
    EXPECT_EQ(nas_nb_parse(long_label.data(), long_label.size(), &r), -1);
    std::vector<uint8_t> endless(600, 1);
    endless[2] = 0x85;
    endless[3] = 0;
    EXPECT_EQ(nas_nb_parse(endless.data(), endless.size(), &r), -1);
}

} // namespace
