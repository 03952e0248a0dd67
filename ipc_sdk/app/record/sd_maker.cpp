// Card makers by the manufacturer id of the CID register, as "sd.info" reports them.
#include "sd_pool.h"

namespace {

struct Maker {
    int id;
    const char *name;
};

constexpr Maker kMakers[] = {
    {1, "Panasonic"},         {2, "Toshiba/Kingston/Viking"}, {3, "SanDisk"},   {8, "Silicon Power"},
    {18, "Netac"},            {24, "Infineon"},               {27, "Transcend|Samsung"},
    {28, "Transcend"},        {29, "Corsair|AData"},          {30, "Transcend"}, {31, "Kingston"},
    {39, "Kingston|Phison"},  {40, "Lexar"},                  {48, "SanDisk"},  {49, "SiliconPower"},
    {51, "STMicroelectronics"}, {65, "Kingston"},             {66, "Kingston"}, {111, "STMicroelectronics"},
    {116, "Transcend"},       {173, "OV|Lexar"},              {223, "YouLin"},  {137, "Unknown"},
};

} // namespace

extern "C" const char *sd_get_maker_name(int manufacturer_id)
{
    for (const Maker &m : kMakers)
        if (m.id == manufacturer_id)
            return m.name;
    return "Unknown";
}
