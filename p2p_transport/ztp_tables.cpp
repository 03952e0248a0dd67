#include "ztp_tables.h"

#include <string_view>

#include "ztp_tables_data.h"

namespace {

constexpr bool has_no_zero(const unsigned char *table, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (table[i] == 0)
            return false;
    return true;
}

constexpr bool is_printable(std::string_view text)
{
    for (char c : text)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

static_assert(sizeof ztp_table_scramble == ZTP_SCRAMBLE_TABLE_SIZE);
static_assert(sizeof ztp_table_crc == ZTP_CRC_TABLE_SIZE);
static_assert(sizeof ztp_table_init == ZTP_INIT_TABLE_SIZE);
// The login check divides by state bytes drawn from this table: a zero would divide by zero.
static_assert(has_no_zero(ztp_table_crc, sizeof ztp_table_crc), "the login check table must hold no zero");
static_assert(sizeof ztp_table_super_device_key == 17 && is_printable(ztp_table_super_device_key));
static_assert(is_printable(ztp_table_login_key));

} // namespace

const unsigned char *const ztp_scramble_table = ztp_table_scramble;
const unsigned char *const CRCTable = ztp_table_crc;
const unsigned char *const ztp_init_table = ztp_table_init;
const char *const ztp_super_device_key = ztp_table_super_device_key;
const char *const ztp_login_key = ztp_table_login_key;
