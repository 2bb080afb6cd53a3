// The STDF V4 format as this project writes and reads it: record types, the fields of every
// record (their V4 names and types, in order), the positions of the fields that code looks at,
// and the bits of the flag fields. libdatalog writes with it and the reader in stdf/ decodes with
// it, so the two can't disagree on a record's layout. Header only: nothing to link.
#ifndef ATE_STDF_STDFFORMAT_H_
#define ATE_STDF_STDFFORMAT_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace stdf {

// The V4 data types. The ...ARRAY types are the kx arrays, whose length is an earlier field.
// VN is one item of GDR's GEN_DATA; its own type is then in the decoded field's type.
enum class FieldType {
  U1,
  U2,
  U4,
  I1,
  I2,
  I4,
  R4,
  R8,
  C1,
  B1,
  CN,
  BN,
  DN,
  N1,
  U1_ARRAY,
  U2_ARRAY,
  R4_ARRAY,
  CN_ARRAY,
  N1_ARRAY
};

// Record types as (REC_TYP, REC_SUB).
struct RecordType {
  std::uint8_t typ;
  std::uint8_t sub;
};
constexpr bool operator==(RecordType a, RecordType b) { return a.typ == b.typ && a.sub == b.sub; }
constexpr bool operator!=(RecordType a, RecordType b) { return !(a == b); }

inline constexpr RecordType FAR_RECORD{0, 10};
inline constexpr RecordType ATR_RECORD{0, 20};
inline constexpr RecordType MIR_RECORD{1, 10};
inline constexpr RecordType MRR_RECORD{1, 20};
inline constexpr RecordType PCR_RECORD{1, 30};
inline constexpr RecordType HBR_RECORD{1, 40};
inline constexpr RecordType SBR_RECORD{1, 50};
inline constexpr RecordType PMR_RECORD{1, 60};
inline constexpr RecordType PGR_RECORD{1, 62};
inline constexpr RecordType PLR_RECORD{1, 63};
inline constexpr RecordType RDR_RECORD{1, 70};
inline constexpr RecordType SDR_RECORD{1, 80};
inline constexpr RecordType WIR_RECORD{2, 10};
inline constexpr RecordType WRR_RECORD{2, 20};
inline constexpr RecordType WCR_RECORD{2, 30};
inline constexpr RecordType PIR_RECORD{5, 10};
inline constexpr RecordType PRR_RECORD{5, 20};
inline constexpr RecordType TSR_RECORD{10, 30};
inline constexpr RecordType PTR_RECORD{15, 10};
inline constexpr RecordType MPR_RECORD{15, 15};
inline constexpr RecordType FTR_RECORD{15, 20};
inline constexpr RecordType BPS_RECORD{20, 10};
inline constexpr RecordType EPS_RECORD{20, 20};
inline constexpr RecordType GDR_RECORD{50, 10};
inline constexpr RecordType DTR_RECORD{50, 30};

// HEAD_NUM and SITE_NUM of the summary records that cover every head and site.
inline constexpr std::uint8_t ALL_HEADS = 255;
inline constexpr std::uint8_t ALL_SITES = 255;

// A part's head and site as one key, for parts open at once (between PIR and PRR).
constexpr std::uint32_t headSiteKey(std::uint64_t head, std::uint64_t site) {
  return static_cast<std::uint32_t>((head & 0xFF) << 8 | (site & 0xFF));
}

// The fields of every record, in V4 order.
namespace layout {

struct FieldLayout {
  std::string_view name;
  FieldType type;
  int count = -1;  // for the kx arrays: the position of the field holding k
};

// The count of GDR's GEN_DATA, decoded item by item.
inline constexpr int GEN_DATA = -2;

using T = FieldType;

inline constexpr FieldLayout FAR_FIELDS[] = {{"CPU_TYPE", T::U1}, {"STDF_VER", T::U1}};
inline constexpr FieldLayout ATR_FIELDS[] = {{"MOD_TIM", T::U4}, {"CMD_LINE", T::CN}};
inline constexpr FieldLayout MIR_FIELDS[] = {
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
inline constexpr FieldLayout MRR_FIELDS[] = {
    {"FINISH_T", T::U4}, {"DISP_COD", T::C1}, {"USR_DESC", T::CN}, {"EXC_DESC", T::CN}};
inline constexpr FieldLayout PCR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"PART_CNT", T::U4}, {"RTST_CNT", T::U4},
    {"ABRT_CNT", T::U4}, {"GOOD_CNT", T::U4}, {"FUNC_CNT", T::U4}};
