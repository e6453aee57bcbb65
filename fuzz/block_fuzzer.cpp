// Block fuzzer: one request block, of one request kind, with or without a callback, sent
// through the C functions on the simulated engine. The input is
//   byte 0   request kind: 0 prepare, 1 page start, 2 band, 3 stop (taken modulo 4)
//   byte 1   bit 0: pass a callback; bits 1-2: whose page the block names:
//              0 the page_id the input holds, 1 the page that runs on the channel,
//              2 a new identifier no channel holds, 3 a new identifier on a free channel
//              (prepared first for page start and stop; prepared and started, band total
//              1, for a band)
//   bytes 2+ the block (missing bytes are 0; extra bytes are ignored)
// Between inputs one page stays prepared and started on the channel (band total large), so
// that most inputs cost one call; it is replaced when an input stops it or restarts it.
// Checked for every input: the outcome is one the request may give; a refusal is -3 with
// exactly the trace lines of the fields that are wrong and one notification; an accepted
// request traces and notifies nothing; the caller's block differs only in `result`
// (not even there for an accepted band with a callback); a band with a callback is
// reported exactly once, on a worker thread; afterwards the request list, the observer
// wrappers and the semaphore records are empty again.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "pvgen_test_util.h"
#include "quorl_cnv_pvgen_commonmethod.h"

namespace {

using Blk = QUORL_CNV_PVGEN_BLK;
using fuzz::fail;
using Lines = std::vector<std::string>;

constexpr uint32_t kLongPage = 1u << 30;  // band total of the page kept on the channel
constexpr uint64_t kRenewAfter = 100000;  // bands on it before it is replaced anyway

int32_t g_page = 0;  // the page kept prepared and started on the channel; 0: none
uint64_t g_bands = 0;

norvane::quorl_cnv_pvgen_commonmethod* registry() {
  return norvane::quorl_cnv_pvgen_commonmethod::instance();
}

void describe() {
  std::fprintf(stderr, "page on the channel %d; list %zu, wrappers %zu, semaphores %zu\n",
               static_cast<int>(g_page), registry()->req_list_size(),
               registry()->obs_wrapper_count(), registry()->event_semaphore_in_use());
}
fuzz::Watchdog& watchdog() {
  static auto* w = new fuzz::Watchdog(describe);
  return *w;
}

Blk valid_block(int32_t page, uint32_t band_total) {
  return pvgen_test::make_block(page, 0x77, band_total);
}

int32_t start_page(uint32_t band_total) {
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  Blk b = valid_block(page, band_total);
  FUZZ_CHECK(Quorl_cnv_pvgen_prepare(&b) == 0, "set-up prepare of page %d failed", page);
  FUZZ_CHECK(Quorl_cnv_pvgen_page_start(&b, nullptr) == 0, "set-up page start of %d failed", page);
  return page;
}

void stop_page(int32_t page) {
  Blk b = valid_block(page, 1);
  FUZZ_CHECK(Quorl_cnv_pvgen_stop(&b) == 0, "clean-up stop of page %d failed", page);
}

std::string line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* format, ...) {
  char text[256];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return std::string("quorl_cnv_pvgen_control::param_check") + text;
}

// The trace lines a refusal of this block gives, in order; none when it is accepted.
// `holder` is the page the channel holds (0 when it is free).
Lines refusal_lines(int request, const Blk& b, int32_t holder) {
  Lines out;
  const long page = b.page_id;
  const bool held = b.page_id == holder;
  auto no_buffer = [](const QUORL_CNV_PVGEN_BUF* bufs) {
    return bufs[0].id == 0 && bufs[1].id == 0 && bufs[2].id == 0;
  };
  switch (request) {
    case QUORL_CNV_PVGEN_REQ_PREPARE:
      // asic, module and channel are the library's own for a prepare; mode is traced as given.
      if (b.page_id <= 0) {
        out.push_back(line("(0/%d) page_id error1. = %ld\n", static_cast<int>(b.mode), page));
      }
      if (b.priority > 5) {
        out.push_back(line("(0/%d) priority error. = %d\n", static_cast<int>(b.mode),
                           static_cast<int>(b.priority)));
      }
      break;
    case QUORL_CNV_PVGEN_REQ_PAGE_START:  // mode, type and the ring are the library's own
      if (b.page_id <= 0) {
        out.push_back(line("(1/1) page_id error1. = %ld\n", page));
      }
      if (!held) {
        out.push_back(line("(1/1) page_id error2. = %ld\n", page));
      }
      if (no_buffer(b.dst)) {
        out.push_back(line("(1/1) dst buffer error. buffer id all 0.\n"));
      }
      break;
    case QUORL_CNV_PVGEN_REQ_BAND_EXE:  // always a band of a page (mode 1)
      if (b.page_id <= 0) {
        out.push_back(line("(2/1) page_id error1. = %ld\n", page));
      }
      if (!held) {
        out.push_back(line("(2/1) page_id error2. = %ld\n", page));
      }
      if (no_buffer(b.src)) {
        out.push_back(line("(2/1) src buffer error. buffer id all 0.\n"));
      }
      break;
    default:
      if (b.page_id <= 0) {
        out.push_back(line("(4/1) page_id error1. = %ld\n", page));
      }
      break;
  }
  return out;
}

