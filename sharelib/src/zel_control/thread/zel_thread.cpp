// Detached threads.
#include "zel_control/thread/zel_thread.h"

#include <pthread.h>

extern "C" int zel_thread_start_detached(void *(*body)(void *), void *arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int ret = pthread_create(&thread, &attr, body, arg);
    pthread_attr_destroy(&attr);
    return ret;
}
