#include "sd_index_ops.h"

#include <mutex>

#include "record_index_ops.h"
#include "sd_pool_internal.h"

namespace {
std::mutex g_ops_lock;
bool g_replaced = false;
sd_index_ops_t g_ops{};
} // namespace

extern "C" void sd_set_index_ops(const sd_index_ops_t *ops)
{
    std::lock_guard<std::mutex> guard(g_ops_lock);
    g_replaced = ops != nullptr;
    g_ops = ops ? *ops : sd_index_ops_t{};
}

namespace sd {

// A table is set before sd_init and stays while the pool runs; without one, this library's indexes.
const sd_index_ops_t &index_ops() { return g_replaced ? g_ops : *record_index_ops(); }

} // namespace sd
