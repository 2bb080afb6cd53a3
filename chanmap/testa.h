// A small class of the chanmap library with a virtual destructor, for test projects to derive
// from or use as is.
#ifndef ATE_CHANMAP_TESTA_H_
#define ATE_CHANMAP_TESTA_H_

// Kept identical to the definition in chanmap.h.
#ifndef CHANMAP_API
#if defined(_WIN32)
#if defined(CHANMAP_BUILDING)
#define CHANMAP_API __declspec(dllexport)
#else
#define CHANMAP_API __declspec(dllimport)
#endif
#else
#define CHANMAP_API __attribute__((visibility("default")))
#endif
#endif

class CHANMAP_API testa {
 public:
  testa();
  virtual ~testa();

  // Writes "aaab" and a line break to standard output.
  void printaaa();
};

#endif  // ATE_CHANMAP_TESTA_H_
