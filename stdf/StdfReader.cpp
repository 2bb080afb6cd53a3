#include "stdf/StdfReader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <istream>
#include <iterator>

namespace stdf {

namespace {

using T = FieldType;

struct FieldLayout {
  const char* name;
  FieldType type;
  int count = -1;  // for the kx arrays: the position of the field holding k
};

// VN marks GDR's GEN_DATA, decoded item by item.
constexpr int GEN_DATA = -2;

struct RecordLayout {
  std::uint8_t type;
  std::uint8_t sub;
  const char* name;
  const FieldLayout* fields;
  std::size_t count;
};

const FieldLayout FAR_FIELDS[] = {{"CPU_TYPE", T::U1}, {"STDF_VER", T::U1}};
const FieldLayout ATR_FIELDS[] = {{"MOD_TIM", T::U4}, {"CMD_LINE", T::CN}};
const FieldLayout MIR_FIELDS[] = {
    {"SETUP_T", T::U4},  {"START_T", T::U4},  {"STAT_NUM", T::U1}, {"MODE_COD", T::C1},
    {"RTST_COD", T::C1}, {"PROT_COD", T::C1}, {"BURN_TIM", T::U2}, {"CMOD_COD", T::C1},
    {"LOT_ID", T::CN},   {"PART_TYP", T::CN}, {"NODE_NAM", T::CN}, {"TSTR_TYP", T::CN},
    {"JOB_NAM", T::CN},  {"JOB_REV", T::CN},  {"SBLOT_ID", T::CN}, {"OPER_NAM", T::CN},
    {"EXEC_TYP", T::CN}, {"EXEC_VER", T::CN}, {"TEST_COD", T::CN}, {"TST_TEMP", T::CN},
    {"USER_TXT", T::CN}, {"AUX_FILE", T::CN}, {"PKG_TYP", T::CN},  {"FAMLY_ID", T::CN},
    {"DATE_COD", T::CN}, {"FACIL_ID", T::CN}, {"FLOOR_ID", T::CN}, {"PROC_ID", T::CN},
    {"OPER_FRQ", T::CN}, {"SPEC_NAM", T::CN}, {"SPEC_VER", T::CN}, {"FLOW_ID", T::CN},
    {"SETUP_ID", T::CN}, {"DSGN_REV", T::CN}, {"ENG_ID", T::CN},   {"ROM_COD", T::CN},
    {"SERL_NUM", T::CN}, {"SUPR_NAM", T::CN}};
const FieldLayout MRR_FIELDS[] = {
    {"FINISH_T", T::U4}, {"DISP_COD", T::C1}, {"USR_DESC", T::CN}, {"EXC_DESC", T::CN}};
const FieldLayout PCR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"PART_CNT", T::U4},
                                  {"RTST_CNT", T::U4}, {"ABRT_CNT", T::U4}, {"GOOD_CNT", T::U4},
                                  {"FUNC_CNT", T::U4}};
const FieldLayout HBR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"HBIN_NUM", T::U2},
                                  {"HBIN_CNT", T::U4}, {"HBIN_PF", T::C1},  {"HBIN_NAM", T::CN}};
const FieldLayout SBR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"SBIN_NUM", T::U2},
                                  {"SBIN_CNT", T::U4}, {"SBIN_PF", T::C1},  {"SBIN_NAM", T::CN}};
const FieldLayout PMR_FIELDS[] = {{"PMR_INDX", T::U2}, {"CHAN_TYP", T::U2}, {"CHAN_NAM", T::CN},
                                  {"PHY_NAM", T::CN},  {"LOG_NAM", T::CN},  {"HEAD_NUM", T::U1},
                                  {"SITE_NUM", T::U1}};
const FieldLayout PGR_FIELDS[] = {
    {"GRP_INDX", T::U2}, {"GRP_NAM", T::CN}, {"INDX_CNT", T::U2}, {"PMR_INDX", T::U2_ARRAY, 2}};
