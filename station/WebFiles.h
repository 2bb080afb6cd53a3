// The page's files, compiled into the program from station/web/ at build time.
#ifndef ATE_STATION_WEBFILES_H_
#define ATE_STATION_WEBFILES_H_

#include <cstddef>

struct WebFile {
  const char* path;  // as requested: "/", "/station.js", ...
  const char* contentType;
  const unsigned char* data;
  std::size_t size;
};

// The files, ending in an entry whose path is null.
extern const WebFile WEB_FILES[];

#endif  // ATE_STATION_WEBFILES_H_
