// A build without libcurl (the Windows build) delivers to folders only: a share mounted as a
// drive or named by its UNC path.
#include "station/Delivery.h"

std::unique_ptr<Transport> makeUrlTransport(const std::string& url, const std::string&,
                                            std::string& error) {
  error = "this build delivers to folders only (a mounted share), not to " + url;
  return nullptr;
}
