#include "chanmap/testa.h"

#include "chanmap/LineOutput.h"

testa::testa() = default;

testa::~testa() = default;

void testa::printaaa() { chanmap_internal::writeLine("aaab"); }
