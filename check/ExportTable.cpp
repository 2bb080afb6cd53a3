#include "check/ExportTable.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Bounds-checked reads of little- or big-endian integers at file offsets. Every read of the
// library's bytes goes through here; a read past the end gives false.
class Bytes {
 public:
  Bytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  void setBigEndian(bool big) { big_ = big; }
  std::size_t size() const { return size_; }

  bool has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool u8(std::uint64_t offset, std::uint64_t& out) const { return read(offset, 1, out); }
  bool u16(std::uint64_t offset, std::uint64_t& out) const { return read(offset, 2, out); }
  bool u32(std::uint64_t offset, std::uint64_t& out) const { return read(offset, 4, out); }
  bool u64(std::uint64_t offset, std::uint64_t& out) const { return read(offset, 8, out); }
  // A 4- or 8-byte word, as the ELF class says.
  bool word(std::uint64_t offset, bool wide, std::uint64_t& out) const {
    return read(offset, wide ? 8 : 4, out);
  }

  // The NUL-terminated string at offset, which must end before limit (and the data's end).
  bool string(std::uint64_t offset, std::uint64_t limit, std::string& out) const {
    if (limit > size_) limit = size_;
    if (offset >= limit) return false;
    const void* end = std::memchr(data_ + offset, 0, static_cast<std::size_t>(limit - offset));
    if (end == nullptr) return false;
    out.assign(reinterpret_cast<const char*>(data_ + offset),
               static_cast<const unsigned char*>(end) - (data_ + offset));
    return true;
  }

 private:
  bool read(std::uint64_t offset, unsigned length, std::uint64_t& out) const {
    if (!has(offset, length)) return false;
    out = 0;
    for (unsigned i = 0; i < length; ++i) {
      const std::uint64_t byte = data_[offset + (big_ ? i : length - 1 - i)];
      out = (out << 8) | byte;
    }
    return true;
  }

  const unsigned char* data_;
  std::size_t size_;
  bool big_ = false;
};

// ---- ELF ----

constexpr std::uint64_t ET_DYN = 3;
constexpr std::uint64_t SHT_DYNSYM = 11;
constexpr std::uint64_t PT_LOAD = 1;
constexpr std::uint64_t PT_DYNAMIC = 2;
constexpr std::uint64_t DT_NULL = 0;
constexpr std::uint64_t DT_HASH = 4;
constexpr std::uint64_t DT_STRTAB = 5;
constexpr std::uint64_t DT_SYMTAB = 6;
constexpr std::uint64_t DT_STRSZ = 10;
constexpr std::uint64_t DT_GNU_HASH = 0x6ffffef5;

// Where the symbols and their names lie in the file.
struct SymbolTable {
  std::uint64_t symbols = 0;  // offset of the first symbol
  std::uint64_t count = 0;
  std::uint64_t strings = 0;  // offset and size of the string table
  std::uint64_t stringsSize = 0;
};

class ElfReader {
 public:
  explicit ElfReader(Bytes& bytes) : bytes_(bytes) {}

  bool read(ExportTable& out, std::string& error);

 private:
  bool fromSections(SymbolTable& table, std::string& error);
  bool fromDynamic(SymbolTable& table, std::string& error);
  bool fileOffset(std::uint64_t address, std::uint64_t& offset) const;
  bool symbolCount(std::uint64_t hash, std::uint64_t gnuHash, std::uint64_t& count) const;

  Bytes& bytes_;
  bool wide_ = false;  // ELFCLASS64
  std::uint64_t phoff_ = 0, phentsize_ = 0, phnum_ = 0;
  std::uint64_t shoff_ = 0, shentsize_ = 0, shnum_ = 0;
};

