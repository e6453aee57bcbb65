// The simulated engine: report order and words, blocking waits, page mode, faults, the
// gate, the timing model, bad input, reset, and preloaded use through pvgen-sim.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pvgen_sim.h"

namespace {

constexpr uint32_t kTimeoutMs = 30000;

#ifdef PVGEN_SIM_EMULATOR
// qemu-user answers requests it does not know itself, before the kernel sees the descriptor.
constexpr int kForeignIoctlErrno = ENOSYS;
constexpr int kClosedIoctlErrno = ENOSYS;
#else
constexpr int kForeignIoctlErrno = ENOTTY;
constexpr int kClosedIoctlErrno = EBADF;
#endif
constexpr uint64_t kHourNs = 3600ull * 1000000000ull;

pvgen_sim_cmd_blk make_cmd(uint32_t job_id, uint32_t mode = 1) {
  pvgen_sim_cmd_blk b{};
  b.job_id = job_id;
  b.mode = mode;
  return b;
}

bool same(const pvgen_sim_buf& b, uint32_t id, uint32_t word1, uint32_t word2) {
  return b.id == id && b.word1 == word1 && b.word2 == word2;
}

pvgen_sim_stats stats() {
  pvgen_sim_stats s{};
  pvgen_sim_get_stats(&s);
  return s;
}

class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    pvgen_sim_reset();
    fd_ = open(PVGEN_SIM_DEVICE, O_RDWR | O_SYNC);
    ASSERT_GE(fd_, 0);
    ASSERT_EQ(pvgen_sim_is_device(fd_), 1);
  }
  void TearDown() override {
    if (fd_ >= 0)
      close(fd_);
  }

  // Sends a command; returns the ioctl's value, the answer is in b.result.
  int send(uint32_t code, pvgen_sim_cmd_blk& b) { return ioctl(fd_, code, &b); }
  int32_t band(uint32_t job_id) {
    pvgen_sim_cmd_blk b = make_cmd(job_id);
    EXPECT_EQ(send(PVGEN_SIM_IOC_BAND_EXE, b), 0);
    return b.result;
  }
  pvgen_sim_wait_blk wait_report(int expected_ret = 0) {
    pvgen_sim_wait_blk w{};
    EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w), expected_ret);
    return w;
  }

  int fd_ = -1;
};

TEST_F(Sim, BandReportsComeInCommandOrderWithDocumentedWords) {
  pvgen_sim_cmd_blk start = make_cmd(99);
  start.dst[0] = {0xD0, 1000, 5};
  start.dst[1] = {0xD1, 2000, 0};
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  EXPECT_EQ(start.result, 0);
  EXPECT_EQ(stats().pending_reports, 0u) << "a band-page start reports nothing";

  for (uint32_t j = 1; j <= 3; ++j) {
    pvgen_sim_cmd_blk b = make_cmd(10 + j);
    b.src[0] = {0x50 + j, 10 * j, 77};
    ASSERT_EQ(send(PVGEN_SIM_IOC_BAND_EXE, b), 0);
    EXPECT_EQ(b.result, 0);
  }
  EXPECT_EQ(stats().pending_reports, 3u);
  for (uint32_t n = 1; n <= 3; ++n) {
    const pvgen_sim_wait_blk w = wait_report();
    EXPECT_EQ(w.job_id, 10 + n);
    EXPECT_EQ(w.band_num, 1);
    EXPECT_TRUE(same(w.src[0], 0x50 + n, 10 * n + 1, n));
    EXPECT_TRUE(same(w.src[2], 0, 1, n));
    EXPECT_TRUE(same(w.dst[0], 0xD0, 1000 + n, n));
    EXPECT_TRUE(same(w.dst[1], 0xD1, 2000 + n, n));
    EXPECT_EQ(w.plane_result, ((10 + n) << 16) | n);
    EXPECT_EQ(w.result, 0);
  }

  // A stop forgets the page: later bands advance descriptors from zero; n keeps counting.
  pvgen_sim_cmd_blk stop{};
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stop.result, 0);
  EXPECT_EQ(band(20), 0);
  const pvgen_sim_wait_blk w = wait_report();
  EXPECT_TRUE(same(w.dst[0], 0, 4, 4));
  EXPECT_EQ(w.plane_result, (20u << 16) | 4u);

  ASSERT_EQ(pvgen_sim_command_count(), 6u);
  pvgen_sim_command c{};
  ASSERT_EQ(pvgen_sim_command_get(1, &c), 0);
  EXPECT_EQ(c.code, PVGEN_SIM_IOC_BAND_EXE);
  EXPECT_EQ(c.fd, fd_);
  EXPECT_TRUE(pthread_equal(c.thread, pthread_self()));
  EXPECT_EQ(c.blk.job_id, 11u);
  EXPECT_TRUE(same(c.blk.src[0], 0x51, 10, 77)) << "the block is logged as received";
}

