// The storage statistics of the recording modules, counted by the indexes and the recorder and sent
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
};

} // namespace sd

extern sd::StorageStatistics g_statistics_storage;
