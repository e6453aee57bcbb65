// Every word is put down byte by byte in the chosen order, so the same code writes either
// order on any host.
#include "recording_writer.h"

#include <cstring>

namespace pvgen_rec {
namespace {

class Out {
 public:
  Out(std::string& s, ByteOrder order) : s_(s), big_(order == ByteOrder::kBig) {}
  void u8(uint8_t v) { s_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void raw(const void* p, size_t n) { s_.append(static_cast<const char*>(p), n); }

  // A block: its words in order, the conversion table as bytes.
  void block(const Block& b, uint32_t size) {
    // In the host's own order the block is laid out in memory as in the file.
    if (big_ == (native_order() == ByteOrder::kBig)) {
      raw(b.bytes, size);
      return;
    }
    for (uint32_t off = 0; off < size; off += 4) {
      if (size == kCmdSize && off == kConvTableOffset) {
        raw(b.bytes + off, kConvTableSize);
        off += kConvTableSize - 4;
        continue;
      }
      u32(word_at(b, off));
    }
  }

 private:
  void put(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      const int shift = big_ ? 8 * (bytes - 1 - i) : 8 * i;
      s_.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
  }
  std::string& s_;
  bool big_;
};

}  // namespace

void append_header(std::string& out, const FileHeader& h) {
  Out o(out, h.order);
  o.raw(kMagic, sizeof kMagic);
  o.u8(static_cast<uint8_t>(h.order));
  o.u8(0);
  o.u16(h.version);
  o.u32(kFileHeaderSize);
  o.u64(h.start_ns);
  o.u32(h.pid);
  o.u32(0);
}

void append_record(std::string& out, const Record& r, ByteOrder order) {
  Out o(out, order);
  if (r.type == kDroppedRecord) {
    o.u32(kDroppedSize);
    o.u16(kDroppedRecord);
    o.u16(0);
    o.u64(r.start_ns);
    o.u64(r.dropped);
    o.u64(0);
    return;
  }
  const uint32_t block = r.block_size == kCmdSize || r.block_size == kWaitSize ? r.block_size : 0;
  o.u32(kCallHeaderSize + 2 * block);
  o.u16(kCallRecord);
  o.u16(r.kind);
  o.u64(r.start_ns);
  o.u64(r.end_ns);
  o.u32(r.tid);
  o.raw(r.thread, kNameSize);
  o.u32(static_cast<uint32_t>(r.fd));
  o.u32(r.request);
  o.u32(static_cast<uint32_t>(r.ret));
  o.u32(static_cast<uint32_t>(r.err));
  o.u32(block);
  o.block(r.given, block);
  o.block(r.answered, block);
}

}  // namespace pvgen_rec