TEST_F(Sim, WaitBlocksUntilACommandArrivesAndTheGateLetsItThrough) {
  pvgen_sim_wait_blk got{};
  pthread_t waiter{};
  std::thread t([&] {
    waiter = pthread_self();
    got = wait_report();
  });
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kTimeoutMs), 0);
  EXPECT_EQ(pvgen_sim_answer_count(), 0u);

  pvgen_sim_gate_close();
  EXPECT_EQ(band(5), 0);
  EXPECT_EQ(stats().pending_reports, 1u);
  EXPECT_EQ(stats().blocked_waiters, 1u) << "the gate holds a due report";
  EXPECT_EQ(pvgen_sim_answer_count(), 0u);
  pvgen_sim_gate_release(1);
  t.join();
  EXPECT_EQ(got.job_id, 5u);

  pvgen_sim_answer a{};
  ASSERT_EQ(pvgen_sim_answer_get(0, &a), 0);
  EXPECT_TRUE(pthread_equal(a.thread, waiter));
  EXPECT_EQ(a.took_report, 1);
  EXPECT_GE(a.time_ns, a.due_ns);
  EXPECT_EQ(stats().blocked_waiters, 0u);
}

TEST_F(Sim, PageModeReportsEachBandAndAStopEndsARunningPage) {
  pvgen_sim_cmd_blk start = make_cmd(7, 2);
  start.band_total = 3;
  start.ring[0] = {0xA0, 50, 0};
  start.dst[0] = {0xD0, 500, 0};
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  for (uint32_t k = 1; k <= 3; ++k) {
    const pvgen_sim_wait_blk w = wait_report();
    EXPECT_EQ(w.job_id, 7u);
    EXPECT_EQ(w.band_num, 1);
    EXPECT_TRUE(same(w.src[0], 0xA0, 50 + k, k));
    EXPECT_TRUE(same(w.dst[0], 0xD0, 500 + k, k));
    EXPECT_EQ(w.plane_result, (7u << 16) | k);
    EXPECT_EQ(w.result, 0);
  }
  pvgen_sim_cmd_blk stop{};
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stats().pending_reports, 0u) << "a page that has ended gets no final report";

  pvgen_sim_gate_close();
  start.job_id = 8;
  start.band_total = 5;
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  pvgen_sim_gate_release(2);
  EXPECT_EQ(wait_report().band_num, 1);
  EXPECT_EQ(wait_report().src[0].word2, 2u);
  pvgen_sim_wait_blk final_report{};
  std::thread t([&] { final_report = wait_report(); });
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kTimeoutMs), 0);
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stop.result, 0);
  EXPECT_EQ(stats().pending_reports, 1u) << "three bands dropped, one final report";
  pvgen_sim_gate_release(1);
  t.join();
  EXPECT_EQ(final_report.job_id, 8u);
  EXPECT_EQ(final_report.band_num, 0);
  EXPECT_EQ(final_report.result, PVGEN_SIM_RESULT_STOPPED);
  EXPECT_EQ(stats().pending_reports, 0u);
}

