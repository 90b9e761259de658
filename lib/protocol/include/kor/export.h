// Export macro of KorLib: marks the few symbols that form the library's binary interface.
#pragma once

// The library is built with hidden visibility; only declarations marked KOR_API are
// exported. KOR_STATIC (set for the in-tree static archive the tests link) turns the
// macro off entirely.
#if defined(KOR_STATIC)
#define KOR_API
#elif defined(_WIN32)
#if defined(KORLIB_BUILDING)
#define KOR_API __declspec(dllexport)
#else
#define KOR_API __declspec(dllimport)
#endif
#else
#define KOR_API __attribute__((visibility("default")))
#endif
