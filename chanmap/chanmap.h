// Channel mapping for test project libraries: signal definitions, the power supply object that
// test functions configure, and the project singleton.
//
// Built as the shared library chanmap. Test project libraries link it and compile this header;
// everything they use is exported under CHANMAP_API, and nothing else leaves the library.
#ifndef ATE_CHANMAP_CHANMAP_H_
#define ATE_CHANMAP_CHANMAP_H_

#include <atomic>
#include <map>
#include <string>

#include "ChanmapExport.h"

// One signal of the device and the channel it uses at each site.
class CHANMAP_API SigDefine {
 public:
  std::string name;
  std::string type;
  std::string no;
  std::map<int, std::string> siteMaps;  // site number -> channel name

  explicit SigDefine(std::string name, std::string type, std::string no,
                     std::map<int, std::string> siteMaps);
};

// The device power supply. Each call reports on standard output what it was given and returns
// the object itself, so calls can be chained.
class CHANMAP_API DPS {
 public:
  DPS();

  // Reports the signal: type, name, number, map size, then one line per site in site order.
  DPS& signal(SigDefine& sigdefine);
  // Reports the mode.
  DPS& setMode(std::string mode);
};

// The one project object of the process, created on first use and never destroyed.
class CHANMAP_API ProjectOperate {
 public:
  // Creates the object on the first call, from whichever thread makes it, and reports that
  // once; every call returns the same object.
  static ProjectOperate* instance();

  ProjectOperate(const ProjectOperate&) = delete;
  ProjectOperate& operator=(const ProjectOperate&) = delete;

 private:
  ProjectOperate();
  ~ProjectOperate();

  static std::atomic<ProjectOperate*> instanceOwner;  // null until the first call
};

// The library's power supply object, for test functions: dps.signal(sig).setMode("FV").
extern "C" CHANMAP_API DPS& dps;

// Returns min + max, wrapping around on overflow.
extern "C" CHANMAP_API int sum(int min, int max);

// Writes test to standard output as printf would with test as its format and no arguments, but
// never reads an argument: "%%" gives "%", and any other conversion ("%s", "%5.2f", "%n", ...) is
// written as it stands. A null pointer writes nothing.
extern "C" CHANMAP_API void printf_test(const char* test);

#endif  // ATE_CHANMAP_CHANMAP_H_
