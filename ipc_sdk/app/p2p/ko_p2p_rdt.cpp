// File and list requests of a phone over the session's RDT channel: recordings, pictures, the record
// and event lists and custom records with their index, each answered in packets of at most 2048
// bytes behind a 12-byte head {type, total length, 0}; a request that fails, or whose head does not
// match what arrived, gets the head alone with length 0.
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "app/p2p/ko_p2p_internal.h"
#include "app/p2p/ko_p2p_rdt.h"
#include "app/record/custom_record_index.h"
#include "app/record/event_index.h"
#include "app/record/pic_index.h"
#include "app/record/record_index.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_p2p {
namespace {

enum { kFragmentMp4 = 1, kPicture = 5, kRecordList = 6, kEventList = 11, kCustomIndex = 15, kCustomFile = 16 };
// The custom index's reply head: type, the index size and its entry count twice (as listed in its
// head, and as carried in the image).
enum { kCustomIndexHead = 16 };
// Event-list pieces: the index's packets stay below the RDT limit with room for their heads.
enum { kEventPiece = 2028 };

uint32_t le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int forward_piece(int, uint32_t, uint32_t, const uint8_t *buf, uint32_t len, void *user)
{
    return ops().rdt_send(static_cast<vasq_session *>(user), buf, static_cast<int>(len));
}

void record_list(vasq_session *s)
{
    const int rc = record_get_index_all(0, forward_piece, VASQ_RDT_MAX, s);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "record_get_index_all error[%d]!\n", rc);
        send_bare_head(s, kRecordList);
    }
}

void picture(vasq_session *s, uint32_t time)
{
    const int rc = pic_get_data(0, time, forward_piece, VASQ_RDT_MAX, s);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "pic_get_data error[%d]!\n", rc);
        send_bare_head(s, kPicture);
    }
}

// The time range of an event-list request's "time": "" all, YYYYMMDDHH an hour, YYYYMMDD a day (local).
bool event_range(const std::string &text, uint32_t *start, uint32_t *end)
{
    json_object *root = json_tokener_parse(text.c_str());
    json_object *v = nullptr;
    const bool found = root && json_object_object_get_ex(root, "time", &v) && json_object_is_type(v, json_type_string);
    const std::string t = found ? json_object_get_string(v) : "-";
    json_object_put(root);
    if (t.empty()) {
        *start = 0;
        *end = 0xFFFFFFFFu;
        return true;
    }
    if ((t.size() != 10 && t.size() != 8) || t.find_first_not_of("0123456789") != std::string::npos)
        return false;
    struct tm tm {};
    tm.tm_year = std::stoi(t.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(t.substr(4, 2)) - 1;
    tm.tm_mday = std::stoi(t.substr(6, 2));
    tm.tm_hour = t.size() == 10 ? std::stoi(t.substr(8, 2)) : 0;
    tm.tm_isdst = -1;
    if (ko_check_tm_time(&tm) != 0)
        return false;
    const time_t first = mktime(&tm);
    if (first < 0)
        return false;
    *start = static_cast<uint32_t>(first);
    *end = *start + (t.size() == 10 ? 3600u : 86400u);
    return true;
}

void event_list(vasq_session *s, const uint8_t *text, uint32_t length)
{
    if (length < 1)
        KO_LOGE(KO_P2P_MODULE, "dwBufLen:%d  Err \n", static_cast<int>(length));
    // A terminated copy of exactly what the request declared.
    const std::string json(reinterpret_cast<const char *>(text), length);
    uint32_t start = 0, end = 0;
    if (!event_range(json, &start, &end)) {
        KO_LOGE(KO_P2P_MODULE, "pchBufData time  err !\n");
        send_bare_head(s, kEventList);
        return;
    }
    const int rc = event_get_index(0, kEventList, start, end, kEventPiece, forward_piece, s);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "event_get_index fail, ret: %d !\n", rc);
        send_bare_head(s, kEventList);
    }
}

