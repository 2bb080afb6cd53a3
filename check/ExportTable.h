// The names a shared library exports, read from its file (ELF dynamic symbols or the export
// directory of a PE DLL) without loading it, so that none of its code runs. Either format is read
// on either platform.
#ifndef ATE_TOOLS_EXPORTTABLE_H_
#define ATE_TOOLS_EXPORTTABLE_H_

#include <cstddef>
#include <string>
#include <vector>

struct ExportTable {
  std::string format;              // "ELF" or "PE"
  std::vector<std::string> names;  // the exported names, in table order
};

// Reads the export table of the library held in data[0, size). Any bytes are safe to give: a
// file that is no shared library of either format, or whose tables point outside it, gives false
// with error saying what is wrong.
bool readExportTable(const unsigned char* data, std::size_t size, ExportTable& out,
                     std::string& error);

// The same for the file at path; error also covers a file that can't be read.
bool readExportTableFile(const std::string& path, ExportTable& out, std::string& error);

#endif  // ATE_TOOLS_EXPORTTABLE_H_
