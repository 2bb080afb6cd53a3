// Memory over time: a run of a million short passes (four no-op test functions) must leave the
// driver's resident set where it was after the first thousand. VmRSS of the driver process is
// read when the bench project announces pass 1000, at every 100,000th pass, and after the run.
#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "bench/BenchSupport.h"
#include "bench/ProcessSupport.h"

int main(int argc, char** argv) {
  const long passes = argc > 1 ? std::max(2000L, std::atol(argv[1])) : 1000000;
  bench::TempDir dir;
  const std::string flow = dir.write("flow.json", bench::flowDocument(4, 3));
  const std::string setting =
      dir.write("setting.json", bench::settingJson(static_cast<int>(passes), false, {"soak"}));

  bench::Program driver({ATE_DRIVER_PATH});
  driver.write("1^qv -p load " ATE_BENCH_PROJECT " " + flow + "\n");
  driver.until("1^done");
  const long loaded = driver.residentKiB();
  driver.write("2^qv -p run " + setting + "\n");

  long afterThousand = -1;
  long highest = 0;
  for (std::string line; (line = driver.line()) != "2^execute done";) {
    if (line.rfind("[bench] soak pass ", 0) != 0) continue;
    const long pass = std::atol(line.c_str() + 18);
    const long resident = driver.residentKiB();
    if (pass == 1000) afterThousand = resident;
    if (pass >= 1000) highest = std::max(highest, resident);
    if (pass > 1000) std::cout << "pass " << pass << ": VmRSS " << resident << " KiB" << std::endl;
  }
  const long atEnd = driver.residentKiB();
  bench::exitDriver(driver);

  std::cout << "VmRSS after load " << loaded << " KiB, after pass 1000 " << afterThousand
            << " KiB, highest after that " << std::max(highest, atEnd) << " KiB, after " << passes
            << " passes " << atEnd << " KiB" << std::endl;
  bench::printFigure(std::cout,
                     "memory, " + std::to_string(passes) + " passes: VmRSS growth after pass 1000",
                     static_cast<double>(atEnd - afterThousand), "KiB", 1024);
  bench::printFigure(std::cout, "memory: highest VmRSS growth after pass 1000 during the run",
                     static_cast<double>(std::max(highest, atEnd) - afterThousand), "KiB", 1024);
  return 0;
}