bool ElfReader::read(ExportTable& out, std::string& error) {
  std::uint64_t elfClass = 0, data = 0, type = 0;
  bytes_.u8(4, elfClass);
  bytes_.u8(5, data);
  if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2)) {
    error = "an ELF file of an unknown class or byte order";
    return false;
  }
  wide_ = elfClass == 2;
  bytes_.setBigEndian(data == 2);
  const bool header = wide_ ? bytes_.has(0, 64) : bytes_.has(0, 52);
  if (!header || !bytes_.u16(16, type)) {
    error = "a truncated ELF file (its header is incomplete)";
    return false;
  }
  if (type != ET_DYN) {
    error = "an ELF file but no shared library (an executable or an object file)";
    return false;
  }
  if (wide_) {
    bytes_.u64(32, phoff_), bytes_.u64(40, shoff_), bytes_.u16(54, phentsize_);
    bytes_.u16(56, phnum_), bytes_.u16(58, shentsize_), bytes_.u16(60, shnum_);
  } else {
    bytes_.u32(28, phoff_), bytes_.u32(32, shoff_), bytes_.u16(42, phentsize_);
    bytes_.u16(44, phnum_), bytes_.u16(46, shentsize_), bytes_.u16(48, shnum_);
  }

  // The section headers name the dynamic symbol table directly; a library stripped of them
  // still has it through its dynamic segment, which is what the loader uses.
  SymbolTable table;
  std::string sectionError;
  if (!fromSections(table, sectionError) && !fromDynamic(table, error)) {
    if (!sectionError.empty()) error = sectionError;
    return false;
  }

  const std::uint64_t entry = wide_ ? 24 : 16;
  if (table.count > bytes_.size() / entry || !bytes_.has(table.symbols, table.count * entry)) {
    error = "a damaged ELF file (its symbol table lies outside the file)";
    return false;
  }
  out.format = "ELF";
  for (std::uint64_t i = 0; i < table.count; ++i) {
    const std::uint64_t at = table.symbols + i * entry;
    std::uint64_t name = 0, info = 0, other = 0, section = 0;
    bytes_.u32(at, name);
    if (wide_) {
      bytes_.u8(at + 4, info), bytes_.u8(at + 5, other), bytes_.u16(at + 6, section);
    } else {
      bytes_.u8(at + 12, info), bytes_.u8(at + 13, other), bytes_.u16(at + 14, section);
    }
    const std::uint64_t binding = info >> 4, symbolType = info & 0xf, visibility = other & 3;
    // Defined, global, weak or unique, visible from outside, and not a section or file marker.
    const bool exported = section != 0 && (binding == 1 || binding == 2 || binding == 10) &&
                          (visibility == 0 || visibility == 3) && symbolType != 3 &&
                          symbolType != 4;
    if (!exported) continue;
    std::string text;
    if (name >= table.stringsSize ||
        !bytes_.string(table.strings + name, table.strings + table.stringsSize, text)) {
      error = "a damaged ELF file (a symbol's name lies outside its string table)";
      return false;
    }
    if (!text.empty()) out.names.push_back(std::move(text));
  }
  return true;
}

bool ElfReader::fromSections(SymbolTable& table, std::string& error) {
  const std::uint64_t size = wide_ ? 64 : 40;
  if (shnum_ == 0) return false;
  if (shentsize_ < size || !bytes_.has(shoff_, shnum_ * shentsize_)) {
    error = "a damaged ELF file (its section headers lie outside the file)";
    return false;
  }
  for (std::uint64_t i = 0; i < shnum_; ++i) {
    const std::uint64_t at = shoff_ + i * shentsize_;
    std::uint64_t type = 0, offset = 0, bytes = 0, link = 0;
    bytes_.u32(at + 4, type);
    if (type != SHT_DYNSYM) continue;
    bytes_.word(at + (wide_ ? 24 : 16), wide_, offset);
    bytes_.word(at + (wide_ ? 32 : 20), wide_, bytes);
    bytes_.u32(at + (wide_ ? 40 : 24), link);
    if (link >= shnum_) {
      error = "a damaged ELF file (its symbol table names no string table)";
      return false;
    }
    const std::uint64_t strings = shoff_ + link * shentsize_;
    table.symbols = offset;
    table.count = bytes / (wide_ ? 24 : 16);
    bytes_.word(strings + (wide_ ? 24 : 16), wide_, table.strings);
    bytes_.word(strings + (wide_ ? 32 : 20), wide_, table.stringsSize);
    if (!bytes_.has(table.strings, table.stringsSize)) {
      error = "a damaged ELF file (its string table lies outside the file)";
      return false;
    }
    return true;
  }
  return false;
}

// The file offset of a virtual address, through the loadable segments.
bool ElfReader::fileOffset(std::uint64_t address, std::uint64_t& offset) const {
  const std::uint64_t size = wide_ ? 56 : 32;
  for (std::uint64_t i = 0; i < phnum_; ++i) {
    const std::uint64_t at = phoff_ + i * phentsize_;
    std::uint64_t type = 0, fileAt = 0, virtualAt = 0, fileSize = 0;
    if (!bytes_.has(at, size) || !bytes_.u32(at, type) || type != PT_LOAD) continue;
    bytes_.word(at + (wide_ ? 8 : 4), wide_, fileAt);
    bytes_.word(at + (wide_ ? 16 : 8), wide_, virtualAt);
    bytes_.word(at + (wide_ ? 32 : 16), wide_, fileSize);
    if (address >= virtualAt && address - virtualAt < fileSize) {
      offset = fileAt + (address - virtualAt);
      return offset >= fileAt;  // no wrap-around
    }
  }
  return false;
}

// The number of symbols, which the dynamic segment gives only through a hash table: the chain
// count of a SysV hash table, or one past the last symbol a GNU hash table reaches.
bool ElfReader::symbolCount(std::uint64_t hash, std::uint64_t gnuHash, std::uint64_t& count) const {
  std::uint64_t offset = 0;
  if (hash != 0 && fileOffset(hash, offset)) return bytes_.u32(offset + 4, count);
  if (gnuHash == 0 || !fileOffset(gnuHash, offset)) return false;
  std::uint64_t buckets = 0, first = 0, bloomWords = 0;
  if (!bytes_.u32(offset, buckets) || !bytes_.u32(offset + 4, first) ||
      !bytes_.u32(offset + 8, bloomWords)) {
    return false;
  }
  const std::uint64_t bucketsAt = offset + 16 + bloomWords * (wide_ ? 8 : 4);
  if (!bytes_.has(bucketsAt, buckets * 4)) return false;
  const std::uint64_t chainsAt = bucketsAt + buckets * 4;
  std::uint64_t last = 0;
  for (std::uint64_t i = 0; i < buckets; ++i) {
    std::uint64_t symbol = 0;
    bytes_.u32(bucketsAt + i * 4, symbol);
    if (symbol > last) last = symbol;
  }
  if (last < first) {
    count = first;
    return true;
  }
  // Follow the last chain to its end (the entry with the low bit set).
  for (std::uint64_t symbol = last;; ++symbol) {
    std::uint64_t value = 0;
    if (!bytes_.u32(chainsAt + (symbol - first) * 4, value)) return false;
    if (value & 1) {
      count = symbol + 1;
      return true;
    }
  }
}

bool ElfReader::fromDynamic(SymbolTable& table, std::string& error) {
  const std::uint64_t size = wide_ ? 56 : 32;
  if (phnum_ == 0 || phentsize_ < size || !bytes_.has(phoff_, phnum_ * phentsize_)) {
    error = "a damaged ELF file (no section headers, and no program headers inside the file)";
    return false;
  }
  for (std::uint64_t i = 0; i < phnum_; ++i) {
    const std::uint64_t at = phoff_ + i * phentsize_;
    std::uint64_t type = 0, offset = 0, bytes = 0;
    bytes_.u32(at, type);
    if (type != PT_DYNAMIC) continue;
    bytes_.word(at + (wide_ ? 8 : 4), wide_, offset);
    bytes_.word(at + (wide_ ? 32 : 16), wide_, bytes);
    std::uint64_t symtab = 0, strtab = 0, strsz = 0, hash = 0, gnuHash = 0;
    const std::uint64_t entry = wide_ ? 16 : 8;
    for (std::uint64_t d = offset; d - offset + entry <= bytes; d += entry) {
      std::uint64_t tag = 0, value = 0;
      if (!bytes_.word(d, wide_, tag) || !bytes_.word(d + entry / 2, wide_, value)) break;
      if (tag == DT_NULL) break;
      if (tag == DT_SYMTAB) symtab = value;
      if (tag == DT_STRTAB) strtab = value;
      if (tag == DT_STRSZ) strsz = value;
      if (tag == DT_HASH) hash = value;
      if (tag == DT_GNU_HASH) gnuHash = value;
    }
    if (!fileOffset(symtab, table.symbols) || !fileOffset(strtab, table.strings) ||
        !symbolCount(hash, gnuHash, table.count) || !bytes_.has(table.strings, strsz)) {
      error = "a damaged ELF file (its dynamic segment points outside the file)";
      return false;
    }
    table.stringsSize = strsz;
    return true;
  }
  error = "an ELF file with no dynamic symbols (no shared library)";
  return false;
}

// ---- PE ----