const FieldLayout PLR_FIELDS[] = {{"GRP_CNT", T::U2},           {"GRP_INDX", T::U2_ARRAY, 0},
                                  {"GRP_MODE", T::U2_ARRAY, 0}, {"GRP_RADX", T::U1_ARRAY, 0},
                                  {"PGM_CHAR", T::CN_ARRAY, 0}, {"RTN_CHAR", T::CN_ARRAY, 0},
                                  {"PGM_CHAL", T::CN_ARRAY, 0}, {"RTN_CHAL", T::CN_ARRAY, 0}};
const FieldLayout RDR_FIELDS[] = {{"NUM_BINS", T::U2}, {"RTST_BIN", T::U2_ARRAY, 0}};
const FieldLayout SDR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"SITE_CNT", T::U1}, {"SITE_NUM", T::U1_ARRAY, 2},
    {"HAND_TYP", T::CN}, {"HAND_ID", T::CN},  {"CARD_TYP", T::CN}, {"CARD_ID", T::CN},
    {"LOAD_TYP", T::CN}, {"LOAD_ID", T::CN},  {"DIB_TYP", T::CN},  {"DIB_ID", T::CN},
    {"CABL_TYP", T::CN}, {"CABL_ID", T::CN},  {"CONT_TYP", T::CN}, {"CONT_ID", T::CN},
    {"LASR_TYP", T::CN}, {"LASR_ID", T::CN},  {"EXTR_TYP", T::CN}, {"EXTR_ID", T::CN}};
const FieldLayout WIR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"START_T", T::U4}, {"WAFER_ID", T::CN}};
const FieldLayout WRR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"FINISH_T", T::U4},
                                  {"PART_CNT", T::U4}, {"RTST_CNT", T::U4}, {"ABRT_CNT", T::U4},
                                  {"GOOD_CNT", T::U4}, {"FUNC_CNT", T::U4}, {"WAFER_ID", T::CN},
                                  {"FABWF_ID", T::CN}, {"FRAME_ID", T::CN}, {"MASK_ID", T::CN},
                                  {"USR_DESC", T::CN}, {"EXC_DESC", T::CN}};
const FieldLayout WCR_FIELDS[] = {{"WAFR_SIZ", T::R4}, {"DIE_HT", T::R4},  {"DIE_WID", T::R4},
                                  {"WF_UNITS", T::U1}, {"WF_FLAT", T::C1}, {"CENTER_X", T::I2},
                                  {"CENTER_Y", T::I2}, {"POS_X", T::C1},   {"POS_Y", T::C1}};
const FieldLayout PIR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}};
const FieldLayout PRR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"PART_FLG", T::B1},
                                  {"NUM_TEST", T::U2}, {"HARD_BIN", T::U2}, {"SOFT_BIN", T::U2},
                                  {"X_COORD", T::I2},  {"Y_COORD", T::I2},  {"TEST_T", T::U4},
                                  {"PART_ID", T::CN},  {"PART_TXT", T::CN}, {"PART_FIX", T::BN}};
const FieldLayout TSR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"TEST_TYP", T::C1}, {"TEST_NUM", T::U4},
    {"EXEC_CNT", T::U4}, {"FAIL_CNT", T::U4}, {"ALRM_CNT", T::U4}, {"TEST_NAM", T::CN},
    {"SEQ_NAME", T::CN}, {"TEST_LBL", T::CN}, {"OPT_FLAG", T::B1}, {"TEST_TIM", T::R4},
    {"TEST_MIN", T::R4}, {"TEST_MAX", T::R4}, {"TST_SUMS", T::R4}, {"TST_SQRS", T::R4}};
const FieldLayout PTR_FIELDS[] = {
    {"TEST_NUM", T::U4}, {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"TEST_FLG", T::B1},
    {"PARM_FLG", T::B1}, {"RESULT", T::R4},   {"TEST_TXT", T::CN}, {"ALARM_ID", T::CN},
    {"OPT_FLAG", T::B1}, {"RES_SCAL", T::I1}, {"LLM_SCAL", T::I1}, {"HLM_SCAL", T::I1},
    {"LO_LIMIT", T::R4}, {"HI_LIMIT", T::R4}, {"UNITS", T::CN},    {"C_RESFMT", T::CN},
    {"C_LLMFMT", T::CN}, {"C_HLMFMT", T::CN}, {"LO_SPEC", T::R4},  {"HI_SPEC", T::R4}};