TEST_F(Sim, CommandFaultsAnswerAsScriptedAndRefusedBandsStillReport) {
  ASSERT_EQ(pvgen_sim_fault_script(" start#1:result=5; band#2:result=9;\n"
                                   " band#3:errno=EIO,result=7; stop#1:result=2; stop#2:result=5"),
            5);
  pvgen_sim_cmd_blk start = make_cmd(1);
  start.dst[0] = {0xD0, 0, 0};
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  EXPECT_EQ(start.result, 5);

  EXPECT_EQ(band(1), 0);
  EXPECT_EQ(band(2), 9);
  pvgen_sim_cmd_blk b = make_cmd(3);
  errno = 0;
  EXPECT_EQ(send(PVGEN_SIM_IOC_BAND_EXE, b), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(b.result, 7);

  pvgen_sim_wait_blk w = wait_report();
  EXPECT_EQ(w.dst[0].id, 0u) << "a refused page start starts no page";
  for (uint32_t job = 2; job <= 3; ++job) {
    w = wait_report();
    EXPECT_EQ(w.job_id, job);
    EXPECT_EQ(w.band_num, 0);
    EXPECT_EQ(w.result, PVGEN_SIM_RESULT_BAND_FAILED);
  }

  // A stop answered 2 is carried out (the endless page-mode page ends), one answered 5 not.
  start = make_cmd(4, 2);
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  EXPECT_EQ(start.result, 0);
  pvgen_sim_cmd_blk stop{};
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stop.result, 2);
  EXPECT_EQ(wait_report().result, PVGEN_SIM_RESULT_STOPPED);
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stop.result, 5);

  // Rules count the calls made after they were added.
  ASSERT_EQ(pvgen_sim_fault_script("band#1:result=4"), 1);
  EXPECT_EQ(band(5), 4);
  EXPECT_EQ(band(6), 0);

  const pvgen_sim_stats s = stats();
  EXPECT_EQ(s.failed[PVGEN_SIM_PAGE_START], 1u);
  EXPECT_EQ(s.failed[PVGEN_SIM_BAND], 3u);
  EXPECT_EQ(s.failed[PVGEN_SIM_STOP], 1u);
  EXPECT_EQ(s.faults, 6u);

  ASSERT_EQ(pvgen_sim_fault_script("open#1:errno=EACCES"), 1);
  errno = 0;
  EXPECT_EQ(open(PVGEN_SIM_DEVICE, O_RDWR), -1);
  EXPECT_EQ(errno, EACCES);
  const int second = open(PVGEN_SIM_DEVICE, O_RDWR);
  EXPECT_GE(second, 0);
  close(second);
}

TEST_F(Sim, WaitFaultsRepeatReplaceOrDropReports) {
  ASSERT_EQ(pvgen_sim_fault_script("wait#1x2:again; wait#4:band_num=2; wait#5:result=1;"
                                   "wait#6:errno=EIO; wait#7:result=2"),
            5);
  for (uint32_t job = 1; job <= 5; ++job)
    EXPECT_EQ(band(job), 0);

  pvgen_sim_wait_blk w{};
  w.job_id = 0xEEEE;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w), 0);
    EXPECT_EQ(w.result, PVGEN_SIM_RESULT_AGAIN);
    EXPECT_EQ(w.job_id, 0xEEEEu) << "an answer 3 writes nothing else";
  }
  EXPECT_EQ(stats().pending_reports, 5u);
  EXPECT_EQ(wait_report().job_id, 1u);
  w = wait_report();
  EXPECT_EQ(w.job_id, 2u);
  EXPECT_EQ(w.band_num, 2);
  w = wait_report();
  EXPECT_EQ(w.job_id, 3u);
  EXPECT_EQ(w.result, 1);
  errno = 0;
  w = wait_report(-1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(w.job_id, 0u) << "a failing wait writes only its result";
  w = wait_report();
  EXPECT_EQ(w.job_id, 5u) << "the failing wait took band 4's report";
  EXPECT_EQ(w.result, 2);

  const pvgen_sim_stats s = stats();
  EXPECT_EQ(s.requests[PVGEN_SIM_WAIT], 7u);
  EXPECT_EQ(s.again, 2u);
  EXPECT_EQ(s.reports, 5u);
  EXPECT_EQ(s.failed[PVGEN_SIM_WAIT], 1u);
}

