// The INI reader and writer over string dictionaries: a document maps section names to sections,
// a section maps keys to owned value strings.
#include "zel_control/ini/zel_ini.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"
#include "zel_control/utils/zel_parse.h"
#include "zel_control/utils/zel_str.h"

namespace {

constexpr const char *kTag = "ZEL_INI";
constexpr int kDocCapacity = 4;
constexpr int kSectionCapacity = 8;
constexpr size_t kMaxName = 63;  // section names and keys are shorter than 64 characters
constexpr int kLineBuffer = 16384;

const char *section_name(const char *section)
{
    return section ? section : ZEL_INI_DEFAULT_SECTION;
}

zel_ini_section_t *find_section(const zel_ini_t *doc, const char *section)
{
    return doc ? static_cast<zel_ini_section_t *>(zel_dict_get(doc, section_name(section), nullptr)) : nullptr;
}

void release_section(zel_ini_section_t *section)
{
    if (!section)
        return;
    zel_dict_iter_t *it = zel_dict_get_iterator(section);
    void *value = nullptr;
    while (zel_dict_iter_get_next(it, nullptr, &value))
        free(value);
    zel_dict_release_iterator(it);
    zel_dict_release(section);
}

// Puts a new empty section under `name`, replacing (and freeing) one of that name.
zel_ini_section_t *put_section(zel_ini_t *doc, const char *name, bool report_duplicate)
{
    zel_ini_section_t *section = zel_dict_create(kSectionCapacity);
    if (!section)
        return nullptr;
    void *old = nullptr;
    if (zel_dict_set(doc, name, section, &old) != ZEL_OK) {
        zel_dict_release(section);
        return nullptr;
    }
    if (old) {
        if (report_duplicate)
            fprintf(stderr, "ini: duplicated section %s", name);
        release_section(static_cast<zel_ini_section_t *>(old));
    }
    return section;
}

zel_ini_section_t *ensure_section(zel_ini_t *doc, const char *section)
{
    zel_ini_section_t *found = find_section(doc, section);
    return found ? found : put_section(doc, section_name(section), false);
}

int store(zel_ini_section_t *section, const char *key, const char *value)
{
    char *copy = zel_clone_string(value);
    if (!copy)
        return ZEL_ENOMEM;
    void *old = nullptr;
    const int rc = zel_dict_set(section, key, copy, &old);
    if (rc != ZEL_OK) {
        free(copy);
        return rc;
    }
    free(old);
    return ZEL_OK;
}

// A line end inside a name or value would make the saved file read back as other lines.
bool has_line_end(const char *text)
{
    return text && strchr(text, '\n') != nullptr;
}

std::string_view trimmed(std::string_view s)
{
    constexpr std::string_view kBlank = " \t\r\n";
    const size_t first = s.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

// The state of one read: the document and the section that key lines go to.
struct Reader {
    zel_ini_t *doc = nullptr;
    zel_ini_section_t *current = nullptr;

    bool start()
    {
        doc = zel_dict_create(kDocCapacity);
        current = doc ? put_section(doc, ZEL_INI_DEFAULT_SECTION, false) : nullptr;
        return current != nullptr;
    }

    // One line (or piece of a long line); false when the read must fail.
    bool line(std::string_view text)
    {
        size_t i = text.find_first_not_of(" \t");
        if (i == std::string_view::npos)
            return true;
        text.remove_prefix(i);
        const char c = text.front();
        if (c == '#' || c == '\n' || c == '\r')
            return true;
        if (c == '[')
            return header(text.substr(1));
        if (text.find('=') != std::string_view::npos)
            key_line(text);
        return true;
    }

    bool header(std::string_view rest)
    {
        rest.remove_prefix(std::min(rest.find_first_not_of(']'), rest.size()));
        const std::string name(trimmed(rest.substr(0, rest.find(']'))));
        if (name.empty() || name.size() > kMaxName) {
            fprintf(stderr, "ini: incorrect format\n");
            return false;
        }
        current = put_section(doc, name.c_str(), true);
        return current != nullptr;
    }

    void key_line(std::string_view text)
    {
        text.remove_prefix(std::min(text.find_first_not_of('='), text.size()));
        const size_t eq = text.find('=');
        if (eq == std::string_view::npos)
            return;
        const std::string key(trimmed(text.substr(0, eq)));
        const std::string value(trimmed(text.substr(eq + 1)));
        if (key.empty() || key.size() > kMaxName || value.empty())
            return;
        if (store(current, key.c_str(), value.c_str()) != ZEL_OK)
            ZEL_LOGE(kTag, "cannot store key %s", key.c_str());
    }

    zel_ini_t *finish(bool ok)
    {
        if (ok)
            return doc;
        zel_ini_release(doc);
        return nullptr;
    }
};

// Calls `emit(piece)` for the text of the document; stops at the first false.
template <typename Emit> bool write_doc(const zel_ini_t *doc, Emit emit)
{
    auto keys = [&](const zel_ini_section_t *section) {
        zel_ini_section_iterator_t *it = zel_ini_get_section_iterator(section);
        const char *key = nullptr;
        const char *value = nullptr;
        bool ok = it != nullptr;
        while (ok && zel_ini_get_next(it, &key, &value))
            ok = emit("%s = %s\n", key, value);
        zel_ini_section_iterator_release(it);
        return ok;
    };
    if (const zel_ini_section_t *def = find_section(doc, nullptr); def && !keys(def))
        return false;
    zel_ini_iterator_t *it = zel_ini_get_iterator(doc);
    const char *name = nullptr;
    zel_ini_section_t *section = nullptr;
    bool ok = it != nullptr;
    while (ok && zel_ini_get_next_section(it, &name, &section)) {
        if (strcmp(name, ZEL_INI_DEFAULT_SECTION) != 0)
            ok = emit("\n[%s]\n", name, nullptr) && keys(section);
    }
    zel_ini_iterator_release(it);
    return ok;
}

} // namespace

extern "C" {

zel_ini_t *zel_ini_open(const char *path)
{
    if (!path)
        return nullptr;
    FILE *fp = fopen(path, "r");
    if (!fp)
        return nullptr;
    Reader reader;
    bool ok = reader.start();
    std::unique_ptr<char[]> line(new char[kLineBuffer]);
    while (ok && fgets(line.get(), kLineBuffer, fp))
        ok = reader.line(line.get());
    if (ok && ferror(fp)) {
        fprintf(stderr, "ini: read error %s\n", path);
        ok = false;
    }
    fclose(fp);
    return reader.finish(ok);
}

zel_ini_t *zel_ini_parse(const char *text)
{
    if (!text)
        return nullptr;
    Reader reader;
    bool ok = reader.start();
    std::unique_ptr<char[]> line(new char[kLineBuffer]);
    const char *cursor = text;
    while (ok) {
        const int rc = zel_str_get_line(&cursor, line.get(), kLineBuffer);
        if (rc == ZEL_ESMALL) {
            // A line too long for the buffer is taken in pieces, as the file reader does.
            while (*cursor == '\n')
                ++cursor;
            ok = reader.line(std::string_view(cursor, kLineBuffer - 1));
            cursor += kLineBuffer - 1;
            continue;
        }
        if (rc < 0)
            break;
        ok = reader.line(std::string_view(line.get(), static_cast<size_t>(rc)));
    }
    return reader.finish(ok);
}

zel_ini_t *zel_ini_create(void)
{
    return zel_dict_create(kDocCapacity);
}

int zel_ini_save(const char *path, const zel_ini_t *doc)
{
    if (!path || !doc)
        return ZEL_EINVAL;
    // The file is replaced by a rename, which a file's own mode does not stop: a file that may not be
    // written (for root too, whom access() lets write anything, a file without write permission)
    // is refused as a direct open would refuse it.
    struct stat st;
    if (stat(path, &st) == 0 && ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path, W_OK) != 0)) {
        ZEL_LOGE(kTag, "open [%s] failed: the file is read-only", path);
        return ZEL_EOPEN;
    }
    const std::string tmp = std::string(path) + ".tmp";
    FILE *fp = fopen(tmp.c_str(), "w+");
    if (!fp) {
        ZEL_LOGE(kTag, "open [%s] failed: %s", tmp.c_str(), strerror(errno));
        return ZEL_EOPEN;
    }
    bool ok = write_doc(doc, [fp](const char *fmt, const char *a, const char *b) {
        return (b ? fprintf(fp, fmt, a, b) : fprintf(fp, fmt, a)) >= 0;
    });
    ok = fflush(fp) == 0 && ok;
    ok = fsync(fileno(fp)) == 0 && ok;
    ok = fclose(fp) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path) != 0) {
        ZEL_LOGE(kTag, "write [%s] failed: %s", path, strerror(errno));
        unlink(tmp.c_str());
        return ZEL_EFAIL;
    }
    return ZEL_OK;
}