const FieldLayout MPR_FIELDS[] = {
    {"TEST_NUM", T::U4}, {"HEAD_NUM", T::U1},          {"SITE_NUM", T::U1},
    {"TEST_FLG", T::B1}, {"PARM_FLG", T::B1},          {"RTN_ICNT", T::U2},
    {"RSLT_CNT", T::U2}, {"RTN_STAT", T::N1_ARRAY, 5}, {"RTN_RSLT", T::R4_ARRAY, 6},
    {"TEST_TXT", T::CN}, {"ALARM_ID", T::CN},          {"OPT_FLAG", T::B1},
    {"RES_SCAL", T::I1}, {"LLM_SCAL", T::I1},          {"HLM_SCAL", T::I1},
    {"LO_LIMIT", T::R4}, {"HI_LIMIT", T::R4},          {"START_IN", T::R4},
    {"INCR_IN", T::R4},  {"RTN_INDX", T::U2_ARRAY, 5}, {"UNITS", T::CN},
    {"UNITS_IN", T::CN}, {"C_RESFMT", T::CN},          {"C_LLMFMT", T::CN},
    {"C_HLMFMT", T::CN}, {"LO_SPEC", T::R4},           {"HI_SPEC", T::R4}};
const FieldLayout FTR_FIELDS[] = {{"TEST_NUM", T::U4},           {"HEAD_NUM", T::U1},
                                  {"SITE_NUM", T::U1},           {"TEST_FLG", T::B1},
                                  {"OPT_FLAG", T::B1},           {"CYCL_CNT", T::U4},
                                  {"REL_VADR", T::U4},           {"REPT_CNT", T::U4},
                                  {"NUM_FAIL", T::U4},           {"XFAIL_AD", T::I4},
                                  {"YFAIL_AD", T::I4},           {"VECT_OFF", T::I2},
                                  {"RTN_ICNT", T::U2},           {"PGM_ICNT", T::U2},
                                  {"RTN_INDX", T::U2_ARRAY, 12}, {"RTN_STAT", T::N1_ARRAY, 12},
                                  {"PGM_INDX", T::U2_ARRAY, 13}, {"PGM_STAT", T::N1_ARRAY, 13},
                                  {"FAIL_PIN", T::DN},           {"VECT_NAM", T::CN},
                                  {"TIME_SET", T::CN},           {"OP_CODE", T::CN},
                                  {"TEST_TXT", T::CN},           {"ALARM_ID", T::CN},
                                  {"PROG_TXT", T::CN},           {"RSLT_TXT", T::CN},
                                  {"PATG_NUM", T::U1},           {"SPIN_MAP", T::DN}};
const FieldLayout BPS_FIELDS[] = {{"SEQ_NAME", T::CN}};
const FieldLayout GDR_FIELDS[] = {{"FLD_CNT", T::U2}, {"GEN_DATA", T::U1, GEN_DATA}};
const FieldLayout DTR_FIELDS[] = {{"TEXT_DAT", T::CN}};

