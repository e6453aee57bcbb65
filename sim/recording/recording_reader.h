// Reads a recording's bytes in either byte order. Every check names the byte offset where
// the input goes wrong and what is wrong with it; nothing is read past a bad record.
#pragma once

#include <cstddef>
#include <string>

#include "recording.h"

namespace pvgen_rec {

class Reader {
 public:
  // Checks the file header of data[0, size); false with error() set when it is wrong. The
  // data must stay alive and unchanged while the reader is used.
  bool open(const unsigned char* data, size_t size);

  const FileHeader& header() const { return header_; }

  // Reads the record at offset(): 1 when one was read, 0 at the end of the data, -1 on bad
  // input (error() says where and why; later calls return -1 again).
  int next(Record& out);

  // Goes to a record boundary found by an earlier pass (for reading a record again).
  void seek(size_t offset, size_t records) {
    offset_ = offset;
    records_ = records;
  }

  // Byte offset of the next record, and the number of records read so far.
  size_t offset() const { return offset_; }
  size_t records() const { return records_; }

  const std::string& error() const { return error_; }

 private:
  bool fail(size_t at, const std::string& what);
  uint16_t u16(size_t at) const;
  uint32_t u32(size_t at) const;
  uint64_t u64(size_t at) const;
  void block(size_t at, uint32_t size, Block& out) const;

  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t offset_ = 0;
  size_t records_ = 0;
  bool big_ = false;
  bool failed_ = false;
  FileHeader header_;
  std::string error_;
};

// Reads a whole file into bytes; false with error set ("cannot read FILE: reason").
bool read_file(const std::string& path, std::string& bytes, std::string& error);

}  // namespace pvgen_rec
