// Symbol export for the host SDK library. The plug-in is built with hidden
// visibility; everything the host library offers must stay visible. On
// Windows the host layer is a DLL: exported while it is built, imported by
// everything that links it.
#pragma once

#if defined(_WIN32)
#if defined(TARN_BUILDING_HOST)
#define HOST_API __declspec(dllexport)
#else
#define HOST_API __declspec(dllimport)
#endif
#else
#define HOST_API __attribute__((visibility("default")))
#endif
