#include "sd_index_ops.h"

#include <mutex>

#include "sd_pool_internal.h"

namespace {
std::mutex g_ops_lock;
sd_index_ops_t g_ops{};
} // namespace

extern "C" void sd_set_index_ops(const sd_index_ops_t *ops)
{
    std::lock_guard<std::mutex> guard(g_ops_lock);
    g_ops = ops ? *ops : sd_index_ops_t{};
}

namespace sd {

// The table is set before sd_init and stays while the pool runs.
const sd_index_ops_t &index_ops() { return g_ops; }

} // namespace sd
