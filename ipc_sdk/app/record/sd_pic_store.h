// A store of stamped records in data files of the pool with a circular index of 145-byte records
// {seq, time, delete, data file pool name, offset, CRC}: the picture store and the custom ("yvideo")
// container are two instances, each with its own pool kinds, so neither ever writes the other's open
// data file.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "sd_index_module.h"
#include "sd_pic_data.h"

namespace sd {

constexpr uint32_t kStoreRecordSize = 145;
extern const IndexLayout kStoreLayout;

// A read handle for the data file the last record came from.
struct StoreReadFile {
    std::string name;
    FILE *file = nullptr;
    int64_t capacity = 0;
    void close();
};

struct PicStore {
    PicStore(const char *who, int index_kind, int data_kind, uint32_t head_word)
        : index(who, index_kind, kStoreLayout),
          data{{data_kind, head_word}, {data_kind, head_word}}
    {
    }
    IndexModule index;
    PicDataFile data[2];
    StoreReadFile read[2];
};

// Opens the index of each channel that owns one, after the channel's data file.
int store_init(PicStore &st, int cameras);
// The channel's data file, bound to the context's channel.
PicDataFile &store_data_of(PicStore &st, IndexLog &log);
// Writes a pending record into the channel's data file (context lock held): 0, -2 without a data
// file, -4 when the write fails or size is 0.
int store_add_data(PicStore &st, IndexLog &log, const uint8_t *data, uint32_t size);
// Stamps the pending record and adds its index record (context lock held): 0, -3 without a data file,
// -4 when nothing is pending or the stamp fails, -5 when the index cannot be opened, -6 when the
// record cannot be added.
int store_add_index(PicStore &st, IndexLog &log, uint32_t time);
// The record of `time` handed to cb in pieces behind the 12-byte head of `kind`.
int store_get_data(PicStore &st, int channel, uint32_t time, uint32_t kind,
                   int (*cb)(int, uint32_t, uint32_t, const uint8_t *, uint32_t, void *), uint32_t size, void *user);
// Every index record naming old_name names new_name.
int store_change_file_name(PicStore &st, int channel, const char *old_name, const char *new_name, const char *who);
int store_deinit(PicStore &st);

std::string store_path_of(const uint8_t *slot);
void store_copy_path(uint8_t *out, const char *name);

} // namespace sd
