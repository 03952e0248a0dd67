#include "zel_db/zel_db_iniparser.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct DictFree {
    void operator()(dictionary *d) const { dictionary_del(d); }
};
using Dict = std::unique_ptr<dictionary, DictFree>;

Dict load_text(const zeltest::TempRoot &root, const std::string &text, bool checked = false)
{
    root.write_file("/tmp/t.ini", text);
    const std::string path = root.path("/tmp/t.ini");
    return Dict(checked ? zel_db_ini_load_checked(path.c_str()) : iniparser_load(path.c_str()));
}

std::string value(const Dict &d, const char *key)
{
    const char *v = iniparser_getstring(d.get(), key, nullptr);
    return v ? v : "<none>";
}

} // namespace

TEST(ZelDbIni, ValuesAreTakenAlmostVerbatim)
{
    zeltest::TempRoot root;
    const Dict d = load_text(root, "[S]\na = 1\nb =  2\nc = x ; note\nd =\ne = \nf\t=\tg \nQ = \"q\"\n# c = 9\n");
    ASSERT_TRUE(d);
    EXPECT_EQ(value(d, "s:a"), "1");
    EXPECT_EQ(value(d, "s:b"), " 2");
    EXPECT_EQ(value(d, "S:C"), "x ; note");
    EXPECT_EQ(value(d, "s:d"), "");
    EXPECT_EQ(value(d, "s:e"), "");
    EXPECT_EQ(value(d, "s:f"), "g ");
    EXPECT_EQ(value(d, "s:q"), "\"q\"");
    EXPECT_EQ(iniparser_getnsec(d.get()), 1);
    EXPECT_EQ(iniparser_getsecnkeys(d.get(), "s"), 7);
}

TEST(ZelDbIni, SetCreatesSectionsAndBareKeysGoToDefault)
{
    Dict d(dictionary_new(0));
    ASSERT_EQ(iniparser_set(d.get(), "IPC:power", "1"), 0);
    ASSERT_EQ(iniparser_set(d.get(), "runlevel", "init"), 0);
    EXPECT_EQ(iniparser_find_entry(d.get(), "ipc"), 1);
    EXPECT_EQ(iniparser_find_entry(d.get(), "default"), 1);
    EXPECT_EQ(value(d, "IPC:POWER"), "1");
    EXPECT_EQ(value(d, "runlevel"), "init");
    EXPECT_EQ(iniparser_getint(d.get(), "ipc:power", -1), 1);
    EXPECT_EQ(iniparser_getboolean(d.get(), "default:runlevel", -1), -1);
}

TEST(ZelDbIni, WrittenStoreReadsBackTheSame)
{
    zeltest::TempRoot root;
    Dict d(dictionary_new(0));
    iniparser_set(d.get(), "a:one", "  two blanks");
    iniparser_set(d.get(), "a:two", "");
    iniparser_set(d.get(), "b:x:y", "colon key");
    iniparser_set(d.get(), "bare", "trailing ");
    const std::string path = root.path("/tmp/w.ini");
    FILE *out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    iniparser_dump_ini(d.get(), out);
    std::fclose(out);
    const Dict back(zel_db_ini_load_checked(path.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->n, d->n);
    for (const char *key : {"a:one", "a:two", "b:x:y", "default:bare"})
        EXPECT_EQ(value(back, key), value(d, key)) << key;
}

TEST(ZelDbIni, GrowsPastTheFirstSlots)
{
    Dict d(dictionary_new(0));
    for (int i = 0; i < 129; ++i)
        ASSERT_EQ(dictionary_set(d.get(), ("k" + std::to_string(i)).c_str(), std::to_string(i).c_str()), 0);
    EXPECT_EQ(d->size, 256);
    for (int i = 0; i < 129; ++i)
        EXPECT_STREQ(dictionary_get(d.get(), ("k" + std::to_string(i)).c_str(), nullptr), std::to_string(i).c_str());
    dictionary_unset(d.get(), "k5");
    EXPECT_EQ(dictionary_get(d.get(), "k5", nullptr), nullptr);
    EXPECT_EQ(d->n, 128);
}

TEST(ZelDbIni, LongLinesAndDamagedText)
{
    zeltest::TempRoot root;
    // A whole-length value line (key plus 1536 characters) is read; a line past the limit refuses the file.
    const std::string long_value(1536, 'v');
    const Dict ok = load_text(root, "[s]\nk = " + long_value + "\n");
    ASSERT_TRUE(ok);
    EXPECT_EQ(value(ok, "s:k"), long_value);
    EXPECT_FALSE(load_text(root, "[s]\nk = " + std::string(5000, 'v') + "\n"));
    // The plain reader passes over lines that match nothing; the checked reader refuses them.
    EXPECT_TRUE(load_text(root, "[s]\ngarbage line\nk = 1\n"));
    EXPECT_FALSE(load_text(root, "[s]\ngarbage line\nk = 1\n", true));
    EXPECT_FALSE(load_text(root, std::string("[s]\nk = 1\x01\n"), true));
    EXPECT_TRUE(load_text(root, std::string("[s]\nk = 1\n") + std::string(15, '\0'), true));
    EXPECT_FALSE(load_text(root, std::string("[s]\nk = 1\n") + std::string(16, '\0'), true));
}