int zel_ini_save_buffer(const zel_ini_t *doc, char *buffer, int size)
{
    if (!doc || !buffer || size < 1)
        return ZEL_EINVAL;
    buffer[0] = '\0';
    size_t used = 0;
    const size_t total = static_cast<size_t>(size);
    const bool ok = write_doc(doc, [&](const char *fmt, const char *a, const char *b) {
        const size_t room = total - used;
        const int n = b ? snprintf(buffer + used, room, fmt, a, b) : snprintf(buffer + used, room, fmt, a);
        if (n < 0 || static_cast<size_t>(n) >= room) {
            used = total - 1;
            return false;
        }
        used += static_cast<size_t>(n);
        return true;
    });
    return ok ? static_cast<int>(used) : ZEL_ESMALL;
}

void zel_ini_release(zel_ini_t *doc)
{
    if (!doc)
        return;
    zel_dict_iter_t *it = zel_dict_get_iterator(doc);
    void *section = nullptr;
    while (zel_dict_iter_get_next(it, nullptr, &section))
        release_section(static_cast<zel_ini_section_t *>(section));
    zel_dict_release_iterator(it);
    zel_dict_release(doc);
}

int zel_ini_is_section_exists(const zel_ini_t *doc, const char *section)
{
    return find_section(doc, section) ? 1 : 0;
}