#define ATE_STDF_RECORD(type, sub, name) \
  { type, sub, #name, name##_FIELDS, std::size(name##_FIELDS) }

const RecordLayout RECORDS[] = {
    ATE_STDF_RECORD(0, 10, FAR),  ATE_STDF_RECORD(0, 20, ATR),  ATE_STDF_RECORD(1, 10, MIR),
    ATE_STDF_RECORD(1, 20, MRR),  ATE_STDF_RECORD(1, 30, PCR),  ATE_STDF_RECORD(1, 40, HBR),
    ATE_STDF_RECORD(1, 50, SBR),  ATE_STDF_RECORD(1, 60, PMR),  ATE_STDF_RECORD(1, 62, PGR),
    ATE_STDF_RECORD(1, 63, PLR),  ATE_STDF_RECORD(1, 70, RDR),  ATE_STDF_RECORD(1, 80, SDR),
    ATE_STDF_RECORD(2, 10, WIR),  ATE_STDF_RECORD(2, 20, WRR),  ATE_STDF_RECORD(2, 30, WCR),
    ATE_STDF_RECORD(5, 10, PIR),  ATE_STDF_RECORD(5, 20, PRR),  ATE_STDF_RECORD(10, 30, TSR),
    ATE_STDF_RECORD(15, 10, PTR), ATE_STDF_RECORD(15, 15, MPR), ATE_STDF_RECORD(15, 20, FTR),
    ATE_STDF_RECORD(20, 10, BPS), {20, 20, "EPS", nullptr, 0},  ATE_STDF_RECORD(50, 10, GDR),
    ATE_STDF_RECORD(50, 30, DTR),
};

#undef ATE_STDF_RECORD

const RecordLayout* findLayout(std::uint8_t type, std::uint8_t sub) {
  for (const RecordLayout& layout : RECORDS) {
    if (layout.type == type && layout.sub == sub) return &layout;
  }
  return nullptr;
}

std::string offsetText(std::uint64_t offset) { return "byte " + std::to_string(offset); }

// Reads fixed-size values from a record's data, bounded by its end.
class FieldCursor {
 public:
  FieldCursor(const std::uint8_t* data, std::size_t size, ByteOrder order)
      : data_(data), size_(size), order_(order) {}

  std::size_t position() const { return pos_; }
  bool atEnd() const { return pos_ == size_; }
  bool has(std::size_t n) const { return size_ - pos_ >= n; }

  // Callers check has(n) first.
  std::uint64_t unsignedOf(std::size_t n) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t at = order_ == ByteOrder::BIG ? k : n - 1 - k;
      value = (value << 8) | data_[pos_ + at];
    }
    pos_ += n;
    return value;
  }
  std::int64_t signedOf(std::size_t n) {
    const std::uint64_t raw = unsignedOf(n);
    const std::uint64_t sign = std::uint64_t{1} << (8 * n - 1);
    return static_cast<std::int64_t>(raw ^ sign) - static_cast<std::int64_t>(sign);
  }
  double r4() {
    const auto bits = static_cast<std::uint32_t>(unsignedOf(4));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  double r8() {
    const std::uint64_t bits = unsignedOf(8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  void bytes(std::size_t n, std::string& out) {
    out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  ByteOrder order_;
};

std::size_t fixedSize(FieldType type) {
  switch (type) {
    case T::U1:
    case T::I1:
    case T::C1:
    case T::B1:
    case T::N1:
      return 1;
    case T::U2:
    case T::I2:
      return 2;
    case T::U4:
    case T::I4:
    case T::R4:
      return 4;
    case T::R8:
      return 8;
    default:
      return 0;
  }
}

// An empty field of that type, its buffers kept for reuse.
void clear(Field& field, FieldType type) {
  field.type = type;
  field.u = 0;
  field.i = 0;
  field.r = 0;
  field.text.clear();
  field.numbers.clear();
  field.texts.clear();
}

// Decodes one value of a scalar or variable-length type. False when it runs past the record.
bool decodeValue(FieldCursor& in, FieldType type, Field& field) {
  clear(field, type);
  const std::size_t size = fixedSize(type);
  if (size > 0 && !in.has(size)) return false;
  switch (type) {
    case T::U1:
    case T::U2:
    case T::U4:
    case T::B1:
      field.u = in.unsignedOf(size);
      return true;
    case T::N1:
      field.u = in.unsignedOf(1) & 0x0f;
      return true;
    case T::I1:
    case T::I2:
    case T::I4:
      field.i = in.signedOf(size);
      return true;
    case T::R4:
      field.r = in.r4();
      return true;
    case T::R8:
      field.r = in.r8();
      return true;
    case T::C1:
      in.bytes(1, field.text);
      return true;
    case T::CN:
    case T::BN: {
      if (!in.has(1)) return false;
      const std::size_t n = in.unsignedOf(1);
      if (!in.has(n)) return false;
      in.bytes(n, field.text);
      return true;
    }
    case T::DN: {
      if (!in.has(2)) return false;
      field.u = in.unsignedOf(2);
      const std::size_t n = (field.u + 7) / 8;
      if (!in.has(n)) return false;
      in.bytes(n, field.text);
      return true;
    }
    default:
      return false;
  }
}

bool decodeArray(FieldCursor& in, FieldType type, std::size_t count, Field& field) {
  clear(field, type);
  if (type == T::N1_ARRAY) {
    const std::size_t bytes = (count + 1) / 2;
    if (!in.has(bytes)) return false;
    field.numbers.reserve(count);
    for (std::size_t k = 0; k < count; k += 2) {
      const std::uint64_t byte = in.unsignedOf(1);
      field.numbers.push_back(static_cast<double>(byte & 0x0f));
      if (k + 1 < count) field.numbers.push_back(static_cast<double>(byte >> 4));
    }
    return true;
  }
  if (type == T::CN_ARRAY) {
    Field item;
    for (std::size_t k = 0; k < count; ++k) {
      if (!decodeValue(in, T::CN, item)) return false;
      field.texts.push_back(std::move(item.text));
    }
    field.type = type;
    return true;
  }
  const FieldType element = type == T::U1_ARRAY ? T::U1 : type == T::U2_ARRAY ? T::U2 : T::R4;
  if (!in.has(count * fixedSize(element))) return false;
  field.numbers.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    field.numbers.push_back(
        element == T::R4 ? in.r4() : static_cast<double>(in.unsignedOf(fixedSize(element))));
  }
  return true;
}

// GDR's GEN_DATA type codes.
bool genDataType(std::uint64_t code, FieldType& type) {
  static const FieldType TYPES[] = {T::U1, T::U1, T::U2, T::U4, T::I1, T::I2, T::I4,
                                    T::R4, T::R8, T::U1, T::CN, T::BN, T::DN, T::N1};
  if (code >= std::size(TYPES) || code == 0 || code == 9) return false;
  type = TYPES[code];
  return true;
}

void appendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7e) {
      static const char HEX[] = "0123456789abcdef";
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0x0f];
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendHex(std::string& out, std::string_view bytes) {
  static const char HEX[] = "0123456789abcdef";
  out += "0x";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0f];
  }
}

void appendReal(std::string& out, double value, bool single) {
  char text[64];
  const auto result = single ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
                             : std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

}  // namespace

const char* typeName(FieldType type) {
  static const char* const NAMES[] = {"U1",   "U2",   "U4",   "I1",   "I2",  "I4", "R4",
                                      "R8",   "C1",   "B1",   "Cn",   "Bn",  "Dn", "N1",
                                      "kxU1", "kxU2", "kxR4", "kxCn", "kxN1"};
  return NAMES[static_cast<int>(type)];
}

const Field* Record::find(std::string_view fieldName) const {
  for (const Field& f : fields) {
    if (f.name == fieldName) return &f;
  }
  return nullptr;
}

namespace {

// The record's field of that name when it is of one of the kinds, else null.
const Field* ofKind(const Record& record, std::string_view fieldName,
                    std::initializer_list<FieldType> kinds) {
  const Field* f = record.find(fieldName);
  return f != nullptr && std::find(kinds.begin(), kinds.end(), f->type) != kinds.end() ? f
                                                                                       : nullptr;
}

}  // namespace

std::uint64_t Record::unsignedValue(std::string_view fieldName, std::uint64_t fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::U1, T::U2, T::U4, T::B1, T::N1});
  return f != nullptr ? f->u : fallback;
}

std::int64_t Record::signedValue(std::string_view fieldName, std::int64_t fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::I1, T::I2, T::I4});
  return f != nullptr ? f->i : fallback;
}

double Record::realValue(std::string_view fieldName, double fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::R4, T::R8});
  return f != nullptr ? f->r : fallback;
}

std::string_view Record::textValue(std::string_view fieldName) const {
  const Field* f = ofKind(*this, fieldName, {T::CN, T::C1});
  return f != nullptr ? std::string_view(f->text) : std::string_view();
}

bool decodeRecord(const std::uint8_t* data, ByteOrder order, Record& record, ReadError& error) {
  const RecordLayout* layout = findLayout(record.type, record.sub);
  if (layout == nullptr) {
    record.name = "UNKNOWN";
    record.fields.clear();
    return true;
  }
  record.name = layout->name;
  FieldCursor in(data, record.length, order);
  std::size_t used = 0;
  auto fieldAt = [&](std::string_view name) -> Field& {
    if (record.fields.size() <= used) record.fields.emplace_back();
    Field& f = record.fields[used++];
    f.name = name;
    return f;
  };
  auto overrun = [&](const char* name, std::size_t at) {
    record.fields.resize(used > 0 ? used - 1 : 0);
    error.kind = ErrorKind::MALFORMED;
    error.offset = record.offset + 4 + at;
    error.message = offsetText(error.offset) + ": field " + name + " of the " + layout->name +
                    " record at byte " + std::to_string(record.offset) +
                    " runs past the end of the record (" + std::to_string(record.length) +
                    " bytes)";
    return false;
  };
  for (std::size_t k = 0; k < layout->count && !in.atEnd(); ++k) {
    const FieldLayout& fs = layout->fields[k];
    const std::size_t at = in.position();
    if (fs.count == GEN_DATA) {
      const std::uint64_t items = record.fields[0].u;
      for (std::uint64_t n = 0; n < items; ++n) {
        const std::size_t itemAt = in.position();
        if (!in.has(1)) {
          record.fields.resize(used);
          error.kind = ErrorKind::MALFORMED;
          error.offset = record.offset + 4 + itemAt;
          error.message = offsetText(error.offset) + ": GEN_DATA of the GDR record at byte " +
                          std::to_string(record.offset) + " holds fewer than its " +
                          std::to_string(items) + " items";
          return false;
        }
        const std::uint64_t code = in.unsignedOf(1);
        if (code == 0) continue;  // a pad byte, for alignment
        FieldType type;
        if (!genDataType(code, type)) {
          record.fields.resize(used);
          error.kind = ErrorKind::MALFORMED;
          error.offset = record.offset + 4 + itemAt;
          error.message = offsetText(error.offset) + ": unknown GEN_DATA type code " +
                          std::to_string(code) + " in the GDR record at byte " +
                          std::to_string(record.offset);
          return false;
        }
        if (!decodeValue(in, type, fieldAt(fs.name))) return overrun(fs.name, itemAt);
      }
      continue;
    }
    Field& f = fieldAt(fs.name);
    const bool ok = fs.count >= 0 ? decodeArray(in, fs.type, record.fields[fs.count].u, f)
                                  : decodeValue(in, fs.type, f);
    if (!ok) return overrun(fs.name, at);
  }
  record.fields.resize(used);
  return true;
}

StdfReader::StdfReader(const void* data, std::size_t size)
    : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

StdfReader::StdfReader(std::istream& in) : in_(&in) {}

StdfReader::StdfReader(const void* data, std::size_t size, ByteOrder order,
                       std::uint64_t fileOffset)
    : data_(static_cast<const std::uint8_t*>(data)),
      size_(size),
      offset_(fileOffset),
      order_(order),
      needFar_(false) {}

bool StdfReader::fetch(std::size_t n, const std::uint8_t*& out, std::size_t& got) {
  if (in_ == nullptr) {
    got = std::min(n, size_ - pos_);
    out = data_ + pos_;
    pos_ += got;
    return got == n;
  }
  buffer_.resize(std::max<std::size_t>(n, 1));
  in_->read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(n));
  got = static_cast<std::size_t>(in_->gcount());
  out = buffer_.data();
  return got == n;
}

bool StdfReader::fail(ErrorKind kind, std::uint64_t offset, std::string message) {
  failed_ = true;
  error_.kind = kind;
  error_.offset = offset;
  error_.message = std::move(message);
  return false;
}