inline constexpr FieldLayout HBR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1},
                                             {"HBIN_NUM", T::U2}, {"HBIN_CNT", T::U4},
                                             {"HBIN_PF", T::C1},  {"HBIN_NAM", T::CN}};
inline constexpr FieldLayout SBR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1},
                                             {"SBIN_NUM", T::U2}, {"SBIN_CNT", T::U4},
                                             {"SBIN_PF", T::C1},  {"SBIN_NAM", T::CN}};
inline constexpr FieldLayout PMR_FIELDS[] = {
    {"PMR_INDX", T::U2}, {"CHAN_TYP", T::U2}, {"CHAN_NAM", T::CN}, {"PHY_NAM", T::CN},
    {"LOG_NAM", T::CN},  {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}};
inline constexpr FieldLayout PGR_FIELDS[] = {
    {"GRP_INDX", T::U2}, {"GRP_NAM", T::CN}, {"INDX_CNT", T::U2}, {"PMR_INDX", T::U2_ARRAY, 2}};
inline constexpr FieldLayout PLR_FIELDS[] = {
    {"GRP_CNT", T::U2},           {"GRP_INDX", T::U2_ARRAY, 0}, {"GRP_MODE", T::U2_ARRAY, 0},
    {"GRP_RADX", T::U1_ARRAY, 0}, {"PGM_CHAR", T::CN_ARRAY, 0}, {"RTN_CHAR", T::CN_ARRAY, 0},
    {"PGM_CHAL", T::CN_ARRAY, 0}, {"RTN_CHAL", T::CN_ARRAY, 0}};
inline constexpr FieldLayout RDR_FIELDS[] = {{"NUM_BINS", T::U2}, {"RTST_BIN", T::U2_ARRAY, 0}};
inline constexpr FieldLayout SDR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"SITE_CNT", T::U1}, {"SITE_NUM", T::U1_ARRAY, 2},
    {"HAND_TYP", T::CN}, {"HAND_ID", T::CN},  {"CARD_TYP", T::CN}, {"CARD_ID", T::CN},
    {"LOAD_TYP", T::CN}, {"LOAD_ID", T::CN},  {"DIB_TYP", T::CN},  {"DIB_ID", T::CN},
    {"CABL_TYP", T::CN}, {"CABL_ID", T::CN},  {"CONT_TYP", T::CN}, {"CONT_ID", T::CN},
    {"LASR_TYP", T::CN}, {"LASR_ID", T::CN},  {"EXTR_TYP", T::CN}, {"EXTR_ID", T::CN}};
inline constexpr FieldLayout WIR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"START_T", T::U4}, {"WAFER_ID", T::CN}};
inline constexpr FieldLayout WRR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_GRP", T::U1}, {"FINISH_T", T::U4}, {"PART_CNT", T::U4},
    {"RTST_CNT", T::U4}, {"ABRT_CNT", T::U4}, {"GOOD_CNT", T::U4}, {"FUNC_CNT", T::U4},
    {"WAFER_ID", T::CN}, {"FABWF_ID", T::CN}, {"FRAME_ID", T::CN}, {"MASK_ID", T::CN},
    {"USR_DESC", T::CN}, {"EXC_DESC", T::CN}};
inline constexpr FieldLayout WCR_FIELDS[] = {
    {"WAFR_SIZ", T::R4}, {"DIE_HT", T::R4},  {"DIE_WID", T::R4},
    {"WF_UNITS", T::U1}, {"WF_FLAT", T::C1}, {"CENTER_X", T::I2},
    {"CENTER_Y", T::I2}, {"POS_X", T::C1},   {"POS_Y", T::C1}};
inline constexpr FieldLayout PIR_FIELDS[] = {{"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}};
inline constexpr FieldLayout PRR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"PART_FLG", T::B1}, {"NUM_TEST", T::U2},
    {"HARD_BIN", T::U2}, {"SOFT_BIN", T::U2}, {"X_COORD", T::I2},  {"Y_COORD", T::I2},
    {"TEST_T", T::U4},   {"PART_ID", T::CN},  {"PART_TXT", T::CN}, {"PART_FIX", T::BN}};
inline constexpr FieldLayout TSR_FIELDS[] = {
    {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"TEST_TYP", T::C1}, {"TEST_NUM", T::U4},
    {"EXEC_CNT", T::U4}, {"FAIL_CNT", T::U4}, {"ALRM_CNT", T::U4}, {"TEST_NAM", T::CN},
    {"SEQ_NAME", T::CN}, {"TEST_LBL", T::CN}, {"OPT_FLAG", T::B1}, {"TEST_TIM", T::R4},
    {"TEST_MIN", T::R4}, {"TEST_MAX", T::R4}, {"TST_SUMS", T::R4}, {"TST_SQRS", T::R4}};
inline constexpr FieldLayout PTR_FIELDS[] = {
    {"TEST_NUM", T::U4}, {"HEAD_NUM", T::U1}, {"SITE_NUM", T::U1}, {"TEST_FLG", T::B1},
    {"PARM_FLG", T::B1}, {"RESULT", T::R4},   {"TEST_TXT", T::CN}, {"ALARM_ID", T::CN},
    {"OPT_FLAG", T::B1}, {"RES_SCAL", T::I1}, {"LLM_SCAL", T::I1}, {"HLM_SCAL", T::I1},
    {"LO_LIMIT", T::R4}, {"HI_LIMIT", T::R4}, {"UNITS", T::CN},    {"C_RESFMT", T::CN},
    {"C_LLMFMT", T::CN}, {"C_HLMFMT", T::CN}, {"LO_SPEC", T::R4},  {"HI_SPEC", T::R4}};
inline constexpr FieldLayout MPR_FIELDS[] = {
    {"TEST_NUM", T::U4}, {"HEAD_NUM", T::U1},          {"SITE_NUM", T::U1},
    {"TEST_FLG", T::B1}, {"PARM_FLG", T::B1},          {"RTN_ICNT", T::U2},
    {"RSLT_CNT", T::U2}, {"RTN_STAT", T::N1_ARRAY, 5}, {"RTN_RSLT", T::R4_ARRAY, 6},
    {"TEST_TXT", T::CN}, {"ALARM_ID", T::CN},          {"OPT_FLAG", T::B1},
    {"RES_SCAL", T::I1}, {"LLM_SCAL", T::I1},          {"HLM_SCAL", T::I1},
    {"LO_LIMIT", T::R4}, {"HI_LIMIT", T::R4},          {"START_IN", T::R4},
    {"INCR_IN", T::R4},  {"RTN_INDX", T::U2_ARRAY, 5}, {"UNITS", T::CN},
    {"UNITS_IN", T::CN}, {"C_RESFMT", T::CN},          {"C_LLMFMT", T::CN},
    {"C_HLMFMT", T::CN}, {"LO_SPEC", T::R4},           {"HI_SPEC", T::R4}};
inline constexpr FieldLayout FTR_FIELDS[] = {
    {"TEST_NUM", T::U4},           {"HEAD_NUM", T::U1},
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
inline constexpr FieldLayout BPS_FIELDS[] = {{"SEQ_NAME", T::CN}};
inline constexpr FieldLayout GDR_FIELDS[] = {{"FLD_CNT", T::U2}, {"GEN_DATA", T::U1, GEN_DATA}};
inline constexpr FieldLayout DTR_FIELDS[] = {{"TEXT_DAT", T::CN}};

}  // namespace layout