int zel_ini_is_key_exists(const zel_ini_t *doc, const char *section, const char *key)
{
    const zel_ini_section_t *s = find_section(doc, section);
    return s && key && zel_dict_is_key_exist(s, key) ? 1 : 0;
}

const char *zel_ini_get_string(const zel_ini_t *doc, const char *section, const char *key,
                               const char *default_value)
{
    const zel_ini_section_t *s = find_section(doc, section);
    if (!s || !key)
        return default_value;
    return static_cast<const char *>(zel_dict_get(s, key, const_cast<char *>(default_value)));
}

int zel_ini_get_int(const zel_ini_t *doc, const char *section, const char *key, int default_value)
{
    return zel_parse_int(zel_ini_get_string(doc, section, key, nullptr), default_value);
}

float zel_ini_get_float(const zel_ini_t *doc, const char *section, const char *key, float default_value)
{
    return zel_parse_float(zel_ini_get_string(doc, section, key, nullptr), default_value);
}

int zel_ini_get_bool(const zel_ini_t *doc, const char *section, const char *key, int default_value)
{
    return zel_parse_bool(zel_ini_get_string(doc, section, key, nullptr), default_value);
}

int zel_ini_set_string(zel_ini_t *doc, const char *section, const char *key, const char *value)
{
    if (!doc || !key || !value || has_line_end(section) || has_line_end(key) || has_line_end(value))
        return ZEL_EINVAL;
    zel_ini_section_t *s = ensure_section(doc, section);
    return s ? store(s, key, value) : ZEL_ENOMEM;
}

int zel_ini_set_int(zel_ini_t *doc, const char *section, const char *key, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return zel_ini_set_string(doc, section, key, text);
}

int zel_ini_set_float(zel_ini_t *doc, const char *section, const char *key, float value)
{
    char text[32];
    snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return zel_ini_set_string(doc, section, key, text);
}

int zel_ini_set_bool(zel_ini_t *doc, const char *section, const char *key, int value)
{
    return zel_ini_set_string(doc, section, key, value ? "true" : "false");
}

int zel_ini_remove(zel_ini_t *doc, const char *section, const char *key)
{
    if (!doc)
        return ZEL_EINVAL;
    zel_ini_section_t *s = find_section(doc, section);
    if (!s) {
        fprintf(stderr, "[zel_ini_remove] zel_dict_get failed, key: %s\n", key ? key : "NULL");
        return ZEL_ENOTFOUND;
    }
    void *value = key ? zel_dict_remove(s, key) : nullptr;
    if (!value) {
        fprintf(stderr, "[zel_ini_remove] zel_dict_remove failed, key: %s\n", key ? key : "NULL");
        return ZEL_ENOTFOUND;
    }
    free(value);
    return ZEL_OK;
}

int zel_ini_remove_section(zel_ini_t *doc, const char *section)
{
    if (!doc)
        return ZEL_EINVAL;
    void *s = zel_dict_remove(doc, section_name(section));
    if (!s)
        return ZEL_ENOTFOUND;
    release_section(static_cast<zel_ini_section_t *>(s));
    return ZEL_OK;
}

int zel_ini_section_count(const zel_ini_t *doc)
{
    return zel_dict_get_size(doc);
}

int zel_ini_key_count(const zel_ini_t *doc, const char *section)
{
    if (!doc)
        return ZEL_EINVAL;
    const zel_ini_section_t *s = find_section(doc, section);
    return s ? zel_dict_get_size(s) : ZEL_ENOTFOUND;
}

zel_ini_iterator_t *zel_ini_get_iterator(const zel_ini_t *doc)
{
    return zel_dict_get_iterator(doc);
}

int zel_ini_get_next_section(zel_ini_iterator_t *it, const char **name, zel_ini_section_t **section)
{
    const void *key = nullptr;
    void *value = nullptr;
    if (!zel_dict_iter_get_next(it, &key, &value))
        return 0;
    if (name)
        *name = static_cast<const char *>(key);
    if (section)
        *section = static_cast<zel_ini_section_t *>(value);
    return 1;
}

void zel_ini_iterator_release(zel_ini_iterator_t *it)
{
    zel_dict_release_iterator(it);
}

zel_ini_section_iterator_t *zel_ini_get_section_iterator(const zel_ini_section_t *section)
{
    return zel_dict_get_iterator(section);
}

int zel_ini_get_next(zel_ini_section_iterator_t *it, const char **key, const char **value)
{
    const void *k = nullptr;
    void *v = nullptr;
    if (!zel_dict_iter_get_next(it, &k, &v))
        return 0;
    if (key)
        *key = static_cast<const char *>(k);
    if (value)
        *value = static_cast<const char *>(v);
    return 1;
}

void zel_ini_section_iterator_release(zel_ini_section_iterator_t *it)
{
    zel_dict_release_iterator(it);
}

} // extern "C"