bool StdfReader::next(Record& record) {
  if (failed_) return false;
  const std::uint64_t start = offset_;
  const std::uint8_t* header = nullptr;
  std::size_t got = 0;
  if (!fetch(4, header, got)) {
    if (got == 0 && !needFar_) return false;  // a clean end
    if (got == 0)
      return fail(ErrorKind::NOT_STDF, start,
                  offsetText(start) + ": no FAR record first: the file is empty");
    return fail(ErrorKind::TRUNCATED, start,
                offsetText(start) + ": the file ends inside a record header (" +
                    std::to_string(got) + " of its 4 bytes)");
  }
  std::uint8_t head[4];
  std::memcpy(head, header, 4);
  if (needFar_) {
    if (head[2] != 0 || head[3] != 10) {
      return fail(ErrorKind::NOT_STDF, start,
                  offsetText(start) + ": no FAR record first: not an STDF file");
    }
  }
  // FAR's length is read in its own byte order: its first data byte says which that is, so it
  // is checked once the data is in.
  const auto length = static_cast<std::uint16_t>(
      order_ == ByteOrder::BIG ? (head[0] << 8) | head[1] : (head[1] << 8) | head[0]);
  std::size_t farLength = length;
  if (needFar_) farLength = std::max<std::size_t>(std::max(head[0], head[1]), 2);
  const std::size_t dataLength = needFar_ ? farLength : length;
  const std::uint8_t* data = nullptr;
  const RecordLayout* layout = findLayout(head[2], head[3]);
  const char* name = layout != nullptr ? layout->name : "UNKNOWN";
  if (!fetch(dataLength, data, got)) {
    return fail(ErrorKind::TRUNCATED, start,
                offsetText(start) + ": " + name + " record of " + std::to_string(dataLength) +
                    " bytes runs past the end of the file (" + std::to_string(got) +
                    " of them there)");
  }
  if (needFar_) {
    const std::uint8_t cpu = data[0];
    if (cpu != 1 && cpu != 2) {
      return fail(ErrorKind::NOT_STDF, start + 4,
                  offsetText(start + 4) + ": FAR CPU_TYPE " + std::to_string(cpu) +
                      " is not one this reader reads (1 = big-endian, 2 = little-endian)");
    }
    order_ = cpu == 1 ? ByteOrder::BIG : ByteOrder::LITTLE;
    const auto declared = static_cast<std::size_t>(
        order_ == ByteOrder::BIG ? (head[0] << 8) | head[1] : (head[1] << 8) | head[0]);
    if (declared != farLength) {
      return fail(ErrorKind::NOT_STDF, start,
                  offsetText(start) + ": FAR record length " + std::to_string(declared) +
                      " does not match its CPU_TYPE's byte order");
    }
    if (data[1] != 4) {
      return fail(ErrorKind::NOT_STDF, start + 5,
                  offsetText(start + 5) + ": STDF_VER " + std::to_string(data[1]) + " is not 4");
    }
    needFar_ = false;
  }
  record.offset = start;
  record.length = static_cast<std::uint16_t>(dataLength);
  record.type = head[2];
  record.sub = head[3];
  ReadError fieldError;
  if (!decodeRecord(data, order_, record, fieldError)) {
    failed_ = true;
    error_ = std::move(fieldError);
    return false;
  }
  offset_ = start + 4 + dataLength;
  return true;
}

std::string formatRecord(const Record& record) {
  std::string out = "@" + std::to_string(record.offset) + " ";
  out += record.name;
  if (record.name == "UNKNOWN") {
    out += " REC_TYP=" + std::to_string(record.type) + " REC_SUB=" + std::to_string(record.sub) +
           " REC_LEN=" + std::to_string(record.length);
    return out;
  }
  for (const Field& f : record.fields) {
    out += ' ';
    out += f.name;
    out += '=';
    switch (f.type) {
      case T::U1:
      case T::U2:
      case T::U4:
      case T::N1:
        out += std::to_string(f.u);
        break;
      case T::I1:
      case T::I2:
      case T::I4:
        out += std::to_string(f.i);
        break;
      case T::B1: {
        static const char HEX[] = "0123456789abcdef";
        out += "0x";
        out += HEX[(f.u >> 4) & 0x0f];
        out += HEX[f.u & 0x0f];
        break;
      }
      case T::R4:
      case T::R8:
        appendReal(out, f.r, f.type == T::R4);
        break;
      case T::C1:
      case T::CN:
        appendEscaped(out, f.text);
        break;
      case T::BN:
        appendHex(out, f.text);
        break;
      case T::DN:
        out += std::to_string(f.u) + ":";
        appendHex(out, f.text);
        break;
      case T::CN_ARRAY:
        out += '[';
        for (std::size_t k = 0; k < f.texts.size(); ++k) {
          if (k > 0) out += ',';
          appendEscaped(out, f.texts[k]);
        }
        out += ']';
        break;
      default:
        out += '[';
        for (std::size_t k = 0; k < f.numbers.size(); ++k) {
          if (k > 0) out += ',';
          appendReal(out, f.numbers[k], f.type == T::R4_ARRAY);
        }
        out += ']';
        break;
    }
  }
  return out;
}

