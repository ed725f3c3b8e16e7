// How the plug-in's two entry points are exported on each platform.
#pragma once

#if defined(_WIN32)
#define NIMBREL_EXPORT extern "C" __declspec(dllexport)
#else
#define NIMBREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif
