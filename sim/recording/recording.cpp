// Constants and field descriptions shared by the recording's reader, writer and text form.
#include "recording.h"

#include <cstring>
#include <vector>

namespace pvgen_rec {
namespace {

void add_buf(std::vector<Field>& out, const char* base, int index, uint32_t offset) {
  // Names live as long as the process: the tables are built once.
  static const char* const kWord[3] = {"id", "word1", "word2"};
  for (int w = 0; w < 3; ++w) {
    std::string name = std::string(base) + std::to_string(index) + "." + kWord[w];
    out.push_back({strdup(name.c_str()),
                   offset + 12u * static_cast<uint32_t>(index) + 4u * static_cast<uint32_t>(w),
                   false});
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
  for (int i = 0; i < 3; ++i)
    add_buf(f, "src", i, offsetof(B, src));
  for (int i = 0; i < 3; ++i)
    add_buf(f, "dst", i, offsetof(B, dst));
  f.push_back({"band_total", offsetof(B, band_total), false});
  f.push_back({"src_buf_num", offsetof(B, src_buf_num), false});
  for (int i = 0; i < 3; ++i)
    add_buf(f, "ring", i, offsetof(B, ring));
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
  for (int i = 0; i < 3; ++i)
    add_buf(f, "src", i, offsetof(W, src));
  for (int i = 0; i < 3; ++i)
    add_buf(f, "dst", i, offsetof(W, dst));
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
  static const std::vector<Field> cmd = make_cmd_fields();
  static const std::vector<Field> wait = make_wait_fields();
  const std::vector<Field>* f = block_size == kCmdSize    ? &cmd
                                : block_size == kWaitSize ? &wait
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
