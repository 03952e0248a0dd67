#include "zel_control/ini/zel_ini.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zel_test_support.h"

namespace {

struct Doc {
    zel_ini_t *doc;
    explicit Doc(zel_ini_t *d) : doc(d) {}
    ~Doc() { zel_ini_release(doc); }
};

using Sections = std::map<std::string, std::map<std::string, std::string>>;

Sections dump(const zel_ini_t *doc)
{
    Sections out;
    zel_ini_iterator_t *it = zel_ini_get_iterator(doc);
    const char *name;
    zel_ini_section_t *section;
    while (zel_ini_get_next_section(it, &name, &section)) {
        auto &keys = out[name];
        zel_ini_section_iterator_t *kit = zel_ini_get_section_iterator(section);
        const char *key, *value;
        while (zel_ini_get_next(kit, &key, &value))
            keys[key] = value;
        zel_ini_section_iterator_release(kit);
    }
    zel_ini_iterator_release(it);
    return out;
}

} // namespace

TEST(ZelIniRead, KeysBeforeAnyHeaderBelongToTheDefaultSection)
{
    Doc d(zel_ini_parse("top = 1\n\n[s]\nk = v\n"));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_STREQ(zel_ini_get_string(d.doc, nullptr, "top", nullptr), "1");
    EXPECT_STREQ(zel_ini_get_string(d.doc, "__def__", "top", nullptr), "1");
    EXPECT_STREQ(zel_ini_get_string(d.doc, "s", "k", nullptr), "v");
    EXPECT_EQ(zel_ini_section_count(d.doc), 2);
}

TEST(ZelIniRead, LineRules)
{
    Doc d(zel_ini_parse("[ main ]\n"
                        "  a = b = c\r\n"
                        "# comment = no\n"
                        "empty =\n"
                        "= nokey\n"
                        ";semi = yes\n"
                        "no equals here\n"
                        "\tspaced\t=\t  value with blanks  \n"
                        "dup = 1\n"
                        "dup = 2\n"));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_STREQ(zel_ini_get_string(d.doc, "main", "a", nullptr), "b = c");
    EXPECT_EQ(zel_ini_is_key_exists(d.doc, "main", "empty"), 0);
    EXPECT_EQ(zel_ini_is_key_exists(d.doc, "main", "# comment"), 0);
    EXPECT_STREQ(zel_ini_get_string(d.doc, "main", ";semi", nullptr), "yes");
    EXPECT_STREQ(zel_ini_get_string(d.doc, "main", "spaced", nullptr), "value with blanks");
    EXPECT_STREQ(zel_ini_get_string(d.doc, "main", "dup", nullptr), "2");
    EXPECT_EQ(zel_ini_key_count(d.doc, "main"), 4);
    EXPECT_EQ(zel_ini_key_count(d.doc, "absent"), -4);
    EXPECT_EQ(zel_ini_key_count(nullptr, "main"), -2);
}

TEST(ZelIniRead, SixtyFourCharacterSectionNameFailsTheWholeRead)
{
    const std::string name(64, 's');
    EXPECT_EQ(zel_ini_parse(("a = 1\n[" + name + "]\nk = v\n").c_str()), nullptr);
    EXPECT_EQ(zel_ini_parse("[   ]\n"), nullptr);
    Doc ok(zel_ini_parse(("[" + name.substr(1) + "]\nk = v\n").c_str()));
    EXPECT_NE(ok.doc, nullptr);
}

TEST(ZelIniRead, DuplicatedSectionKeepsOnlyTheLater)
{
    Doc d(zel_ini_parse("[s]\nold = 1\n[other]\nx = y\n[s]\nnew = 2\n"));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(zel_ini_is_key_exists(d.doc, "s", "old"), 0);
    EXPECT_STREQ(zel_ini_get_string(d.doc, "s", "new", nullptr), "2");
    EXPECT_STREQ(zel_ini_get_string(d.doc, "other", "x", nullptr), "y");
}

TEST(ZelIniRead, BooleansAreTrueAndFalseInAnyCase)
{
    Doc d(zel_ini_parse("a = TRUE\nb = False\nc = 1\nd = yes\nn = 42\nf = 2.5\n"));
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "a", 0), 1);
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "b", 1), 0);
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "c", 0), 0);
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "c", 1), 1);
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "d", 1), 1);
    EXPECT_EQ(zel_ini_get_bool(d.doc, nullptr, "missing", 1), 1);
    EXPECT_EQ(zel_ini_get_int(d.doc, nullptr, "n", 0), 42);
    EXPECT_EQ(zel_ini_get_int(d.doc, "nosection", "n", 7), 7);
    EXPECT_FLOAT_EQ(zel_ini_get_float(d.doc, nullptr, "f", 0.0f), 2.5f);
}