// The index image after its own head; the image's count sits just before its entries.
void custom_index(vasq_session *s)
{
    uint8_t *image = nullptr;
    uint32_t length = 0;
    if (custom_record_index_get(&image, &length) != 0 || length < CUSTOM_INDEX_HEAD_SIZE) {
        free(image);
        KO_LOGE(KO_P2P_MODULE, "custom record file is not exist!\n");
        send_bare_head(s, kCustomIndex);
        return;
    }
    std::unique_ptr<uint8_t, decltype(&free)> owned(image, free);
    uint8_t head[kCustomIndexHead];
    put_rdt_le32(head, kCustomIndex);
    put_rdt_le32(head + 4, length);
    put_rdt_le32(head + 8, le32(image + CUSTOM_INDEX_HEAD_SIZE - 4));
    put_rdt_le32(head + 12, (length - CUSTOM_INDEX_HEAD_SIZE) / CUSTOM_INDEX_ENTRY_SIZE);
    rdt_packer out(s);
    if (!out.add(head, sizeof head) || !out.add(image, length) || !out.flush())
        KO_LOGE(KO_P2P_MODULE, "custom record index send failed\n");
}

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// The file after its head, in full packets; false when the phone interrupts or a read or send fails.
bool send_file(p2p_client &c, FILE *f, uint32_t size)
{
    uint8_t packet[VASQ_RDT_MAX];
    put_rdt_head(packet, kCustomFile, size);
    size_t used = kRdtHead;
    uint32_t left = size;
    while (left > 0 || used > 0) {
        const size_t want = std::min<size_t>(sizeof packet - used, left);
        if (want && fread(packet + used, 1, want, f) != want) {
            KO_LOGE(KO_P2P_MODULE, "fread failed\n");
            return false;
        }
        used += want;
        left -= static_cast<uint32_t>(want);
        if (c.transfer.load() == kTransferInterrupt) {
            KO_LOGI(KO_P2P_MODULE, "client interrupt transfer!\n");
            return false;
        }
        if (ops().rdt_send(c.session, packet, static_cast<int>(used)) != 0)
            return false;
        used = 0;
    }
    return true;
}

void custom_file(p2p_client &c, uint32_t time)
{
    int idle = kTransferIdle;
    if (!c.transfer.compare_exchange_strong(idle, kTransferRunning)) {
        KO_LOGW(KO_P2P_MODULE, "custom record file transfer status not idle, current status:%d\n", idle);
        send_bare_head(c.session, kCustomFile);
        return;
    }
    char path[256];
    struct stat st {};
    std::unique_ptr<FILE, file_closer> f;
    if (timestamp_to_custom_record_path(time, path, sizeof path) != 0 || stat(path, &st) != 0) {
        KO_LOGE(KO_P2P_MODULE, "OOOOPS! file:%s do not exist!\n", path);
    } else {
        f.reset(fopen(path, "rb"));
        if (!f)
            KO_LOGE(KO_P2P_MODULE, "open %s failed\n", path);
    }
    if (!f || !send_file(c, f.get(), static_cast<uint32_t>(st.st_size)))
        send_bare_head(c.session, kCustomFile);
    c.transfer.store(kTransferIdle);
}

} // namespace
} // namespace ko_p2p

using namespace ko_p2p;

extern "C" int vasq_on_rdt_data(vasq_session *s, const char *data, int length, void *)
{
    p2p_client *c = g_vasq_ctrl.slots ? slot_of(s) : nullptr;
    if (!c || !data || length < 8)
        return 0;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    const uint32_t type = le32(p), declared = le32(p + 4);
    KO_LOGI(KO_P2P_MODULE, "---> > >%s, recv cmd: %u\n", __func__, type);
    // The time stamp at byte 8 must have arrived and be covered by the declared length.
    const bool timed = type == kCustomFile || type == kPicture || type == kFragmentMp4;
    if (declared > static_cast<uint32_t>(length - 8) || (timed && declared < 4)) {
        KO_LOGW(KO_P2P_MODULE, "rdt request %u declares %u bytes, %d came\n", type, declared, length - 8);
        send_bare_head(s, type);
        return 0;
    }
    switch (type) {
    case kFragmentMp4: rdt_fragment_mp4(s, le32(p + 8)); break;
    case kPicture: picture(s, le32(p + 8)); break;
    case kRecordList: record_list(s); break;
    case kEventList: event_list(s, p + 8, declared); break;
    case kCustomIndex: custom_index(s); break;
    case kCustomFile: custom_file(*c, le32(p + 8)); break;
    default:
        KO_LOGW(KO_P2P_MODULE, "Undefind cmd_type=%u!!!!!\n", type);
        send_bare_head(s, type);
        break;
    }
    return 0;
}

int ko_p2p_interrupt_custom_file_transfer(int slot)
{
    vasq_ctrl &v = g_vasq_ctrl;
    if (!v.inited.load() || slot < 0 || slot >= v.max_sessions)
        return -1;
    std::atomic<int> &state = v.slots[slot].transfer;
    int running = kTransferRunning;
    state.compare_exchange_strong(running, kTransferInterrupt);
    for (int i = 0; i < 10 && state.load() != kTransferIdle; i++)
        usleep(20 * 1000);
    return state.load() == kTransferIdle ? 0 : -1;
}
