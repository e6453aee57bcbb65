// Constants and field descriptions shared by the recording's reader, writer and text form.
#include "recording.h"

#include <cstring>
#include <vector>

namespace pvgen_rec {
namespace {

// The buffer words' names: literals, so that the tables hold no memory of their own.
const char* const kBufWords[3][3][3] = {
    {{"src0.id", "src0.word1", "src0.word2"},
     {"src1.id", "src1.word1", "src1.word2"},
     {"src2.id", "src2.word1", "src2.word2"}},
    {{"dst0.id", "dst0.word1", "dst0.word2"},
     {"dst1.id", "dst1.word1", "dst1.word2"},
     {"dst2.id", "dst2.word1", "dst2.word2"}},
    {{"ring0.id", "ring0.word1", "ring0.word2"},
     {"ring1.id", "ring1.word1", "ring1.word2"},
     {"ring2.id", "ring2.word1", "ring2.word2"}},
};
enum { kSrc, kDst, kRing };

void add_bufs(std::vector<Field>& out, int which, uint32_t offset) {
  for (uint32_t i = 0; i < 3; ++i) {
    for (uint32_t w = 0; w < 3; ++w)
      out.push_back({kBufWords[which][i][w], offset + 12 * i + 4 * w, false});
  }
}

std::vector<Field> make_cmd_fields() {
  using B = pvgen_sim_cmd_blk;
  std::vector<Field> f = {
      {"job_id", offsetof(B, job_id), false}, {"asic", offsetof(B, asic), false},
      {"module", offsetof(B, module), false}, {"channel", offsetof(B, channel), false},
      {"mode", offsetof(B, mode), false},     {"variant", offsetof(B, variant), false},
      {"type", offsetof(B, type), false},
  };
  add_bufs(f, kSrc, offsetof(B, src));
  add_bufs(f, kDst, offsetof(B, dst));
  f.push_back({"band_total", offsetof(B, band_total), false});
  f.push_back({"src_buf_num", offsetof(B, src_buf_num), false});
  add_bufs(f, kRing, offsetof(B, ring));
  f.push_back({"ring_param0", offsetof(B, ring_param0), false});
  f.push_back({"ring_param1", offsetof(B, ring_param1), false});
  f.push_back({"band_param0", offsetof(B, band_param0), false});
  f.push_back({"band_param1", offsetof(B, band_param1), false});
  f.push_back({"result", offsetof(B, result), true});
  return f;
}

std::vector<Field> make_wait_fields() {
  using W = pvgen_sim_wait_blk;
  std::vector<Field> f = {
      {"job_id", offsetof(W, job_id), false},     {"asic", offsetof(W, asic), false},
      {"module", offsetof(W, module), false},     {"channel", offsetof(W, channel), false},
      {"reserved", offsetof(W, reserved), false}, {"band_num", offsetof(W, band_num), true},
  };
  add_bufs(f, kSrc, offsetof(W, src));
  add_bufs(f, kDst, offsetof(W, dst));
  f.push_back({"plane_result", offsetof(W, plane_result), false});
  f.push_back({"result", offsetof(W, result), true});
  return f;
}

}  // namespace

ByteOrder native_order() {
  const uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1 ? ByteOrder::kLittle : ByteOrder::kBig;
}

uint32_t block_size_of(uint32_t request) {
  switch (request) {
    case PVGEN_SIM_IOC_PAGE_START:
    case PVGEN_SIM_IOC_BAND_EXE:
    case PVGEN_SIM_IOC_STOP:
      return kCmdSize;
    case PVGEN_SIM_IOC_WAIT:
      return kWaitSize;
    default:
      return 0;
  }
}

const char* request_name(uint32_t request) {
  switch (request) {
    case PVGEN_SIM_IOC_PAGE_START:
      return "PAGE_START";
    case PVGEN_SIM_IOC_BAND_EXE:
      return "BAND_EXE";
    case PVGEN_SIM_IOC_STOP:
      return "STOP";
    case PVGEN_SIM_IOC_WAIT:
      return "WAIT";
    default:
      return nullptr;
  }
}

std::string thread_name(const Record& r) {
  return std::string(r.thread, strnlen(r.thread, kNameSize));
}

const Field* fields_of(uint32_t block_size, size_t* count) {
  // Never destroyed: a divergence reported at exit still reads them.
  static const std::vector<Field>* const cmd = new std::vector<Field>(make_cmd_fields());
  static const std::vector<Field>* const wait = new std::vector<Field>(make_wait_fields());
  const std::vector<Field>* f = block_size == kCmdSize    ? cmd
                                : block_size == kWaitSize ? wait
                                                          : nullptr;
  *count = f != nullptr ? f->size() : 0;
  return f != nullptr ? f->data() : nullptr;
}

uint32_t word_at(const Block& b, uint32_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, b.bytes + offset, sizeof v);
  return v;
}

void set_word(Block& b, uint32_t offset, uint32_t value) {
  std::memcpy(b.bytes + offset, &value, sizeof value);
}

}  // namespace pvgen_rec
