// Loads the test project library named on the command line, calls prj_init, test_start, one
// test function and test_end, and exits with 0 only if all were found and returned true.
#include <cstdio>

#include "CommonStruct.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* findFunction(const char* path, const char* name) {
#if defined(_WIN32)
  HMODULE library = LoadLibraryA(path);
  return library ? reinterpret_cast<void*>(GetProcAddress(library, name)) : nullptr;
#else
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return library ? dlsym(library, name) : nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto prjInit = reinterpret_cast<bool (*)()>(findFunction(argv[1], "prj_init"));
  auto testStart = reinterpret_cast<bool (*)(DUTSetting)>(findFunction(argv[1], "test_start"));
  auto continuity = reinterpret_cast<bool (*)(Configure)>(findFunction(argv[1], "continuity"));
  auto testEnd = reinterpret_cast<bool (*)()>(findFunction(argv[1], "test_end"));
  if (!prjInit || !testStart || !continuity || !testEnd) {
    std::fputs("run_project: a function of the test project was not found\n", stderr);
    return 1;
  }
  FlowMessage flow;
  Setting setting;
  setting.dutSetting.selectDUT = {"DUT1"};
  const bool passed = prjInit() && testStart(setting.dutSetting) &&
                      continuity(Configure(flow, setting)) && testEnd();
  std::printf("run_project: %s\n", passed ? "all passed" : "a function returned false");
  return passed ? 0 : 1;
}
