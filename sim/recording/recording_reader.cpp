#include "recording_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pvgen_rec {
namespace {

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", v);
  return text;
}

}  // namespace

bool Reader::fail(size_t at, const std::string& what) {
  failed_ = true;
  error_ = "offset " + std::to_string(at) + ": " + what;
  return false;
}

uint16_t Reader::u16(size_t at) const {
  const unsigned char* p = data_ + at;
  return big_ ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t Reader::u32(size_t at) const {
  const unsigned char* p = data_ + at;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= static_cast<uint32_t>(p[i]) << (big_ ? 8 * (3 - i) : 8 * i);
  return v;
}

uint64_t Reader::u64(size_t at) const {
  const uint64_t a = u32(at);
  const uint64_t b = u32(at + 4);
  return big_ ? (a << 32 | b) : (b << 32 | a);
}

void Reader::block(size_t at, uint32_t size, Block& out) const {
  std::memset(out.bytes, 0, sizeof out.bytes);
  for (uint32_t off = 0; off < size; off += 4) {
    if (size == kCmdSize && off == kConvTableOffset) {
      std::memcpy(out.bytes + off, data_ + at + off, kConvTableSize);
      off += kConvTableSize - 4;
      continue;
    }
    set_word(out, off, u32(at + off));
  }
}

bool Reader::open(const unsigned char* data, size_t size) {
  data_ = data;
  size_ = size;
  offset_ = kFileHeaderSize;
  records_ = 0;
  failed_ = false;
  error_.clear();
  if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
    return fail(0, "not a pvgen recording (the file does not start with \"PVGENREC\")");
  if (size < kFileHeaderSize)
    return fail(size, "truncated file header: " + std::to_string(kFileHeaderSize) +
                          " bytes needed, " + std::to_string(size) + " in the file");
  const uint8_t order = data[8];
  if (order != static_cast<uint8_t>(ByteOrder::kLittle) &&
      order != static_cast<uint8_t>(ByteOrder::kBig))
    return fail(8, "unknown byte order " + hex(order) + " (expected 'L' or 'B')");
  big_ = order == static_cast<uint8_t>(ByteOrder::kBig);
  header_.order = static_cast<ByteOrder>(order);
  header_.version = u16(10);
  if (header_.version != kVersion)
    return fail(10, "unknown version " + std::to_string(header_.version) +
                        " (this reader knows version " + std::to_string(kVersion) + ")");
  if (data[9] != 0)
    return fail(9, "reserved byte is " + hex(data[9]) + ", expected 0");
  if (u32(12) != kFileHeaderSize)
    return fail(12, "header size " + std::to_string(u32(12)) + ", expected " +
                        std::to_string(kFileHeaderSize));
  header_.start_ns = u64(16);
  header_.pid = u32(24);
  if (u32(28) != 0)
    return fail(28, "reserved word is " + hex(u32(28)) + ", expected 0");
  return true;
}

int Reader::next(Record& out) {
  if (failed_)
    return -1;
  if (offset_ == size_)
    return 0;
  const size_t at = offset_;
  const size_t left = size_ - at;
  const std::string which = "record " + std::to_string(records_ + 1) + ": ";
  if (left < 8) {
    fail(at, which + "truncated: " + std::to_string(left) +
                 " bytes left, a record starts with 8 (size and type)");
    return -1;
  }
  const uint32_t size = u32(at);
  const uint16_t type = u16(at + 4);
  if (type == kDroppedRecord) {
    if (size != kDroppedSize) {
      fail(at, which + "dropped record of size " + std::to_string(size) + ", expected " +
                   std::to_string(kDroppedSize));
      return -1;
    }
    if (left < kDroppedSize) {
      fail(at, which + "truncated: the record needs " + std::to_string(size) + " bytes, " +
                   std::to_string(left) + " are left");
      return -1;
    }
    if (u16(at + 6) != 0 || u64(at + 24) != 0) {
      fail(at, which + "reserved words of a dropped record are not 0");
      return -1;
    }
    out = Record{};
    out.type = kDroppedRecord;
    out.start_ns = u64(at + 8);
    out.dropped = u64(at + 16);
  } else if (type == kCallRecord) {
    if (left < kCallHeaderSize) {
      fail(at, which + "truncated: " + std::to_string(left) + " bytes left, a call record needs " +
                   std::to_string(kCallHeaderSize) + " or more");
      return -1;
    }
    const uint16_t kind = u16(at + 6);
    if (kind != kOpen && kind != kIoctl && kind != kClose) {
      fail(at + 6,
           which + "unknown call kind " + std::to_string(kind) + " (1 open, 2 ioctl, 3 close)");
      return -1;
    }
    const uint32_t request = u32(at + 48);
    const uint32_t block_size = u32(at + 60);
    const uint32_t expected = kind == kIoctl ? block_size_of(request) : 0;
    if (block_size != 0 && block_size != expected) {
      fail(
          at + 60,
          which + "block size " + std::to_string(block_size) + " does not fit " +
              (kind == kIoctl
                   ? "request " + hex(request) + " (expected " + std::to_string(expected) + " or 0)"
                   : std::string(kind == kOpen ? "an open" : "a close") + " (expected 0)"));
      return -1;
    }
    const uint64_t whole = kCallHeaderSize + 2ull * block_size;
    if (size != whole) {
      fail(at, which + "record size " + std::to_string(size) + " does not match its " +
                   std::to_string(block_size) + "-byte blocks (expected " + std::to_string(whole) +
                   ")");
      return -1;
    }
    if (left < whole) {
      fail(at, which + "truncated: the record needs " + std::to_string(whole) + " bytes, " +
                   std::to_string(left) + " are left");
      return -1;
    }
    out.type = kCallRecord;
    out.kind = static_cast<CallKind>(kind);
    out.start_ns = u64(at + 8);
    out.end_ns = u64(at + 16);
    if (out.end_ns < out.start_ns) {
      fail(at + 16, which + "the call ends (" + std::to_string(out.end_ns) +
                        " ns) before it starts (" + std::to_string(out.start_ns) + " ns)");
      return -1;
    }
    out.tid = u32(at + 24);
    std::memcpy(out.thread, data_ + at + 28, kNameSize);
    const size_t name_len = strnlen(out.thread, kNameSize);
    for (size_t i = name_len; i < kNameSize; ++i) {
      if (out.thread[i] != 0) {
        fail(at + 28 + i, which + "thread name is not padded with zero bytes");
        return -1;
      }
    }
    out.fd = static_cast<int32_t>(u32(at + 44));
    out.request = request;
    out.ret = static_cast<int32_t>(u32(at + 52));
    out.err = static_cast<int32_t>(u32(at + 56));
    out.block_size = block_size;
    block(at + kCallHeaderSize, block_size, out.given);
    block(at + kCallHeaderSize + block_size, block_size, out.answered);
    out.dropped = 0;
  } else {
    fail(at + 4, which + "unknown record type " + std::to_string(type) + " (1 call, 2 dropped)");
    return -1;
  }
  offset_ = at + size;
  ++records_;
  return 1;
}

bool read_file(const std::string& path, std::string& bytes, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.clear();
  char buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    bytes.append(buf, n);
  const bool bad = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (bad) {
    error = "cannot read " + path + ": " + std::strerror(err);
    return false;
  }
  return true;
}

}  // namespace pvgen_rec