TEST_F(Sim, MalformedFaultRulesAreRejectedWhole) {
  for (const char* bad :
       {"band:again", "bogus#1:result=1", "band#0:result=1", "wait#2x:again", "open:result=3",
        "stop", "wait:band_num", "band#1:errno=ENOPE", "band#1:result=4; band:bogus"}) {
    EXPECT_EQ(pvgen_sim_fault_script(bad), -1) << bad;
  }
  EXPECT_EQ(pvgen_sim_fault_script(""), 0);
  pvgen_sim_fault f{PVGEN_SIM_CLOSE, PVGEN_SIM_ACT_ERRNO, 1, 1, EIO, 0};
  EXPECT_EQ(pvgen_sim_fault_add(&f), -1);
  f = {PVGEN_SIM_BAND, PVGEN_SIM_ACT_BAND_NUM, 1, 1, 0, 2};
  EXPECT_EQ(pvgen_sim_fault_add(&f), -1);
  EXPECT_EQ(band(1), 0) << "nothing of a rejected script was added";
  EXPECT_EQ(stats().faults, 0u);
}

TEST_F(Sim, BackToBackBandsKeepTheEngineBusy) {
  // With an hour per band every command surely comes while the engine is busy; the engine
  // times are booked when the command arrives, so nothing waits for them.
  pvgen_sim_set_band_time_ns(kHourNs);
  for (uint32_t job = 1; job <= 3; ++job)
    EXPECT_EQ(band(job), 0);
  pvgen_sim_stats s = stats();
  EXPECT_EQ(s.bands_run, 3u);
  EXPECT_EQ(s.busy_ns, 3 * kHourNs);
  EXPECT_EQ(s.idle_ns, 0u);
  EXPECT_EQ(s.last_completion_ns - s.first_band_ns, s.busy_ns);

  // A page-mode page stopped at once gives its bands back.
  pvgen_sim_cmd_blk start = make_cmd(9, 2);
  start.band_total = 4;
  ASSERT_EQ(send(PVGEN_SIM_IOC_PAGE_START, start), 0);
  EXPECT_EQ(stats().busy_ns, 7 * kHourNs);
  pvgen_sim_cmd_blk stop{};
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  s = stats();
  EXPECT_EQ(s.busy_ns, 3 * kHourNs);
  EXPECT_EQ(s.bands_run, 3u);
  EXPECT_EQ(s.last_completion_ns - s.first_band_ns, s.busy_ns);
}

TEST_F(Sim, LateCommandsLeaveTheEngineIdleAndWaitsEndAtCompletion) {
  const uint64_t band_ns = 1000000;
  pvgen_sim_set_band_time_ns(band_ns);
  EXPECT_EQ(band(1), 0);
  EXPECT_EQ(wait_report().job_id, 1u);
  EXPECT_EQ(band(2), 0);  // surely after band 1 completed: its report has been taken
  EXPECT_EQ(wait_report().job_id, 2u);

  pvgen_sim_command c1{}, c2{};
  pvgen_sim_answer a1{}, a2{};
  ASSERT_EQ(pvgen_sim_command_get(0, &c1), 0);
  ASSERT_EQ(pvgen_sim_command_get(1, &c2), 0);
  ASSERT_EQ(pvgen_sim_answer_get(0, &a1), 0);
  ASSERT_EQ(pvgen_sim_answer_get(1, &a2), 0);
  EXPECT_EQ(a1.due_ns, c1.time_ns + band_ns);
  EXPECT_EQ(a2.due_ns, c2.time_ns + band_ns);
  EXPECT_GE(a1.time_ns, a1.due_ns);
  EXPECT_GE(a2.time_ns, a2.due_ns);
  const pvgen_sim_stats s = stats();
  EXPECT_EQ(s.busy_ns, 2 * band_ns);
  EXPECT_EQ(s.idle_ns, c2.time_ns - a1.due_ns);
  EXPECT_EQ(s.first_band_ns, c1.time_ns);
  EXPECT_EQ(s.last_completion_ns, a2.due_ns);
  EXPECT_EQ(s.busy_ns + s.idle_ns, s.last_completion_ns - s.first_band_ns);
}