std::string joined(const Lines& lines) {
  std::string s;
  for (const std::string& l : lines) {
    s += "  " + l;
  }
  return s.empty() ? "  (none)\n" : s;
}

int call(int request, Blk& b, bool callback) {
  QUORL_CNV_PVGEN_CALLBACK cb = callback ? fuzz::record_cb : nullptr;
  switch (request) {
    case QUORL_CNV_PVGEN_REQ_PREPARE:
      return Quorl_cnv_pvgen_prepare(&b);
    case QUORL_CNV_PVGEN_REQ_PAGE_START:
      return Quorl_cnv_pvgen_page_start(&b, cb);
    case QUORL_CNV_PVGEN_REQ_BAND_EXE:
      return Quorl_cnv_pvgen_band_exe(&b, cb);
    default:
      return Quorl_cnv_pvgen_stop(&b);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return -1;  // not kept in the corpus
  }
  static const int kRequests[] = {QUORL_CNV_PVGEN_REQ_PREPARE, QUORL_CNV_PVGEN_REQ_PAGE_START,
                                  QUORL_CNV_PVGEN_REQ_BAND_EXE, QUORL_CNV_PVGEN_REQ_STOP};
  const int request = kRequests[data[0] % 4];
  const bool callback = (data[1] & 1) != 0;
  const int whose = (data[1] >> 1) & 3;
  Blk blk;
  std::memset(&blk, 0, sizeof blk);
  std::memcpy(&blk, data + 2, std::min(size - 2, sizeof blk));

  watchdog().arm(20, "set-up");
  if (g_page == 0 || g_bands >= kRenewAfter) {
    if (g_page != 0) {
      stop_page(g_page);
    }
    g_page = start_page(kLongPage);
    g_bands = 0;
  }
  int32_t holder = g_page;  // the page the channel holds; 0: free
  bool holder_started = true;
  switch (whose) {
    case 1:
      blk.page_id = g_page;
      break;
    case 2:
      blk.page_id = Quorl_cnv_pvgen_get_page_id();
      break;
    case 3:
      stop_page(g_page);
      g_page = 0;
      holder = 0;
      blk.page_id = Quorl_cnv_pvgen_get_page_id();
      if (request == QUORL_CNV_PVGEN_REQ_BAND_EXE) {
        holder = start_page(1);
        blk.page_id = holder;
      } else if (request != QUORL_CNV_PVGEN_REQ_PREPARE) {
        Blk f = valid_block(blk.page_id, 1);
        FUZZ_CHECK(Quorl_cnv_pvgen_prepare(&f) == 0, "set-up prepare failed");
        holder = blk.page_id;
        holder_started = false;
      }
      break;
    default:
      break;
  }
  if (request == QUORL_CNV_PVGEN_REQ_PREPARE && holder != 0) {
    blk.wait_for_channel = 0;  // the channel is taken: waiting would wait for this input
  }
  if (request == QUORL_CNV_PVGEN_REQ_BAND_EXE && !callback && blk.page_id == holder &&
      !holder_started) {
    return 0;  // cannot happen: whose 3 starts the page for a band
  }

  const Lines expected = refusal_lines(request, blk, holder);
  const Blk before = blk;
  fuzz::recorder.take();
  platform::capture_begin();
  watchdog().arm(20, "the call");
  const int rc = call(request, blk, callback);
  watchdog().note("after the call");
  const Lines got = pvgen_test::Capture::lines();
  const auto notes = platform::notifications();

  // Only `result` may differ.
  Blk masked = blk;
  masked.result = before.result;
  FUZZ_CHECK(std::memcmp(&masked, &before, sizeof before) == 0,
             "request %d changed a word of the caller's block other than result", request);

  const bool async_band = request == QUORL_CNV_PVGEN_REQ_BAND_EXE && callback;
  if (!expected.empty()) {
    FUZZ_CHECK(rc == -3 && blk.result == -3, "request %d: refusal returned %d, result %d", request,
               rc, static_cast<int>(blk.result));
    if (got != expected) {
      fail("request %d: trace lines\n%sexpected\n%s", request, joined(got).c_str(),
           joined(expected).c_str());
    }
    FUZZ_CHECK(notes.size() == 1 && notes[0].kind == 0xF23C && notes[0].code == 3 &&
                   notes[0].file == "quorl_cnv_pvgen_control.cpp" &&
                   notes[0].function == "param_check",
               "request %d: refusal gave %zu notifications", request, notes.size());
  } else {
    if (!got.empty() || !notes.empty()) {
      fail("request %d accepted (rc %d) but traced\n%sand notified %zu times", request, rc,
           joined(got).c_str(), notes.size());
    }
    if (async_band) {
      FUZZ_CHECK(rc == 0 && blk.result == before.result,
                 "accepted band with callback returned %d, result %d (was %d)", rc,
                 static_cast<int>(blk.result), static_cast<int>(before.result));
    } else {
      FUZZ_CHECK(blk.result == rc, "request %d returned %d but wrote %d", request, rc,
                 static_cast<int>(blk.result));
    }
    switch (request) {
      case QUORL_CNV_PVGEN_REQ_PREPARE:
        // The channel is free only when the input asked for it.
        FUZZ_CHECK(rc == (holder == 0 ? 0 : -4), "prepare (channel page %d) returned %d",
                   static_cast<int>(holder), rc);
        if (rc == 0) {
          holder = blk.page_id;
          holder_started = false;
        }
        break;
      case QUORL_CNV_PVGEN_REQ_PAGE_START:
        FUZZ_CHECK(rc == 0, "page start of a prepared or running page returned %d", rc);
        if (holder == g_page) {
          g_bands = kRenewAfter;  // its band total is the input's now: replace it
        }
        holder_started = true;
        break;
      case QUORL_CNV_PVGEN_REQ_BAND_EXE:
        // A band of a running page; a page of band total 1 ends with it.
        FUZZ_CHECK(async_band || rc == 0, "band on a running page returned %d", rc);
        ++g_bands;
        break;
      default:
        FUZZ_CHECK(rc == 0, "stop of page %d returned %d", static_cast<int>(blk.page_id), rc);
        if (blk.page_id == holder) {
          if (holder == g_page) {
            g_page = 0;
          }
          holder = 0;
        }
        break;
    }
  }

  // A band with a callback is reported exactly once, on a worker; nothing else is.
  watchdog().note("waiting for the callback");
  const size_t want = (async_band && expected.empty()) ? 1 : 0;
  if (want != 0) {
    FUZZ_CHECK(fuzz::eventually([&] { return fuzz::recorder.size() >= want; }),
               "the band's callback never came");
  }
  FUZZ_CHECK(fuzz::eventually([] {
               return registry()->req_list_size() == 0 && registry()->obs_wrapper_count() == 0 &&
                      registry()->event_semaphore_in_use() == 0;
             }),
             "the library did not come to rest: list %zu, wrappers %zu, semaphores %zu",
             registry()->req_list_size(), registry()->obs_wrapper_count(),
             registry()->event_semaphore_in_use());
  const auto records = fuzz::recorder.take();
  FUZZ_CHECK(records.size() == want, "%zu callbacks for %zu bands", records.size(), want);
  if (want != 0) {
    const QUORL_CNV_PVGEN_RESULT_INFO& r = records[0].info;
    FUZZ_CHECK(r.job_id == before.job_id && r.page_id == before.page_id,
               "callback for job %u page %d, band was job %u page %d", r.job_id,
               static_cast<int>(r.page_id), before.job_id, static_cast<int>(before.page_id));
    FUZZ_CHECK(r.result == 0 && r.band_num == 1, "band reported result %d band_num %d",
               static_cast<int>(r.result), static_cast<int>(r.band_num));
  }
  platform::capture_end();

  // Back to one running page on the channel.
  watchdog().note("clean-up");
  if (holder != 0 && holder != g_page) {
    stop_page(holder);
  }
  watchdog().disarm();
  return 0;
}
