// The process entry of zelmar_app: start everything in order, then park the main thread for ever.
#include "zelmar_main.h"

#include <unistd.h>

int main(int, char **)
{
    zelmar_app_start();
    for (;;)
        sleep(0xfffff);
}
