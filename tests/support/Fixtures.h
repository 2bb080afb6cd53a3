// Paths of the test project libraries that the tests build.
#ifndef ATE_TESTS_SUPPORT_FIXTURES_H_
#define ATE_TESTS_SUPPORT_FIXTURES_H_

#include <string>

inline std::string fixturePath(const std::string& name) {
  return std::string(ATE_FIXTURE_DIR) + "/" + name + ATE_FIXTURE_SUFFIX;
}

#endif  // ATE_TESTS_SUPPORT_FIXTURES_H_
