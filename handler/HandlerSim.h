// A simulated handler or prober, as ate-handler-sim plays it (see that program's usage): listens
// for the station, feeds it touchdowns and checks what it sends back.
#ifndef ATE_HANDLER_HANDLERSIM_H_
#define ATE_HANDLER_HANDLERSIM_H_

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "handler/HandlerProtocol.h"

namespace handler {

struct SimOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  int sites = 4;
  long parts = 100;
  double emptyRate = 0;
  std::chrono::milliseconds index{20};
  long jamAfter = 0;  // 0: never
  std::chrono::milliseconds jamFor{300};
  unsigned seed = 1;
  std::chrono::milliseconds timeout{120000};
  bool prober = false;
  int wafers = 1;
  int diameter = 20;
  int retest = 0;
};

// The dies of a round wafer about diameter dies across, row by row from the top, each row from
// left to right, centred on 0,0.
std::vector<DieXY> waferDies(int diameter);

// The touchdowns of one wafer: the dies stepped by `sites` in a row (a touchdown holds dies of
// one row, on sites 1, 2, ... from the left), then `retest` dies again, a few to a touchdown.
std::vector<std::vector<SiteEntry>> waferTouchdowns(int diameter, int sites, int retest);

// Plays the lot; prints every line exchanged and a summary to out. Returns the exit status: 0
// when everything the station sent was right, 1 when not (or nothing could be done).
int runSimulator(const SimOptions& options, std::FILE* out);

}  // namespace handler

#endif  // ATE_HANDLER_HANDLERSIM_H_