bool readPe(const Bytes& bytes, ExportTable& out, std::string& error) {
  std::uint64_t pe = 0, signature = 0;
  if (!bytes.u32(0x3c, pe) || !bytes.u32(pe, signature) || signature != 0x00004550) {
    error = "a DOS or Windows file without a PE header (no DLL)";
    return false;
  }
  const std::uint64_t coff = pe + 4;
  std::uint64_t sections = 0, optionalSize = 0, characteristics = 0, magic = 0;
  if (!bytes.u16(coff + 2, sections) || !bytes.u16(coff + 16, optionalSize) ||
      !bytes.u16(coff + 18, characteristics) || !bytes.u16(coff + 20, magic)) {
    error = "a truncated PE file (its header is incomplete)";
    return false;
  }
  if ((characteristics & 0x2000) == 0) {
    error = "a Windows program, not a DLL";
    return false;
  }
  if (magic != 0x10b && magic != 0x20b) {
    error = "a damaged PE file (unknown optional header)";
    return false;
  }
  const std::uint64_t optional = coff + 20;
  if (!bytes.has(optional, optionalSize + sections * 40)) {
    error = "a truncated PE file (its headers are incomplete)";
    return false;
  }
  const std::uint64_t directories = optional + (magic == 0x20b ? 112 : 96);
  std::uint64_t directoryCount = 0, exportRva = 0;
  out.format = "PE";
  if (!bytes.u32(directories - 4, directoryCount) || directoryCount == 0 ||
      directories + 8 > optional + optionalSize) {
    return true;  // no data directories: nothing exported
  }
  if (!bytes.u32(directories, exportRva)) {
    error = "a truncated PE file (its header is incomplete)";
    return false;
  }
  if (exportRva == 0) return true;

  // Addresses in the export data are relative to the image; the section table maps them to the
  // file.
  const std::uint64_t sectionTable = optional + optionalSize;
  if (!bytes.has(sectionTable, sections * 40)) {
    error = "a damaged PE file (its section table lies outside the file)";
    return false;
  }
  auto fileOffset = [&](std::uint64_t rva, std::uint64_t& offset, std::uint64_t& end) {
    for (std::uint64_t i = 0; i < sections; ++i) {
      const std::uint64_t at = sectionTable + i * 40;
      std::uint64_t virtualSize = 0, virtualAt = 0, rawSize = 0, rawAt = 0;
      bytes.u32(at + 8, virtualSize), bytes.u32(at + 12, virtualAt);
      bytes.u32(at + 16, rawSize), bytes.u32(at + 20, rawAt);
      const std::uint64_t span = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
      if (rva >= virtualAt && rva - virtualAt < span) {
        offset = rawAt + (rva - virtualAt);
        end = rawAt + span;
        return true;
      }
    }
    return false;
  };
  std::uint64_t directory = 0, directoryEnd = 0, nameCount = 0, namesRva = 0;
  std::uint64_t names = 0, namesEnd = 0;
  if (!fileOffset(exportRva, directory, directoryEnd) || !bytes.u32(directory + 24, nameCount) ||
      !bytes.u32(directory + 32, namesRva)) {
    error = "a damaged PE file (its export directory lies outside the file)";
    return false;
  }
  if (nameCount == 0) return true;
  if (!fileOffset(namesRva, names, namesEnd) || nameCount > (namesEnd - names) / 4 ||
      !bytes.has(names, nameCount * 4)) {
    error = "a damaged PE file (its table of exported names lies outside the file)";
    return false;
  }
  for (std::uint64_t i = 0; i < nameCount; ++i) {
    std::uint64_t nameRva = 0, name = 0, nameEnd = 0;
    std::string text;
    bytes.u32(names + i * 4, nameRva);
    if (!fileOffset(nameRva, name, nameEnd) || !bytes.string(name, nameEnd, text)) {
      error = "a damaged PE file (an exported name lies outside the file)";
      return false;
    }
    out.names.push_back(std::move(text));
  }
  return true;
}

}  // namespace

bool readExportTable(const unsigned char* data, std::size_t size, ExportTable& out,
                     std::string& error) {
  out = ExportTable();
  error.clear();
  Bytes bytes(data, size);
  bool read = false;
  if (size >= 4 && std::memcmp(data,
                               "\x7f"
                               "ELF",
                               4) == 0) {
    ElfReader elf(bytes);
    read = elf.read(out, error);
  } else if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
    read = readPe(bytes, out, error);
  } else {
    error = "no shared library (neither an ELF shared object nor a PE DLL)";
  }
  if (!read) out = ExportTable();
  return read;
}

bool readExportTableFile(const std::string& path, ExportTable& out, std::string& error) {
  std::error_code ignored;
  if (std::filesystem::is_directory(std::filesystem::path(path), ignored)) {
    error = "a directory, not a library";
    return false;
  }
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file) {
    error = std::filesystem::exists(std::filesystem::path(path), ignored) ? "cannot be read"
                                                                          : "does not exist";
    return false;
  }
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
  if (file.bad()) {
    error = "cannot be read";
    return false;
  }
  return readExportTable(data.data(), data.size(), out, error);
}
