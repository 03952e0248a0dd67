// Read-only walks over the stores for the settings socket: the fuzzy get and the dump lines.
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db_server.h"
#include "zel_db/zel_db_store.h"

#include <strings.h>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// Lines are written whole: a line cut to a fixed buffer would lose its newline and run into the next.
void append_lines(const zel_db_store_t &store, std::string *body)
{
    const dictionary *d = store.dict;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i] || !d->val[i])
            continue;
        body->append(store.name).append(".").append(d->key[i]).append("=").append(d->val[i]).append("\n");
    }
}

} // namespace

int get_value_fuzzy_from_db(const dictionary *d, const char *pattern, char *dst, int len)
{
    if (!d || !pattern || !dst)
        return -6;
    for (int i = 0; i < d->size; ++i) {
        if (!d->key[i] || !std::strstr(d->key[i], pattern))
            continue;
        if (!d->val[i]) {
            ZEL_LOGW(ZEL_DB_TAG, "[%s %d] no value for %s", __func__, __LINE__, d->key[i]);
            return -1;
        }
        const size_t n = std::strlen(d->val[i]);
        if (len <= 0 || n >= static_cast<size_t>(len)) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] value length error for %s", __func__, __LINE__, d->key[i]);
            return -2;
        }
        std::memcpy(dst, d->val[i], n + 1);
        return 0;
    }
    return -3;
}

bool zel_db_dump_body(const std::string &store, std::string *body)
{
    zel_db_state_t &state = zel_db_state();
    body->clear();
    if (strcasecmp(store.c_str(), "all") == 0) {
        std::vector<std::unique_lock<std::mutex>> locks;
        for (zel_db_store_t &s : state.stores)
            locks.emplace_back(s.lock);
        // A store that was never filled (no factory partition) has no lines, and the others still do.
        for (const zel_db_store_t &s : state.stores)
            if (s.dict)
                append_lines(s, body);
        body->push_back('\0');
        return true;
    }
    const int index = zel_db_store_index(store.c_str());
    if (index < 0)
        return false;
    zel_db_store_t &s = state.stores[index];
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.dict)
        return false;
    append_lines(s, body);
    body->push_back('\0');
    return true;
}
