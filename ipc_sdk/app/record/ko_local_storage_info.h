// What the recorder reports: the card status values for the pool's codes, the recording statistics
// ("local_rec.info", 29 keys in a fixed order) and the card's identity ("sd.info", from its CID).
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <string>

namespace sd {

// The status value for a pool code; 0 for 0.
int storage_status_for(int code);

enum StatKey {
    kMp4Success, kTotalMp4File, kTotalVideoFrame, kTotalAudioFrame, kMp4ErrFile, kMp4ErrVideoFrame,
    kMp4ErrAudioFrame, kMp4SizeMax, kMp4SizeMin, kDelErrCount, kSdTotalMB, kSdUsedMB, kLoopCoverage,
    kIndexTotal, kIndexFileSize, kIndexUpdate, kIndexUpdateErr, kScanDirCount, kScanDirErr, kIndexAddErr,
    kIndexDelErr, kDelNotFind, kIndexQueryErr, kIndexScanErr, kStep1, kStep2, kStep3, kStep4, kStep5,
    kStatCount
};

struct RecordStatistics {
    std::array<std::atomic<int64_t>, kStatCount> values{};
    RecordStatistics() { clear(); }
    void add(StatKey k, int64_t n = 1) { values[k] += n; }
    // Builds the JSON object (the index counters taken from the storage statistics) and clears.
    std::string report_and_clear();
    void clear();
};

struct CardIdentity {
    int manufacturer_id;
    std::string product; // 5 characters
    int revision_major, revision_minor;
    uint32_t serial;
    int year, month;
};
// Decodes the 16 bytes of a 32-digit hex CID; false for any other text.
bool decode_cid(const std::string &cid, CardIdentity *out);
// The "sd.info" object for a CID text, a file-system name and the card size in MiB; "" when the CID
// is not 32 hex digits.
std::string sd_info_json(const std::string &cid, const std::string &file_sys, int64_t total_mb);

} // namespace sd
