// For test project authors: exports a function from a test project library under its plain,
// undecorated name, so that the driver finds it by the name written in the flow file.
//
//   #include "CommonStruct.h"
//   #include "TestProjectExport.h"
//
//   TEST_PROJECT_EXPORT bool prj_init() { return true; }
//   TEST_PROJECT_EXPORT bool test_start(DUTSetting dutSetting) { return true; }
//   TEST_PROJECT_EXPORT bool test_end() { return true; }
//   TEST_PROJECT_EXPORT bool continuity(Configure configure) { return true; }
#ifndef ATE_UTILS_TESTPROJECTEXPORT_H_
#define ATE_UTILS_TESTPROJECTEXPORT_H_

#if defined(_WIN32)
#define TEST_PROJECT_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_PROJECT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif  // ATE_UTILS_TESTPROJECTEXPORT_H_
