#include "bare_pipeline.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "pvgen_sim.h"

namespace bench {

BarePipeline::BarePipeline() {
  fd_ = ::open("/dev/mfp_pvgen", O_RDWR | O_SYNC);
  dispatcher_thread_ = std::thread([this] { dispatcher(); });
  reporter_thread_ = std::thread([this] { reporter(); });
}

BarePipeline::~BarePipeline() {
  stopping_.store(true);
  wake_dispatcher();
  work_.post();
  dispatcher_thread_.join();
  reporter_thread_.join();
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void BarePipeline::wake_dispatcher() {
  std::atomic_ref(wake_flag_).store(1, std::memory_order_relaxed);
  wake_.post();
}

void BarePipeline::submit() {
  submitted_.fetch_add(1);
  list_.request(OSW_WAIT_FOREVER);
  ring_[tail_] = static_cast<uint32_t>(tail_ + 1);
  tail_ = (tail_ + 1) % ring_.size();
  list_.release();
  wake_dispatcher();
}

bool BarePipeline::run(int total, bool chained) {
  if (fd_ < 0) {
    return false;
  }
  // The threads are idle between runs: nothing is on the engine or in the ring.
  list_.request(OSW_WAIT_FOREVER);
  total_ = total;
  chained_ = chained;
  ring_.assign(static_cast<size_t>(total) + 1, 0);
  head_ = tail_ = 0;
  list_.release();
  submitted_.store(0);
  reported_.store(0);
  failed_.store(0);
  const int initial = chained_ ? 2 : total_;
  for (int i = 0; i < initial && i < total_; ++i) {
    submit();
  }
  while (done_.wait(OSW_WAIT_FOREVER) != 0) {
  }
  return failed_.load() == 0;
}

void BarePipeline::dispatcher() {
  for (;;) {
    while (std::atomic_ref(wake_flag_).load(std::memory_order_relaxed) == 0) {
      wake_.wait(OSW_WAIT_FOREVER);
    }
    std::atomic_ref(wake_flag_).store(0, std::memory_order_relaxed);
    if (stopping_.load()) {
      return;
    }
    list_.request(OSW_WAIT_FOREVER);
    while (head_ != tail_ && on_engine_ < 2) {
      pvgen_sim_cmd_blk cmd;
      std::memset(&cmd, 0, sizeof cmd);
      cmd.job_id = ring_[head_];
      cmd.mode = 1;
      cmd.type = 2;
      cmd.src[0] = {0x5000, 0, 0};
      head_ = (head_ + 1) % ring_.size();
      ++on_engine_;
      queue_.request(OSW_WAIT_FOREVER);
      ++jobs_;
      queue_.release();
      if (::ioctl(fd_, PVGEN_SIM_IOC_BAND_EXE, &cmd) != 0 || cmd.result != 0) {
        failed_.fetch_add(1);
      }
      work_.post();
    }
    list_.release();
  }
}

void BarePipeline::reporter() {
  for (;;) {
    for (;;) {
      queue_.request(OSW_WAIT_FOREVER);
      const int jobs = jobs_;
      queue_.release();
      if (jobs != 0 || stopping_.load()) {
        break;
      }
      work_.wait(OSW_WAIT_FOREVER);
    }
    if (stopping_.load()) {
      return;
    }
    pvgen_sim_wait_blk wait;
    std::memset(&wait, 0, sizeof wait);
    do {
      if (::ioctl(fd_, PVGEN_SIM_IOC_WAIT, &wait) != 0) {
        failed_.fetch_add(1);
        break;
      }
    } while (wait.result == 3);
    if (wait.result != 0) {
      failed_.fetch_add(1);
    }
    // As the library's worker does: the report (a callback may submit the next band) comes
    // before the band leaves the engine's count, and the dispatcher is woken after each.
    if (chained_ && submitted_.load() < total_) {
      submit();  // what a callback does
    }
    if (reported_.fetch_add(1) + 1 == total_) {
      done_.post();
    }
    list_.request(OSW_WAIT_FOREVER);
    --on_engine_;
    queue_.request(OSW_WAIT_FOREVER);
    --jobs_;
    queue_.release();
    list_.release();
    wake_dispatcher();
  }
}

}  // namespace bench
