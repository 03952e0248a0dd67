// The id maps between the pairs the app uses (outward) and the pairs the tables are keyed by
// (internal). A piid of 0 in a row stands for every property of the service, kept as it is.
#include <array>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_map.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

struct MapRow {
    int o_siid, o_piid, siid, piid;
};

constexpr std::array<MapRow, 30> kPropertyMap{{
    {2, 2, 2, 11}, {2, 3, 2, 3},   {2, 4, 2, 2},    {2, 5, 2, 4},   {2, 6, 2, 5},   {2, 7, 2, 6},
    {2, 17, 2, 7}, {2, 18, 2, 9},  {2, 19, 2, 10},  {3, 0, 4, 0},   {5, 0, 5, 0},   {4, 0, 3, 0},
    {6, 0, 27, 0}, {8, 2, 29, 1},  {8, 12, 29, 11}, {9, 1, 6, 4},   {9, 2, 6, 2},   {9, 3, 6, 3},
    {9, 4, 6, 5},  {9, 5, 6, 6},   {9, 6, 6, 7},    {9, 7, 6, 8},   {9, 8, 6, 9},   {9, 9, 6, 10},
    {9, 10, 6, 1}, {10, 0, 35, 0}, {13, 0, 25, 0},  {18, 0, 34, 0}, {19, 0, 17, 0}, {20, 0, 22, 0},
}};

constexpr std::array<MapRow, 3> kActionMap{{{2, 2, 2, 1}, {3, 0, 4, 0}, {9, 0, 6, 0}}};

constexpr std::array<MapRow, 7> kEventMap{{
    {10, 0, 35, 0},
    {2, 0, 2, 0},
    {8, 4, 17, 1},
    {8, 5, 17, 2},
    {8, 7, 17, 3},
    {13, 1, 25, 1},
    {13, 3, 25, 2},
}};

// Scans in order: an exact pair wins, a row for the whole service ends the scan with the id kept; a
// row with the same service and another id is passed over. No hit leaves the pair as it is.
template <size_t N>
bool lookup(const std::array<MapRow, N> &rows, bool outward, int siid, int piid, int *out_siid, int *out_piid)
{
    *out_siid = siid;
    *out_piid = piid;
    for (const MapRow &row : rows) {
        const int from_siid = outward ? row.o_siid : row.siid;
        const int from_piid = outward ? row.o_piid : row.piid;
        if (from_siid != siid)
            continue;
        if (from_piid == piid && piid != 0) {
            *out_siid = outward ? row.siid : row.o_siid;
            *out_piid = outward ? row.piid : row.o_piid;
            return true;
        }
        if (from_piid == 0) {
            *out_siid = outward ? row.siid : row.o_siid;
            return true;
        }
    }
    return false;
}

} // namespace

void event_reverse_map(int siid, int eiid, int *o_siid, int *o_eiid)
{
    lookup(kEventMap, false, siid, eiid, o_siid, o_eiid);
}

} // namespace zel_rpc

using zel_rpc::kActionMap;
using zel_rpc::kPropertyMap;
using zel_rpc::lookup;

void vexa_spec_map(int o_siid, int o_piid, int *siid, int *piid)
{
    if (siid && piid)
        lookup(kPropertyMap, true, o_siid, o_piid, siid, piid);
}

void vexa_spec_action_map(int o_siid, int o_aiid, int *siid, int *aiid)
{
    if (siid && aiid)
        lookup(kActionMap, true, o_siid, o_aiid, siid, aiid);
}

void vexa_spec_reverse_map(int siid, int piid, int *o_siid, int *o_piid)
{
    if (!o_siid || !o_piid)
        return;
    if (lookup(kPropertyMap, false, siid, piid, o_siid, o_piid))
        ZEL_LOGD(zel_rpc::TAG, " [%s:%d] ssid[%d] piid[%d] -->o_siid[%d] o_piid[%d]\n", __func__, __LINE__, siid, piid,
                 *o_siid, *o_piid);
}
