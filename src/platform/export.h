// How the plug-in's entry points and its data export are exported on each
// platform: undecorated C names.
#pragma once

#if defined(_WIN32)
#define NIMBREL_EXPORT extern "C" __declspec(dllexport)
#else
#define NIMBREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// A variable the host reads by name without calling into the plug-in.
#define NIMBREL_DATA_EXPORT NIMBREL_EXPORT