TEST(ZelIniRead, LinesLongerThanTheBufferAreTakenInPieces)
{
    const std::string long_value(20000, 'v');
    Doc d(zel_ini_parse(("[s]\nk = " + long_value + "\nafter = 1\n").c_str()));
    ASSERT_NE(d.doc, nullptr);
    const char *v = zel_ini_get_string(d.doc, "s", "k", nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v).size(), 16383u - 4);
    EXPECT_STREQ(zel_ini_get_string(d.doc, "s", "after", nullptr), "1");
}

TEST(ZelIniFile, RoundTripThroughAFile)
{
    zeltest::TempRoot root;
    const std::string path = root.path("/mnt/data/test.ini");
    Doc d(zel_ini_create());
    EXPECT_EQ(zel_ini_section_count(d.doc), 0);
    ASSERT_EQ(zel_ini_set_string(d.doc, nullptr, "top", "level"), 0);
    ASSERT_EQ(zel_ini_set_string(d.doc, "net", "server", "10.0.0.1"), 0);
    ASSERT_EQ(zel_ini_set_int(d.doc, "net", "port", -5000), 0);
    ASSERT_EQ(zel_ini_set_float(d.doc, "net", "ratio", 0.25f), 0);
    ASSERT_EQ(zel_ini_set_bool(d.doc, "flags", "on", 1), 0);
    ASSERT_EQ(zel_ini_set_bool(d.doc, "flags", "off", 0), 0);
    ASSERT_EQ(zel_ini_set_string(d.doc, "net", "server", "10.0.0.2"), 0);
    EXPECT_EQ(zel_ini_set_string(d.doc, "net", nullptr, "x"), -2);
    EXPECT_EQ(zel_ini_set_string(nullptr, "net", "k", "x"), -2);
    ASSERT_EQ(zel_ini_save(path.c_str(), d.doc), 0);

    const std::string text = root.read_file("/mnt/data/test.ini");
    EXPECT_EQ(text.rfind("top = level\n", 0), 0u) << text;  // the default section comes first
    EXPECT_NE(text.find("\n[net]\n"), std::string::npos);
    EXPECT_NE(text.find("on = true\n"), std::string::npos);
    EXPECT_NE(text.find("off = false\n"), std::string::npos);
    EXPECT_FALSE(root.exists("/mnt/data/test.ini.tmp"));

    Doc back(zel_ini_open(path.c_str()));
    ASSERT_NE(back.doc, nullptr);
    EXPECT_EQ(dump(back.doc), dump(d.doc));
    EXPECT_EQ(zel_ini_get_int(back.doc, "net", "port", 0), -5000);
    EXPECT_FLOAT_EQ(zel_ini_get_float(back.doc, "net", "ratio", 0), 0.25f);
    EXPECT_EQ(zel_ini_get_bool(back.doc, "flags", "on", 0), 1);
    EXPECT_EQ(zel_ini_get_bool(back.doc, "flags", "off", 1), 0);
}

TEST(ZelIniFile, ReadOnlyFileOpensMissingFileDoesNot)
{
    zeltest::TempRoot root;
    root.write_file("/mnt/data/ro.ini", "[a]\nb = c\n");
    const std::string path = root.path("/mnt/data/ro.ini");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    Doc d(zel_ini_open(path.c_str()));
    ASSERT_NE(d.doc, nullptr);
    EXPECT_STREQ(zel_ini_get_string(d.doc, "a", "b", nullptr), "c");
    EXPECT_EQ(zel_ini_open(root.path("/mnt/data/none.ini").c_str()), nullptr);
    EXPECT_EQ(zel_ini_save(root.path("/mnt/data/nodir/x.ini").c_str(), d.doc), -7);
    zel_ini_set_string(d.doc, "a", "b", "changed");
    EXPECT_EQ(zel_ini_save(path.c_str(), d.doc), -7) << "a read-only file is never written";
    EXPECT_EQ(root.read_file("/mnt/data/ro.ini"), "[a]\nb = c\n");
}

TEST(ZelIniBuffer, TooSmallBufferGivesMinus22)
{
    Doc d(zel_ini_parse("k = v\n[s]\na = b\n"));
    char buffer[64];
    const int n = zel_ini_save_buffer(d.doc, buffer, sizeof buffer);
    EXPECT_EQ(n, static_cast<int>(strlen(buffer)));
    EXPECT_STREQ(buffer, "k = v\n\n[s]\na = b\n");
    EXPECT_EQ(zel_ini_save_buffer(d.doc, buffer, 10), -22);
    EXPECT_EQ(zel_ini_save_buffer(d.doc, buffer, static_cast<int>(strlen("k = v\n\n[s]\na = b\n"))), -22);
}