// Positions of the fields that code reads or writes by position, in the records that have them.
// A field at position k of a decoded record is present when fields.size() > k.
namespace field {
enum Far { FAR_CPU_TYPE, FAR_STDF_VER };
enum Mir {
  MIR_SETUP_T,
  MIR_START_T,
  MIR_STAT_NUM,
  MIR_MODE_COD,
  MIR_RTST_COD,
  MIR_PROT_COD,
  MIR_BURN_TIM,
  MIR_CMOD_COD,
  MIR_LOT_ID,
  MIR_PART_TYP,
  MIR_NODE_NAM,
  MIR_TSTR_TYP,
  MIR_JOB_NAM,
  MIR_JOB_REV,
  MIR_SBLOT_ID,
  MIR_OPER_NAM,
  MIR_EXEC_TYP,
  MIR_EXEC_VER,
  MIR_TEST_COD,
  MIR_TST_TEMP,
  MIR_USER_TXT,
  MIR_SUPR_NAM = MIR_USER_TXT + 17
};
enum Sdr { SDR_HEAD_NUM, SDR_SITE_GRP, SDR_SITE_CNT, SDR_SITE_NUM, SDR_HAND_TYP, SDR_EXTR_ID = 19 };
enum Pir { PIR_HEAD_NUM, PIR_SITE_NUM };
enum Wir { WIR_HEAD_NUM, WIR_SITE_GRP, WIR_START_T, WIR_WAFER_ID };
enum Wrr {
  WRR_HEAD_NUM,
  WRR_SITE_GRP,
  WRR_FINISH_T,
  WRR_PART_CNT,
  WRR_RTST_CNT,
  WRR_ABRT_CNT,
  WRR_GOOD_CNT,
  WRR_FUNC_CNT,
  WRR_WAFER_ID,
  WRR_FABWF_ID,
  WRR_EXC_DESC = 13
};
enum Prr {
  PRR_HEAD_NUM,
  PRR_SITE_NUM,
  PRR_PART_FLG,
  PRR_NUM_TEST,
  PRR_HARD_BIN,
  PRR_SOFT_BIN,
  PRR_X_COORD,
  PRR_Y_COORD,
  PRR_TEST_T,
  PRR_PART_ID,
  PRR_PART_TXT,
  PRR_PART_FIX
};
// PTR, MPR and FTR start alike.
enum Test { TEST_NUM, TEST_HEAD_NUM, TEST_SITE_NUM, TEST_FLG };
enum Ptr {
  PTR_PARM_FLG = 4,
  PTR_RESULT,
  PTR_TEST_TXT,
  PTR_ALARM_ID,
  PTR_OPT_FLAG,
  PTR_RES_SCAL,
  PTR_LLM_SCAL,
  PTR_HLM_SCAL,
  PTR_LO_LIMIT,
  PTR_HI_LIMIT,
  PTR_UNITS
};
enum Ftr { FTR_OPT_FLAG = 4, FTR_TEST_TXT = 22 };
enum Mpr { MPR_TEST_TXT = 9 };
enum Tsr { TSR_OPT_FLAG = 10 };
// HBR and SBR alike.
enum Bin { BIN_HEAD_NUM, BIN_SITE_NUM, BIN_NUM, BIN_CNT, BIN_PF, BIN_NAM };
}  // namespace field

// The bits of the flag fields.
namespace flag {
// PRR PART_FLG
constexpr std::uint64_t PART_RETEST_OF_ID = 0x01;  // supersedes an earlier part of its PART_ID
constexpr std::uint64_t PART_RETEST_OF_XY = 0x02;  // supersedes an earlier part at its X,Y
constexpr std::uint64_t PART_ABNORMAL_END = 0x04;
constexpr std::uint64_t PART_FAILED = 0x08;
constexpr std::uint64_t PART_NO_PASS_FAIL = 0x10;
// Any of these and the part is not a good one.
constexpr std::uint64_t PART_NOT_GOOD = PART_ABNORMAL_END | PART_FAILED | PART_NO_PASS_FAIL;
// PTR, FTR and MPR TEST_FLG
constexpr std::uint64_t TEST_RESULT_INVALID = 0x02;
constexpr std::uint64_t TEST_NOT_EXECUTED = 0x10;
constexpr std::uint64_t TEST_NO_PASS_FAIL = 0x40;
constexpr std::uint64_t TEST_FAILED = 0x80;
// PTR and MPR PARM_FLG
constexpr std::uint64_t PARM_ABOVE_HIGH = 0x08;
constexpr std::uint64_t PARM_BELOW_LOW = 0x10;
constexpr std::uint64_t PARM_LOW_EQUAL_PASSES = 0x40;
constexpr std::uint64_t PARM_HIGH_EQUAL_PASSES = 0x80;
// PTR OPT_FLAG
constexpr std::uint64_t OPT_RESERVED = 0x02;  // always set
constexpr std::uint64_t OPT_NO_LOW_SPEC = 0x04;
constexpr std::uint64_t OPT_NO_HIGH_SPEC = 0x08;
constexpr std::uint64_t OPT_LOW_LIMIT_DEFAULT = 0x10;
constexpr std::uint64_t OPT_HIGH_LIMIT_DEFAULT = 0x20;
constexpr std::uint64_t OPT_NO_LOW_LIMIT = 0x40;
constexpr std::uint64_t OPT_NO_HIGH_LIMIT = 0x80;
// FTR OPT_FLAG: every optional datum absent (bits 0 to 5), reserved bits 6 and 7 set.
constexpr std::uint64_t FTR_OPT_NONE = 0xFF;
// TSR OPT_FLAG
constexpr std::uint64_t TSR_NO_MIN = 0x01;
constexpr std::uint64_t TSR_NO_MAX = 0x02;
constexpr std::uint64_t TSR_NO_TIME = 0x04;
constexpr std::uint64_t TSR_RESERVED = 0xC8;  // bits 3, 6 and 7, always set
constexpr std::uint64_t TSR_NO_SUMS = 0x10;
constexpr std::uint64_t TSR_NO_SQUARES = 0x20;
}  // namespace flag

