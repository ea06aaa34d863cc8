// standin.h: what every sibling stand-in shares: how names are exported and what a name that
// is not supported answers.
#pragma once

#include <cstdint>

// The family's calling convention: the Windows API one on 32-bit Windows, the default elsewhere.
// Kept here rather than taken from the event library's header, whose declarations the event
// library stand-in would collide with.
#if defined(_WIN32) && !defined(_WIN64)
#define KX_STANDIN_API __stdcall
#else
#define KX_STANDIN_API
#endif

inline constexpr std::uint32_t kStandinProcessDetach = 0;
inline constexpr std::uint32_t kStandinProcessAttach = 1;

// On Windows each stand-in's .def file lists its exports; elsewhere the default visibility marks
// them and a version script keeps everything else local.
#if defined(_WIN32)
#define KX_STANDIN_EXPORT extern "C"
#else
#define KX_STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Every name a stand-in exports without carrying it out answers this (all bits set) and
// touches nothing. These entries exist so that a library binding the component finds every
// name it checks for; they take no arguments and are not meant to be called.
inline constexpr std::int32_t kNotSupported = -1;

#define KX_STANDIN_STUB(name)                              \
    KX_STANDIN_EXPORT std::int32_t KX_STANDIN_API name() { \
        return kNotSupported;                              \
    }
#define KX_STANDIN_REAL(name)
#define KX_STANDIN_NAME(name, kind) KX_STANDIN_##kind(name)
