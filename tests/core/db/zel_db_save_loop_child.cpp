// Helper process of the crash test: opens the settings database below $ZELMAR_ROOT and saves two
// equal values in a loop until it is killed.
#include "zel_db/zel_db.h"

#include <string>

int main()
{
    if (zel_api_db_init() != 0)
        return 2;
    for (long i = 1;; ++i) {
        const std::string v = std::to_string(i) + std::string(static_cast<size_t>(i % 700), 'x');
        zel_api_db_set_value("NVM.CRASH:a", v.c_str(), static_cast<int>(v.size()), 0);
        zel_api_db_set_value("NVM.CRASH:b", v.c_str(), static_cast<int>(v.size()), 1);
    }
}