TEST_F(Sim, BadInputIsAnsweredWithoutHarm) {
  pvgen_sim_cmd_blk b = make_cmd(1);
  errno = 0;
  EXPECT_EQ(ioctl(fd_, 0xC8E4DF07u, &b), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_BAND_EXE, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_WAIT, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(stats().bad_requests, 3u);

  b.asic = 1;
  ASSERT_EQ(send(PVGEN_SIM_IOC_BAND_EXE, b), 0);
  EXPECT_EQ(b.result, PVGEN_SIM_RESULT_BAD_UNIT);
  pvgen_sim_cmd_blk stop{};
  stop.channel = 2;
  ASSERT_EQ(send(PVGEN_SIM_IOC_STOP, stop), 0);
  EXPECT_EQ(stop.result, PVGEN_SIM_RESULT_BAD_UNIT);
  pvgen_sim_wait_blk w{};
  w.module = 1;
  ASSERT_EQ(ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w), 0);
  EXPECT_EQ(w.result, PVGEN_SIM_RESULT_BAD_UNIT);
  EXPECT_EQ(wait_report().result, PVGEN_SIM_RESULT_BAND_FAILED) << "the band still reports";

  const int other = open("/dev/null", O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(pvgen_sim_is_device(other), 0);
  EXPECT_EQ(ioctl(other, PVGEN_SIM_IOC_BAND_EXE, &b), -1) << "other files reach the kernel";
  EXPECT_EQ(errno, kForeignIoctlErrno);
  EXPECT_EQ(close(other), 0);

  ASSERT_EQ(close(fd_), 0);
  EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_BAND_EXE, &b), -1);
  EXPECT_EQ(errno, kClosedIoctlErrno);
  EXPECT_EQ(pvgen_sim_command_count(), 2u) << "a closed descriptor is no longer served";
  fd_ = -1;
}

TEST_F(Sim, CloseWakesABlockedWaiterWithEbadf) {
  int ret = 0;
  int err = 0;
  std::thread t([&] {
    pvgen_sim_wait_blk w{};
    ret = ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w);
    err = errno;
  });
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kTimeoutMs), 0);
  ASSERT_EQ(close(fd_), 0);
  t.join();
  fd_ = -1;
  EXPECT_EQ(ret, -1);
  EXPECT_EQ(err, EBADF);
  EXPECT_EQ(stats().open_descriptors, 0u);
}

TEST_F(Sim, ResetRestoresDefaultsAndKeepsDescriptors) {
  ASSERT_EQ(pvgen_sim_fault_script("band:result=4"), 1);
  pvgen_sim_set_band_time_ns(kHourNs);
  pvgen_sim_gate_close();
  pvgen_sim_set_log_limit(2);
  pvgen_sim_reset();
  EXPECT_EQ(pvgen_sim_band_time_ns(), 0u);
  for (uint32_t job = 1; job <= 3; ++job)
    EXPECT_EQ(band(job), 0);
  EXPECT_EQ(wait_report().job_id, 1u) << "gate open and no band time after reset";
  EXPECT_EQ(stats().requests[PVGEN_SIM_BAND], 3u);
  EXPECT_EQ(stats().requests[PVGEN_SIM_OPEN], 0u);

  pvgen_sim_set_log_limit(2);
  EXPECT_EQ(band(4), 0);
  EXPECT_EQ(pvgen_sim_command_count(), 4u);
  pvgen_sim_command c{};
  EXPECT_EQ(pvgen_sim_command_get(1, &c), -1) << "the oldest entries are dropped";
  ASSERT_EQ(pvgen_sim_command_get(3, &c), 0);
  EXPECT_EQ(c.blk.job_id, 4u);
  EXPECT_EQ(pvgen_sim_command_get(4, &c), -1);
}

