// The SPSS system file format: every layout fact that reading and writing share, stated once.
// Readers parse exactly these layouts and writers emit them; neither restates a number here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::sav {

// ---------------------------------------------------------------------------------------------
// File header: 176 bytes at offset 0. Numbers are in the file's byte order, which the layout
// code decides.
inline constexpr size_t kHeaderSize = 176;

struct HeaderField {
  size_t offset;
  size_t width;
};
namespace header {
inline constexpr HeaderField kMagic{0, 4};                 // "$FL2", or "$FL3" for .zsav
inline constexpr HeaderField kProductName{4, 60};          // "@(#) SPSS DATA FILE ..."
inline constexpr HeaderField kLayoutCode{64, 4};           // 2 or 3; decides the byte order
inline constexpr HeaderField kNominalCaseSize{68, 4};      // slots in one case row
inline constexpr HeaderField kCompression{72, 4};          // 0, 1 or 2 (Compression)
inline constexpr HeaderField kWeightIndex{76, 4};          // 1-based slot of the weight, or 0
inline constexpr HeaderField kCaseCount{80, 4};            // cases; -1 when not recorded
inline constexpr HeaderField kBias{84, 8};                 // binary64 bias of bytecode
inline constexpr HeaderField kCreationDate{92, 9};         // "dd Mmm yy"
inline constexpr HeaderField kCreationTime{101, 8};        // "hh:mm:ss"
inline constexpr HeaderField kFileLabel{109, 64};          // padded with spaces
inline constexpr HeaderField kPadding{173, 3};             // ignored
}  // namespace header

inline constexpr char kMagicSav[4] = {'$', 'F', 'L', '2'};
inline constexpr char kMagicZsav[4] = {'$', 'F', 'L', '3'};
inline constexpr int32_t kLayoutCode = 2;         // what writers store
inline constexpr int32_t kUnknownCaseCount = -1;  // case count not recorded
inline constexpr double kDefaultBias = 100.0;

// ---------------------------------------------------------------------------------------------
// Dictionary record types: each record starts with its 32-bit type.
enum RecordType : int32_t {
  kRecordVariable = 2,        // one per slot: a variable or a string continuation
  kRecordValueLabels = 3,     // value/label pairs, followed by a type 4
  kRecordValueLabelVars = 4,  // the variables the preceding type 3 labels
  kRecordDocument = 6,        // document lines of 80 bytes
  kRecordExtension = 7,       // subtype, element size, element count, body
  kRecordTermination = 999,   // end of the dictionary; a filler int32 follows
};

// Extension (type 7) subtypes.
enum ExtensionSubtype : int32_t {
  kExtMachineIntegers = 3,      // integer machine info: version, character code
  kExtMachineFloats = 4,        // float machine info: sysmis, highest, lowest
  kExtMrSets = 7,               // multiple-response sets
  kExtDisplayParams = 11,       // measure, width, alignment per variable
  kExtLongNames = 13,           // SHORT=Long name pairs
  kExtVeryLongStrings = 14,     // SHORT=width pairs of strings wider than 255
  kExtExtendedCaseCount = 16,   // 64-bit case count
  kExtDataFileAttributes = 17,  // file attributes
  kExtVariableAttributes = 18,  // per-variable attributes (and $@Role)
  kExtMrSetsV2 = 19,            // multiple-response sets with label sources
  kExtEncodingName = 20,        // the character encoding's name
  kExtLongStringLabels = 21,    // value labels of strings wider than 8 bytes
  kExtLongStringMissing = 22,   // missing values of strings wider than 8 bytes
};

// A variable record's type field: 0 numeric, 1..255 string width, -1 continuation slot.
inline constexpr int32_t kContinuationType = -1;
inline constexpr size_t kShortNameBytes = 8;    // name field of a variable record
inline constexpr size_t kDocumentLineBytes = 80;
inline constexpr size_t kMaxValueLabelBytes = 120;  // label stored in a type 3 record
inline constexpr int32_t kMaxValueLabels = 0x7FFFFFFF / 8;

// ---------------------------------------------------------------------------------------------
// Case data: a case row is a run of 8-byte slots. Numbers are binary64; strings fill slots
// left to right, padded with spaces.
inline constexpr size_t kSlotBytes = 8;
// Bits of the system-missing value (the lowest finite binary64) and of a blank slot.
inline constexpr uint64_t kSysmisBits = 0xFFEFFFFFFFFFFFFFull;
inline constexpr uint64_t kBlankBits = 0x2020202020202020ull;
inline constexpr uint64_t kHighestBits = 0x7FEFFFFFFFFFFFFFull;  // HIGHEST: largest binary64
inline constexpr uint64_t kLowestBits = 0xFFEFFFFFFFFFFFFEull;   // LOWEST: next above sysmis

inline constexpr size_t slots_for_bytes(size_t bytes) { return (bytes + kSlotBytes - 1) / kSlotBytes; }

// Bytecode compression: 8-byte command blocks of eight codes each, every block followed by the
// raw 8-byte values of its codes 253, in code order.
enum BytecodeCode : uint8_t {
  kCodePadding = 0,      // no slot
  kCodeFirstSmall = 1,   // 1..251: numeric slot holding code - bias
  kCodeLastSmall = 251,
  kCodeEnd = 252,        // end of data
  kCodeRaw = 253,        // slot copied from the raw values after the block
  kCodeBlank = 254,      // eight spaces
  kCodeSysmis = 255,     // system-missing
};
inline constexpr size_t kCodesPerBlock = 8;

// ---------------------------------------------------------------------------------------------
// Strings: a variable record holds at most 255 bytes. A very long string (wider than 255) is
// stored as segments, each a string variable of its own: every segment but the last is 255
// bytes wide, takes 32 slots and carries 255 bytes of the value; the last carries the rest.
// SPSS counts the segments as if each carried 252 bytes, so the last may carry nothing.
inline constexpr size_t kMaxShortStringWidth = 255;
// What each segment counts for in the segment count and in the last segment's width (not what
// it carries: a full segment carries kMaxShortStringWidth bytes of the value).
inline constexpr size_t kSegmentDataBytes = 252;
inline constexpr size_t kSegmentSlots = 32;  // slots of a full 255-byte segment
inline constexpr size_t kMaxStringWidth = 32767;

// Segments of a very long string of `width` bytes.
inline constexpr size_t segment_count(size_t width) {
  return width <= kMaxShortStringWidth ? 1 : (width + kSegmentDataBytes - 1) / kSegmentDataBytes;
}

// ---------------------------------------------------------------------------------------------
// .zsav: after the dictionary, a 24-byte zheader (offsets of itself and of the ztrailer, and
// the trailer's length), the zlib blocks of the bytecode stream, then the ztrailer: a 24-byte
// head (bias, zero, block size, block count) and 24 bytes per block.
inline constexpr size_t kZHeaderBytes = 24;
inline constexpr size_t kZTrailerHeadBytes = 24;
inline constexpr size_t kZBlockEntryBytes = 24;
inline constexpr size_t kZBlockSize = 0x3FF000;  // uncompressed bytes per block, as SPSS writes

// ---------------------------------------------------------------------------------------------
// Time: SPSS counts seconds from 1582-10-14 00:00:00, the start of the Gregorian calendar.
inline constexpr int64_t kSecondsPerDay = 86400;
inline constexpr int64_t kEpochDaysBefore1970 = 141428;
inline constexpr int64_t kEpochSecondsBefore1970 = 12219379200;
static_assert(kEpochDaysBefore1970 * kSecondsPerDay == kEpochSecondsBefore1970);

}  // namespace korvel::sav
