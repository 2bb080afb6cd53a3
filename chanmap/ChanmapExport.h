// Marks what libchanmap exports. The library's own sources define CHANMAP_BUILDING; users of the
// library import.
#ifndef ATE_CHANMAP_CHANMAPEXPORT_H_
#define ATE_CHANMAP_CHANMAPEXPORT_H_

#if defined(_WIN32)
#if defined(CHANMAP_BUILDING)
#define CHANMAP_API __declspec(dllexport)
#else
#define CHANMAP_API __declspec(dllimport)
#endif
#else
#define CHANMAP_API __attribute__((visibility("default")))
#endif

#endif  // ATE_CHANMAP_CHANMAPEXPORT_H_
