// Marks what libdatalog exports. The library's own sources define DATALOG_BUILDING; users of the
// library import.
#ifndef ATE_DATALOG_DATALOGEXPORT_H_
#define ATE_DATALOG_DATALOGEXPORT_H_

#if defined(_WIN32)
#if defined(DATALOG_BUILDING)
#define DATALOG_API __declspec(dllexport)
#else
#define DATALOG_API __declspec(dllimport)
#endif
#else
#define DATALOG_API __attribute__((visibility("default")))
#endif

#endif  // ATE_DATALOG_DATALOGEXPORT_H_