TEST(ZelIniEdit, LineEndsCannotSmuggleLinesIntoTheSavedText)
{
    Doc d(zel_ini_create());
    EXPECT_EQ(zel_ini_set_string(d.doc, "s", "k", "v\n[evil]\nx = y"), -2);
    EXPECT_EQ(zel_ini_set_string(d.doc, "s", "k\nx", "v"), -2);
    EXPECT_EQ(zel_ini_set_string(d.doc, "s]\n[t", "k", "v"), -2);
    EXPECT_EQ(zel_ini_section_count(d.doc), 0);
    EXPECT_EQ(zel_ini_set_string(d.doc, "s", "k", "carriage\rreturn"), 0);
    char buffer[64];
    ASSERT_GT(zel_ini_save_buffer(d.doc, buffer, sizeof buffer), 0);
    Doc back(zel_ini_parse(buffer));
    EXPECT_STREQ(zel_ini_get_string(back.doc, "s", "k", nullptr), "carriage\rreturn");
}

TEST(ZelIniEdit, RemoveKeysAndSections)
{
    Doc d(zel_ini_parse("[s]\na = 1\nb = 2\n[t]\nc = 3\n"));
    EXPECT_EQ(zel_ini_remove(d.doc, "s", "a"), 0);
    EXPECT_EQ(zel_ini_is_key_exists(d.doc, "s", "a"), 0);
    EXPECT_EQ(zel_ini_remove(d.doc, "s", "a"), -4);
    EXPECT_EQ(zel_ini_remove(d.doc, "nope", "a"), -4);
    EXPECT_EQ(zel_ini_remove_section(d.doc, "t"), 0);
    EXPECT_EQ(zel_ini_is_section_exists(d.doc, "t"), 0);
    EXPECT_EQ(zel_ini_remove_section(d.doc, "t"), -4);
    EXPECT_EQ(zel_ini_key_count(d.doc, "s"), 1);
}

namespace {

// Random INI-like text (no NUL): mostly the characters the reader reacts to, some lines longer than
// its 16384-byte line buffer.
std::string random_ini_text(std::mt19937 &rng)
{
    static const std::string kAlphabet = "[]=#; \t\r\n\n\nab_k";
    std::string text;
    const int pieces = static_cast<int>(rng() % 60);
    for (int i = 0; i < pieces; ++i) {
        switch (rng() % 8) {
        case 0:
            text += "[" + std::string(rng() % 70, 's') + "]\n";
            break;
        case 1:
            text += std::string(16380 + rng() % 8, 'v') + (rng() % 2 ? "=x\n" : "\n");
            break;
        case 2:
            text += static_cast<char>(1 + rng() % 255);
            break;
        default:
            text += kAlphabet[rng() % kAlphabet.size()];
        }
    }
    return text;
}

} // namespace

TEST(ZelIniFuzz, FileAndTextReadersAgreeAndSavedTextReadsBack)
{
    zeltest::TempRoot root;
    const std::string path = root.path("/tmp/fuzz.ini");
    std::mt19937 rng(2024);
    std::vector<char> buffer(1 << 20);
    for (int round = 0; round < 300; ++round) {
        const std::string text = random_ini_text(rng);
        root.write_file("/tmp/fuzz.ini", text);
        Doc parsed(zel_ini_parse(text.c_str()));
        Doc opened(zel_ini_open(path.c_str()));
        ASSERT_EQ(parsed.doc == nullptr, opened.doc == nullptr) << round;
        if (!parsed.doc)
            continue;
        const Sections sections = dump(parsed.doc);
        ASSERT_TRUE(dump(opened.doc) == sections) << "round " << round;
        const int n = zel_ini_save_buffer(parsed.doc, buffer.data(), static_cast<int>(buffer.size()));
        ASSERT_GE(n, 0) << round;
        const std::string saved(buffer.data());
        ASSERT_EQ(saved.size(), static_cast<size_t>(n));
        Doc again(zel_ini_parse(saved.c_str()));
        ASSERT_NE(again.doc, nullptr) << round;
        // Except where the format itself cannot say it: a saved line longer than the reader's line
        // buffer is read back in pieces, and a key that (after a skipped leading "=") begins with "#"
        // or "[" is saved as a comment or header line.
        size_t longest = 0;
        for (size_t start = 0, end; (end = saved.find('\n', start)) != std::string::npos; start = end + 1)
            longest = std::max(longest, end - start);
        bool plain_keys = true;
        for (const auto &section : sections)
            for (const auto &kv : section.second)
                plain_keys = plain_keys && kv.first[0] != '#' && kv.first[0] != '[';
        if (longest < 16383 && plain_keys) {
            ASSERT_TRUE(dump(again.doc) == sections) << "round " << round;
        }
        // Every cut of the saved text is refused without writing past the given size.
        const int cut = static_cast<int>(rng() % static_cast<unsigned>(n + 1));
        std::vector<char> small(static_cast<size_t>(cut) + 1, '\x7f');
        if (cut > 0) {
            ASSERT_EQ(zel_ini_save_buffer(parsed.doc, small.data(), cut), -22);
        }
        ASSERT_EQ(small.back(), '\x7f');
    }
}
