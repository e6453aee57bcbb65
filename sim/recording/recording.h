// A recording of a program's traffic with /dev/mfp_pvgen: what each open, ioctl and close on
// the device was given and answered. The file layout is described in docs/recording.md; this
// header holds its constants, the in-memory record and the descriptions of the two blocks'
// fields that the reader, the writer, the text form and replay share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pvgen_sim.h"

namespace pvgen_rec {

// ---- file layout ------------------------------------------------------------------------

inline constexpr char kMagic[8] = {'P', 'V', 'G', 'E', 'N', 'R', 'E', 'C'};
inline constexpr uint16_t kVersion = 1;
inline constexpr uint32_t kFileHeaderSize = 32;
inline constexpr uint32_t kCallHeaderSize = 64;
inline constexpr uint32_t kDroppedSize = 32;
inline constexpr size_t kNameSize = 16;  // thread names, NUL-padded (the kernel's limit)

// The byte order of every multi-byte word in a file, named by one byte of its header.
enum class ByteOrder : uint8_t { kLittle = 'L', kBig = 'B' };
ByteOrder native_order();

// File header, as laid out in a file (words in the file's byte order).
struct FileHeaderLayout {
  char magic[8];
  uint8_t byte_order;  // 'L' or 'B'
  uint8_t reserved0;   // 0
  uint16_t version;
  uint32_t header_size;  // kFileHeaderSize
  uint64_t start_ns;     // CLOCK_MONOTONIC when the recording started
  uint32_t pid;
  uint32_t reserved1;  // 0
};
static_assert(sizeof(FileHeaderLayout) == kFileHeaderSize);
static_assert(offsetof(FileHeaderLayout, byte_order) == 8);
static_assert(offsetof(FileHeaderLayout, version) == 10);
static_assert(offsetof(FileHeaderLayout, header_size) == 12);
static_assert(offsetof(FileHeaderLayout, start_ns) == 16);
static_assert(offsetof(FileHeaderLayout, pid) == 24);

// Every record starts with its size and type.
enum RecordType : uint16_t { kCallRecord = 1, kDroppedRecord = 2 };
enum CallKind : uint16_t { kOpen = 1, kIoctl = 2, kClose = 3 };

// A call record's fixed part; the block as given and the block as answered follow it, each
// block_size bytes.
struct CallHeaderLayout {
  uint32_t size;  // kCallHeaderSize + 2 * block_size
  uint16_t type;  // kCallRecord
  uint16_t kind;  // CallKind
  uint64_t start_ns;
  uint64_t end_ns;
  uint32_t tid;
  char thread[kNameSize];
  int32_t fd;        // open: the descriptor returned (-1 on failure)
  uint32_t request;  // ioctl: the request code; open: the flags; close: 0
  int32_t ret;
  int32_t err;  // errno after a call that returned -1, else 0
  uint32_t block_size;
};
static_assert(sizeof(CallHeaderLayout) == kCallHeaderSize);
static_assert(offsetof(CallHeaderLayout, kind) == 6);
static_assert(offsetof(CallHeaderLayout, start_ns) == 8);
static_assert(offsetof(CallHeaderLayout, end_ns) == 16);
static_assert(offsetof(CallHeaderLayout, tid) == 24);
static_assert(offsetof(CallHeaderLayout, thread) == 28);
static_assert(offsetof(CallHeaderLayout, fd) == 44);
static_assert(offsetof(CallHeaderLayout, request) == 48);
static_assert(offsetof(CallHeaderLayout, ret) == 52);
static_assert(offsetof(CallHeaderLayout, err) == 56);
static_assert(offsetof(CallHeaderLayout, block_size) == 60);

struct DroppedLayout {
  uint32_t size;  // kDroppedSize
  uint16_t type;  // kDroppedRecord
  uint16_t reserved0;
  uint64_t time_ns;  // when the writer noticed
  uint64_t count;    // records lost since the previous dropped record
  uint64_t reserved1;
};
static_assert(sizeof(DroppedLayout) == kDroppedSize);
static_assert(offsetof(DroppedLayout, time_ns) == 8);
static_assert(offsetof(DroppedLayout, count) == 16);

inline constexpr uint32_t kCmdSize = sizeof(pvgen_sim_cmd_blk);
inline constexpr uint32_t kWaitSize = sizeof(pvgen_sim_wait_blk);

// The block size a request carries: the four requests' blocks, 0 for any other request.
uint32_t block_size_of(uint32_t request);

// "PAGE_START", "BAND_EXE", "WAIT", "STOP", or nullptr for another code.
const char* request_name(uint32_t request);

// ---- in memory --------------------------------------------------------------------------

union Block {
  pvgen_sim_cmd_blk cmd;
  pvgen_sim_wait_blk wait;
  unsigned char bytes[kCmdSize];
};

struct FileHeader {
  ByteOrder order = ByteOrder::kLittle;
  uint16_t version = kVersion;
  uint64_t start_ns = 0;
  uint32_t pid = 0;
};

// One record, in the host's byte order. Blocks hold block_size meaningful bytes.
struct Record {
  RecordType type = kCallRecord;
  CallKind kind = kOpen;
  uint64_t start_ns = 0;
  uint64_t end_ns = 0;
  uint32_t tid = 0;
  char thread[kNameSize] = {};
  int32_t fd = -1;
  uint32_t request = 0;
  int32_t ret = 0;
  int32_t err = 0;
  uint32_t block_size = 0;
  Block given{};
  Block answered{};
  uint64_t dropped = 0;  // kDroppedRecord: how many; start_ns holds the time
};

std::string thread_name(const Record& r);

// ---- the blocks' fields -----------------------------------------------------------------

// A 32-bit word of a block: its name as the text form and reports show it, its offset, and
// whether it reads as signed. The command block's conv_table (bytes, no byte order) is not
// among them.
struct Field {
  const char* name;
  uint32_t offset;
  bool is_signed;
};

// The fields of the block of this size (kCmdSize or kWaitSize), in layout order; count is
// set to their number. nullptr for any other size.
const Field* fields_of(uint32_t block_size, size_t* count);

inline constexpr uint32_t kConvTableOffset = offsetof(pvgen_sim_cmd_blk, conv_table);
inline constexpr uint32_t kConvTableSize = sizeof(pvgen_sim_cmd_blk::conv_table);

uint32_t word_at(const Block& b, uint32_t offset);
void set_word(Block& b, uint32_t offset, uint32_t value);

}  // namespace pvgen_rec
