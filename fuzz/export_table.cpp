// readExportTable on any bytes: the names of an ELF or PE library, or a message saying what is
// wrong; never a crash, a hang, a read outside the bytes (AddressSanitizer watches every one) or
// an answer that depends on anything but the bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "check/ExportTable.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so that a read one past its end is a finding.
  const std::vector<unsigned char> bytes(data, data + size);
  ExportTable table;
  std::string error;
  const bool read = readExportTable(bytes.data(), bytes.size(), table, error);
  if (read) {
    if (table.format != "ELF" && table.format != "PE") fuzz::fail("unknown format " + table.format);
    for (const std::string& name : table.names) {
      if (name.find('\0') != std::string::npos) fuzz::fail("a name holds a NUL");
    }
  } else if (error.empty() || !table.names.empty() || !table.format.empty()) {
    fuzz::fail("a failed read without a message, or with names");
  }

  ExportTable again;
  std::string againError;
  if (readExportTable(bytes.data(), bytes.size(), again, againError) != read ||
      again.names != table.names || againError != (read ? std::string() : error)) {
    fuzz::fail("a second read of the same bytes differs");
  }
  return 0;
}
