// <windows.h> as the Windows backend and its tests include it: without the rarely used
// interfaces, and without the min and max macros that would break std::min, std::max and
// std::numeric_limits<T>::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