bool isSummaryRecord(const Record& record) {
  return (record.type == 1 &&
          (record.sub == 20 || record.sub == 30 || record.sub == 40 || record.sub == 50)) ||
         (record.type == 10 && record.sub == 30);
}

StdfFollower::Update StdfFollower::update(const std::string& path,
                                          const std::function<void(const Record&)>& onRecord) {
  Update result;
  std::ifstream file(path, std::ios::binary);
  if (file) file.seekg(0, std::ios::end);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
  if (size < 0 || static_cast<std::uint64_t>(size) < offset_) {
    error_.kind = ErrorKind::NOT_STDF;
    error_.offset = offset_;
    error_.message = size < 0 ? "cannot read " + path
                              : offsetText(offset_) + ": " + path +
                                    " is shorter than what was read of it before";
    result.error = &error_;
    return result;
  }
  std::string tail(static_cast<std::size_t>(size - static_cast<std::streamoff>(offset_)), '\0');
  file.seekg(static_cast<std::streamoff>(offset_));
  file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
  tail.resize(static_cast<std::size_t>(file.gcount()));
  return update(std::string_view(tail), onRecord);
}

StdfFollower::Update StdfFollower::update(std::string_view tail,
                                          const std::function<void(const Record&)>& onRecord) {
  Update result;
  StdfReader reader = haveFar_ ? StdfReader(tail.data(), tail.size(), order_, offset_)
                               : StdfReader(tail.data(), tail.size());
  // The records since the last point where no part was open, held back until there is one
  // again. Parts are keyed by head and site.
  std::vector<Record> pending;
  std::vector<std::uint32_t> open;
  Record record;
  while (reader.next(record)) {
    if (!haveFar_) {
      haveFar_ = true;
      order_ = reader.byteOrder();
    }
    if (isSummaryRecord(record)) {
      result.atSummary = true;
      return result;
    }
    const bool part = record.is("PIR") || record.is("PRR");
    if (part) {
      const std::uint32_t key =
          record.fields.size() > 1
              ? static_cast<std::uint32_t>(record.fields[0].u << 8 | record.fields[1].u)
              : 0;
      if (record.is("PIR")) {
        open.push_back(key);
      } else {
        for (std::size_t k = 0; k < open.size(); ++k) {
          if (open[k] == key) {
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
            break;
          }
        }
      }
    }
    pending.push_back(record);
    if (open.empty()) {
      for (const Record& r : pending) onRecord(r);
      result.records += pending.size();
      pending.clear();
      offset_ = reader.offset();
    }
  }
  const ReadError* error = reader.error();
  if (error != nullptr && error->kind != ErrorKind::TRUNCATED) {
    error_ = *error;
    result.error = &error_;
  }
  return result;
}

bool StdfFollower::readSummary(const std::string& path, std::vector<Record>& out) {
  out.clear();
  if (!haveFar_) return true;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(static_cast<std::streamoff>(offset_));
  std::string tail((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  StdfReader reader(tail.data(), tail.size(), order_, offset_);
  Record record;
  while (reader.next(record)) {
    if (isSummaryRecord(record)) out.push_back(record);
  }
  return reader.error() == nullptr || reader.error()->kind == ErrorKind::TRUNCATED;
}

}  // namespace stdf
