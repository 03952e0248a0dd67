// Config slots: a few fixed-size, CRC-protected records at fixed offsets of one pre-allocated file,
// "tolk_conf.db" in the data directory. A slot's number is its byte offset in the file.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_CONFIG_FILE_SIZE = 20480 };
// Slot numbers; slot 128 holds the log-upload settings.
enum { KO_CONFIG_SLOT_LOGUPLOAD = 128, KO_CONFIG_SLOT_384 = 384, KO_CONFIG_SLOT_768 = 768, KO_CONFIG_SLOT_1024 = 1024 };

// `dir` is the data directory as a device path ("/mnt/data").
int ko_config_init(const char *dir);
int ko_config_set(unsigned slot, const void *data, unsigned len);
int ko_config_get(unsigned slot, void *data, unsigned len);
int ko_config_reset(void);
int ko_config_deinit(void);

#ifdef __cplusplus
}
#endif