// Runs a shell command; returns its standard output and sets *status to its exit status.
std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr)
    return out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p))
    out.append(buf, n);
  const int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

#ifdef PVGEN_SIM_EMULATOR
// An emulated program cannot start another target program itself, so the tool only says
// (dry run) which environment it would set, and the emulator runs the program with it.
std::string under_tool(const std::string& options, const std::string& program) {
  const std::string emulator = PVGEN_SIM_EMULATOR;
  int status = 0;
  std::istringstream plan(
      run(emulator + " " + PVGEN_SIM_TOOL + " -n " + options + " -- " + program, &status));
  std::string command = emulator;
  for (std::string line; std::getline(plan, line);) {
    if (plan.peek() == EOF)
      return command + " " + line;  // the last line: the program
    command += " -E '" + line + "'";
  }
  return "false";
}
#else
std::string under_tool(const std::string& options, const std::string& program) {
  return std::string(PVGEN_SIM_TOOL) + " " + options + " -- " + program;
}
#endif

TEST(SimPreload, AProgramThatKnowsNothingOfTheSimulatorRunsAgainstIt) {
#ifdef PVGEN_SIM_EMULATOR
  const std::string prog = std::string(PVGEN_SIM_EMULATOR) + " " + PVGEN_SIM_PRELOAD_PROG;
#else
  const std::string prog = PVGEN_SIM_PRELOAD_PROG;
#endif
  int status = 0;
  EXPECT_EQ(run(prog, &status), "open failed: No such file or directory\n");
  EXPECT_EQ(status, 2);

  char stats_path[] = "/tmp/pvgen_sim_statsXXXXXX";
  const int stats_fd = mkstemp(stats_path);
  ASSERT_GE(stats_fd, 0);
  close(stats_fd);
  EXPECT_EQ(
      run(under_tool(std::string("-b 1ms -s") + stats_path, PVGEN_SIM_PRELOAD_PROG " 42"), &status),
      "band result=0\n"
      "report job_id=42 band_num=1 src0=81/101/1 dst0=0/1/1 plane_result=0x2a0001 "
      "result=0\n");
  EXPECT_EQ(status, 0);
  std::ifstream in(stats_path);
  std::stringstream dump;
  dump << in.rdbuf();
  std::remove(stats_path);
  for (const char* line : {"requests.open=1\n", "requests.band=1\n", "requests.wait=1\n",
                           "requests.close=1\n", "reports=1\n", "busy_ns=1000000\n"}) {
    EXPECT_NE(dump.str().find(line), std::string::npos) << line << "in:\n" << dump.str();
  }

  EXPECT_EQ(run(under_tool("-f 'band:result=9'", PVGEN_SIM_PRELOAD_PROG), &status),
            "band result=9\n"
            "report job_id=7 band_num=0 src0=0/0/0 dst0=0/0/0 plane_result=0x0 result=4\n");
  EXPECT_EQ(run(under_tool("--faults='open#1:errno=EACCES'", PVGEN_SIM_PRELOAD_PROG), &status),
            "open failed: Permission denied\n");
  EXPECT_EQ(status, 2);
  const std::string out =
      run(under_tool("-f 'band#x:oops'", PVGEN_SIM_PRELOAD_PROG) + " 2>&1", &status);
  EXPECT_NE(out.find("pvgen-sim: malformed PVGEN_SIM_FAULTS"), std::string::npos) << out;
  EXPECT_EQ(out.find("band result"), std::string::npos) << "stopped at start-up";
}

}  // namespace
