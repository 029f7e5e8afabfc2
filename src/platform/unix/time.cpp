// unix/time.cpp - GetLocalTime on POSIX.

#include "platform.h"

#include <time.h>

namespace korval {

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = (WORD)(local.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)local.tm_wday;
    lpSystemTime->wDay = (WORD)local.tm_mday;
    lpSystemTime->wHour = (WORD)local.tm_hour;
    lpSystemTime->wMinute = (WORD)local.tm_min;
    lpSystemTime->wSecond = (WORD)local.tm_sec;
    lpSystemTime->wMilliseconds = (WORD)(now.tv_nsec / 1000000);
}

} // namespace korval
