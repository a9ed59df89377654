#include "base/thread_name.h"

#include <pthread.h>

void NameCurrentThread(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}
