// A small class of the chanmap library with a virtual destructor, for test projects to derive
// from or use as is.
#ifndef ATE_CHANMAP_TESTA_H_
#define ATE_CHANMAP_TESTA_H_

#include "ChanmapExport.h"

class CHANMAP_API testa {
 public:
  testa();
  virtual ~testa();

  // Writes "aaab" and a line break to standard output.
  void printaaa();
};

#endif  // ATE_CHANMAP_TESTA_H_