// The positions above name the fields of the tables.
namespace layout {

template <std::size_t N>
constexpr bool isField(const FieldLayout (&fields)[N], std::size_t at, std::string_view name) {
  return at < N && fields[at].name == name;
}

// The bytes of the fields before position `at`, when all of them have a fixed size; 0 else.
template <std::size_t N>
constexpr std::size_t fixedBytesBefore(const FieldLayout (&fields)[N], std::size_t at) {
  std::size_t bytes = 0;
  for (std::size_t k = 0; k < at && k < N; ++k) {
    switch (fields[k].type) {
      case T::U1:
      case T::I1:
      case T::C1:
      case T::B1:
      case T::N1:
        bytes += 1;
        break;
      case T::U2:
      case T::I2:
        bytes += 2;
        break;
      case T::U4:
      case T::I4:
      case T::R4:
        bytes += 4;
        break;
      case T::R8:
        bytes += 8;
        break;
      default:
        return 0;
    }
  }
  return bytes;
}

static_assert(isField(FAR_FIELDS, field::FAR_CPU_TYPE, "CPU_TYPE"));
static_assert(isField(WIR_FIELDS, field::WIR_WAFER_ID, "WAFER_ID"));
static_assert(isField(WRR_FIELDS, field::WRR_GOOD_CNT, "GOOD_CNT"));
static_assert(isField(WRR_FIELDS, field::WRR_WAFER_ID, "WAFER_ID"));
static_assert(isField(WRR_FIELDS, field::WRR_FABWF_ID, "FABWF_ID"));
static_assert(std::size(WRR_FIELDS) == field::WRR_EXC_DESC + 1);
static_assert(isField(FAR_FIELDS, field::FAR_STDF_VER, "STDF_VER"));
static_assert(isField(MIR_FIELDS, field::MIR_LOT_ID, "LOT_ID"));
static_assert(isField(MIR_FIELDS, field::MIR_NODE_NAM, "NODE_NAM"));
static_assert(isField(MIR_FIELDS, field::MIR_TST_TEMP, "TST_TEMP"));
static_assert(isField(MIR_FIELDS, field::MIR_USER_TXT, "USER_TXT"));
static_assert(isField(MIR_FIELDS, field::MIR_SUPR_NAM, "SUPR_NAM"));
static_assert(std::size(MIR_FIELDS) == field::MIR_SUPR_NAM + 1);
static_assert(isField(SDR_FIELDS, field::SDR_SITE_CNT, "SITE_CNT"));
static_assert(isField(SDR_FIELDS, field::SDR_SITE_NUM, "SITE_NUM"));
static_assert(isField(SDR_FIELDS, field::SDR_HAND_TYP, "HAND_TYP"));
static_assert(isField(SDR_FIELDS, field::SDR_EXTR_ID, "EXTR_ID"));
static_assert(std::size(SDR_FIELDS) == field::SDR_EXTR_ID + 1);
static_assert(isField(PIR_FIELDS, field::PIR_HEAD_NUM, "HEAD_NUM"));
static_assert(isField(PIR_FIELDS, field::PIR_SITE_NUM, "SITE_NUM"));
static_assert(isField(PRR_FIELDS, field::PRR_HEAD_NUM, "HEAD_NUM"));
static_assert(isField(PRR_FIELDS, field::PRR_SITE_NUM, "SITE_NUM"));
static_assert(isField(PRR_FIELDS, field::PRR_PART_FLG, "PART_FLG"));
static_assert(isField(PRR_FIELDS, field::PRR_NUM_TEST, "NUM_TEST"));
static_assert(isField(PRR_FIELDS, field::PRR_HARD_BIN, "HARD_BIN"));
static_assert(isField(PRR_FIELDS, field::PRR_SOFT_BIN, "SOFT_BIN"));
static_assert(isField(PRR_FIELDS, field::PRR_X_COORD, "X_COORD"));
static_assert(isField(PRR_FIELDS, field::PRR_Y_COORD, "Y_COORD"));
static_assert(isField(PRR_FIELDS, field::PRR_TEST_T, "TEST_T"));
static_assert(isField(PRR_FIELDS, field::PRR_PART_ID, "PART_ID"));
static_assert(isField(PRR_FIELDS, field::PRR_PART_TXT, "PART_TXT"));
static_assert(isField(PRR_FIELDS, field::PRR_PART_FIX, "PART_FIX"));
static_assert(std::size(PRR_FIELDS) == field::PRR_PART_FIX + 1);
// PTR, MPR and FTR start alike.
template <std::size_t N>
constexpr bool startsLikeATest(const FieldLayout (&fields)[N]) {
  return isField(fields, field::TEST_NUM, "TEST_NUM") &&
         isField(fields, field::TEST_HEAD_NUM, "HEAD_NUM") &&
         isField(fields, field::TEST_SITE_NUM, "SITE_NUM") &&
         isField(fields, field::TEST_FLG, "TEST_FLG");
}
static_assert(startsLikeATest(PTR_FIELDS));
static_assert(startsLikeATest(MPR_FIELDS));
static_assert(startsLikeATest(FTR_FIELDS));
static_assert(isField(PTR_FIELDS, field::PTR_PARM_FLG, "PARM_FLG"));
static_assert(isField(PTR_FIELDS, field::PTR_RESULT, "RESULT"));
static_assert(isField(PTR_FIELDS, field::PTR_TEST_TXT, "TEST_TXT"));
static_assert(isField(PTR_FIELDS, field::PTR_ALARM_ID, "ALARM_ID"));
static_assert(isField(PTR_FIELDS, field::PTR_OPT_FLAG, "OPT_FLAG"));
static_assert(isField(PTR_FIELDS, field::PTR_RES_SCAL, "RES_SCAL"));
static_assert(isField(PTR_FIELDS, field::PTR_LLM_SCAL, "LLM_SCAL"));
static_assert(isField(PTR_FIELDS, field::PTR_HLM_SCAL, "HLM_SCAL"));
static_assert(isField(PTR_FIELDS, field::PTR_LO_LIMIT, "LO_LIMIT"));
static_assert(isField(PTR_FIELDS, field::PTR_HI_LIMIT, "HI_LIMIT"));
static_assert(isField(PTR_FIELDS, field::PTR_UNITS, "UNITS"));
static_assert(isField(FTR_FIELDS, field::FTR_OPT_FLAG, "OPT_FLAG"));
static_assert(isField(FTR_FIELDS, field::FTR_TEST_TXT, "TEST_TXT"));
static_assert(isField(MPR_FIELDS, field::MPR_TEST_TXT, "TEST_TXT"));
static_assert(isField(TSR_FIELDS, field::TSR_OPT_FLAG, "OPT_FLAG"));
template <std::size_t N>
constexpr bool isBinRecord(const FieldLayout (&fields)[N], char kind) {
  const char num[] = {kind, 'B', 'I', 'N', '_', 'N', 'U', 'M', '\0'};
  const char cnt[] = {kind, 'B', 'I', 'N', '_', 'C', 'N', 'T', '\0'};
  const char pf[] = {kind, 'B', 'I', 'N', '_', 'P', 'F', '\0'};
  const char nam[] = {kind, 'B', 'I', 'N', '_', 'N', 'A', 'M', '\0'};
  return N == field::BIN_NAM + 1 && isField(fields, field::BIN_HEAD_NUM, "HEAD_NUM") &&
         isField(fields, field::BIN_SITE_NUM, "SITE_NUM") && isField(fields, field::BIN_NUM, num) &&
         isField(fields, field::BIN_CNT, cnt) && isField(fields, field::BIN_PF, pf) &&
         isField(fields, field::BIN_NAM, nam);
}
static_assert(isBinRecord(HBR_FIELDS, 'H'));
static_assert(isBinRecord(SBR_FIELDS, 'S'));

}  // namespace layout

}  // namespace stdf

#endif  // ATE_STDF_STDFFORMAT_H_
