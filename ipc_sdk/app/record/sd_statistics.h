// The storage statistics of the recording modules, counted by the indexes and the pool and sent
// as the recorder's statistics report.
#pragma once

#include <atomic>
#include <cstdint>

namespace sd {

struct StorageStatistics {
    std::atomic<uint64_t> index_add_err{0};   // records that could not be added
    std::atomic<uint64_t> index_update_err{0}; // records refused for a bad timestamp
    std::atomic<uint64_t> index_query_err{0}; // lookups without a context or an output
    std::atomic<uint64_t> index_del_err{0};   // deletions by age that failed
    std::atomic<uint64_t> index_scan_err{0};  // slot reads that failed
    std::atomic<bool> loop_coverage{false};    // the pool took back a file over a closed recording
};

} // namespace sd

extern sd::StorageStatistics g_statistics_storage;
