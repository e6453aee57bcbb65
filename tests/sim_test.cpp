// The simulated engine: reports, waits, gate, faults, timing, bad input, preloaded use.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pvgen_sim.h"

namespace {

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
    ASSERT_EQ(pvgen_sim_is_device(fd_), 1);
  }
  void TearDown() override { close(fd_); }

  // Sends a command of kind PVGEN_SIM_PAGE_START, _BAND or _STOP; returns the ioctl's value.
  int send(int kind, pvgen_sim_cmd_blk& b) {
    return ioctl(fd_, PVGEN_SIM_IOC_PAGE_START + kind, &b);
  }
  int32_t band(uint32_t job_id) {
    pvgen_sim_cmd_blk b{};
    b.job_id = job_id;
    EXPECT_EQ(send(PVGEN_SIM_BAND, b), 0);
    return b.result;
  }
  pvgen_sim_wait_blk wait_report() {
    pvgen_sim_wait_blk w{};
    EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w), 0);
    return w;
  }

  int fd_ = -1;
};

TEST_F(Sim, WaitsBlockAndReportsComeInCommandOrderWithTheDocumentedWords) {
  pvgen_sim_wait_blk first{};
  std::thread waiter([&] { first = wait_report(); });
  ASSERT_EQ(pvgen_sim_wait_blocked(1, 30000), 0);  // nothing to take yet
  pvgen_sim_gate_close();
  pvgen_sim_cmd_blk start{};
  start.dst[1] = {0xD1, 2000, 5};
  ASSERT_EQ(send(PVGEN_SIM_PAGE_START, start), 0);
  for (uint32_t j = 1; j <= 3; ++j) {
    pvgen_sim_cmd_blk b{};
    b.job_id = 10 + j;
    b.src[0] = {0x50 + j, 10 * j, 77};
    ASSERT_EQ(send(PVGEN_SIM_BAND, b), 0);
  }
  EXPECT_EQ(stats().pending_reports, 3u) << "a band-page start reports nothing";
  EXPECT_EQ(stats().blocked_waiters, 1u) << "the gate holds due reports";
  pvgen_sim_gate_release(1);
  waiter.join();
  pvgen_sim_gate_open();
  for (uint32_t n = 1; n <= 3; ++n) {
    const pvgen_sim_wait_blk w = n == 1 ? first : wait_report();
    EXPECT_EQ(w.job_id, 10 + n);
    EXPECT_EQ(w.band_num, 1);
    EXPECT_TRUE(same(w.src[0], 0x50 + n, 10 * n + 1, n));
    EXPECT_TRUE(same(w.dst[1], 0xD1, 2000 + n, n));
    EXPECT_EQ(w.plane_result, ((10 + n) << 16) | n);
    EXPECT_EQ(w.result, 0);
  }
}

TEST_F(Sim, EachFaultKindAnswersAsScripted) {
  const struct {
    const char* script;
    int kind, ret, err, result, band_num;  // kind: the request hit (a wait takes a band's report)
    uint32_t left;                         // reports still queued afterwards
  } cases[] = {
      {"start:result=5", PVGEN_SIM_PAGE_START, 0, 0, 5, 0, 0},
      {"stop:result=2", PVGEN_SIM_STOP, 0, 0, 2, 0, 0},
      {"band:result=9", PVGEN_SIM_BAND, 0, 0, 9, 0, 1},  // the band still reports
      {"band:errno=EIO,result=7", PVGEN_SIM_BAND, -1, EIO, 7, 0, 1},
      {"wait:again", PVGEN_SIM_WAIT, 0, 0, PVGEN_SIM_RESULT_AGAIN, 0, 1},
      {"wait:band_num=2", PVGEN_SIM_WAIT, 0, 0, 0, 2, 0},
      {"wait:result=1", PVGEN_SIM_WAIT, 0, 0, 1, 1, 0},
      {"wait:errno=EIO", PVGEN_SIM_WAIT, -1, EIO, 0, 0, 0},  // the report is dropped
      {"open:errno=EACCES", PVGEN_SIM_OPEN, -1, EACCES, 0, 0, 0},
  };
  for (const auto& c : cases) {
    pvgen_sim_reset();
    ASSERT_EQ(pvgen_sim_fault_script(c.script), 1) << c.script;
    pvgen_sim_cmd_blk b{};
    pvgen_sim_wait_blk w{};
    if (c.kind == PVGEN_SIM_WAIT) {
      EXPECT_EQ(band(1), 0);
    }
    const int ret = c.kind == PVGEN_SIM_WAIT   ? ioctl(fd_, PVGEN_SIM_IOC_WAIT, &w)
                    : c.kind == PVGEN_SIM_OPEN ? open(PVGEN_SIM_DEVICE, O_RDWR)
                                               : send(c.kind, b);
    const int err = ret == -1 ? errno : 0;
    EXPECT_EQ(ret, c.ret) << c.script;
    EXPECT_EQ(err, c.err) << c.script;
    EXPECT_EQ(c.kind == PVGEN_SIM_WAIT ? w.result : b.result, c.result) << c.script;
    EXPECT_EQ(w.band_num, c.band_num) << c.script;
    EXPECT_EQ(stats().pending_reports, c.left) << c.script;
    EXPECT_EQ(stats().faults, 1u) << c.script;
    if (c.left != 0) {
      pvgen_sim_fault_clear();
      EXPECT_EQ(wait_report().result, c.kind == PVGEN_SIM_BAND ? PVGEN_SIM_RESULT_BAND_FAILED : 0);
    }
  }
}

// With an hour per band every command surely comes while the engine is still busy.
TEST_F(Sim, BackToBackBandsKeepTheEngineBusy) {
  pvgen_sim_set_band_time_ns(3600ull * 1000000000ull);
  EXPECT_EQ(band(1) + band(2) + band(3), 0);
  const pvgen_sim_stats s = stats();
  EXPECT_EQ(s.busy_ns, 3 * pvgen_sim_band_time_ns());
  EXPECT_EQ(s.last_completion_ns - s.first_band_ns, s.busy_ns);  // no idle time
}

// A wait sleeps until shortly before the report falls due and watches the clock from
// there: a band longer than that stretch takes both ways, a short one only the second.
TEST_F(Sim, LateCommandsLeaveTheEngineIdleAndWaitsEndAtCompletion) {
  for (const uint64_t band_ns : {uint64_t{1000000}, uint64_t{20000}}) {
    SCOPED_TRACE(band_ns);
    pvgen_sim_reset();
    pvgen_sim_set_band_time_ns(band_ns);
    EXPECT_EQ(band(1), 0);
    EXPECT_EQ(wait_report().job_id, 1u);
    EXPECT_EQ(band(2), 0);  // surely after band 1 completed: its report has been taken
    EXPECT_EQ(wait_report().job_id, 2u);
    pvgen_sim_command c2{};
    pvgen_sim_answer a1{}, a2{};
    ASSERT_EQ(pvgen_sim_command_get(1, &c2) + pvgen_sim_answer_get(0, &a1), 0);
    ASSERT_EQ(pvgen_sim_answer_get(1, &a2), 0);
    EXPECT_EQ(a2.due_ns, c2.time_ns + band_ns);
    EXPECT_GE(a1.time_ns, a1.due_ns);
    EXPECT_GE(a2.time_ns, a2.due_ns);
    const pvgen_sim_stats s = stats();
    EXPECT_EQ(s.busy_ns, 2 * band_ns);
    EXPECT_EQ(s.idle_ns, c2.time_ns - a1.due_ns);
    EXPECT_EQ(s.busy_ns + s.idle_ns, s.last_completion_ns - s.first_band_ns);
  }
}

TEST_F(Sim, BadInputIsAnsweredWithoutHarm) {
  // A refused script adds nothing, and the reason names the rule and its wrong part.
  const std::pair<const char*, const char*> bad_scripts[] = {
      {"band:again", "rule 'band:again': an action this kind of call cannot take"},
      {"bogus#1:result=1", "rule 'bogus#1:result=1': unknown kind 'bogus'"},
      {"band#0:result=1", "rule 'band#0:result=1': bad call number '0'"},
      {"wait#2x:again", "rule 'wait#2x:again': bad count ''"},
      {"band#1:errno=ENOPE", "rule 'band#1:errno=ENOPE': bad or repeated action 'errno=ENOPE'"},
      {"band#1:result=4; band:bogus", "rule 'band:bogus': bad or repeated action 'bogus'"},
      {"stop#1 result=2", "rule 'stop#1result=2': no ':' before the actions"},
  };
  for (const auto& [script, why] : bad_scripts) {
    EXPECT_EQ(pvgen_sim_fault_script(script), -1) << script;
    EXPECT_STREQ(pvgen_sim_fault_script_error(), why);
  }
  EXPECT_EQ(pvgen_sim_fault_script("wait#1:again"), 1);
  EXPECT_STREQ(pvgen_sim_fault_script_error(), "");
  pvgen_sim_fault_clear();
  pvgen_sim_cmd_blk b{};
  EXPECT_EQ(ioctl(fd_, 0xC8E4DF07u, &b), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(ioctl(fd_, PVGEN_SIM_IOC_BAND_EXE, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  b.asic = 1;
  ASSERT_EQ(send(PVGEN_SIM_BAND, b), 0);
  EXPECT_EQ(b.result, PVGEN_SIM_RESULT_BAD_UNIT);
  EXPECT_EQ(wait_report().result, PVGEN_SIM_RESULT_BAND_FAILED) << "the band still reports";
  EXPECT_EQ(stats().bad_requests, 2u);
}

// Reports queue in a ring that wraps and grows while reports are taken; a stop turns the
// running page behind them into its final report and leaves the band reports alone.
TEST_F(Sim, QueuedReportsSurviveWrappingGrowthAndAStop) {
  pvgen_sim_cmd_blk start{};
  start.dst[0] = {0xD0, 100, 9};
  ASSERT_EQ(send(PVGEN_SIM_PAGE_START, start), 0);
  uint32_t sent = 0;
  uint32_t taken = 0;
  auto bands = [&](uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      pvgen_sim_cmd_blk b{};
      b.job_id = ++sent;
      b.src[2] = {0x52, 1000 * sent, 0};
      ASSERT_EQ(send(PVGEN_SIM_BAND, b), 0);
    }
  };
  auto take = [&](uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t n = ++taken;
      const pvgen_sim_wait_blk w = wait_report();
      ASSERT_EQ(w.job_id, n);
      EXPECT_TRUE(same(w.src[2], 0x52, 1000 * n + 1, n));
      EXPECT_TRUE(same(w.dst[0], 0xD0, 100 + n, n));
      EXPECT_EQ(w.plane_result, (n << 16) | n);
    }
  };
  bands(40);
  take(30);
  bands(150);  // past the first storage, with the oldest report not at its start
  pvgen_sim_set_band_time_ns(3600ull * 1000000000ull);
  pvgen_sim_cmd_blk page{};
  page.job_id = 77;
  page.mode = 2;
  page.band_total = 5;
  page.ring[1] = {0x71, 50, 0};
  ASSERT_EQ(send(PVGEN_SIM_PAGE_START, page), 0);
  EXPECT_EQ(stats().pending_reports, 160u + 5u);
  pvgen_sim_cmd_blk stop{};
  ASSERT_EQ(send(PVGEN_SIM_STOP, stop), 0);
  EXPECT_EQ(stats().pending_reports, 161u);
  EXPECT_EQ(stats().busy_ns, 0u) << "the page's hours are given back";
  EXPECT_EQ(stats().bands_run, 190u);
  take(160);
  const pvgen_sim_wait_blk last = wait_report();
  EXPECT_EQ(last.job_id, 77u);
  EXPECT_EQ(last.band_num, 0);
  EXPECT_TRUE(same(last.src[1], 0, 0, 0));
  EXPECT_EQ(last.result, PVGEN_SIM_RESULT_STOPPED);
  EXPECT_EQ(stats().pending_reports, 0u);
}

// Requests alternate between two descriptors; closing one under a blocked wait wakes it with
// EBADF and later requests on the number go to the C library.
TEST_F(Sim, DescriptorsKeepTheirOwnReportsAndACloseWakesItsWaiter) {
  const int other = open(PVGEN_SIM_DEVICE, O_RDWR);
  ASSERT_EQ(pvgen_sim_is_device(other), 1);
  pvgen_sim_cmd_blk b{};
  b.job_id = 2;
  ASSERT_EQ(ioctl(other, PVGEN_SIM_IOC_BAND_EXE, &b), 0);
  EXPECT_EQ(band(1), 0);
  pvgen_sim_wait_blk w{};
  ASSERT_EQ(ioctl(other, PVGEN_SIM_IOC_WAIT, &w), 0);
  EXPECT_EQ(w.job_id, 2u);
  EXPECT_EQ(wait_report().job_id, 1u);
  int ret = 0;
  int err = 0;
  std::thread waiter([&] {
    pvgen_sim_wait_blk blocked{};
    ret = ioctl(other, PVGEN_SIM_IOC_WAIT, &blocked);
    err = errno;
  });
  ASSERT_EQ(pvgen_sim_wait_blocked(1, 30000), 0);
  EXPECT_EQ(close(other), 0);
  waiter.join();
  EXPECT_EQ(ret, -1);
  EXPECT_EQ(err, EBADF);
  EXPECT_EQ(pvgen_sim_is_device(other), 0);
  EXPECT_EQ(ioctl(other, PVGEN_SIM_IOC_BAND_EXE, &b), -1);
#ifdef PVGEN_SIM_EMULATOR
  // The call goes to the system; qemu-user refuses a request number it does not know
  // (ENOSYS) before it looks at the descriptor.
  EXPECT_TRUE(errno == EBADF || errno == ENOSYS) << errno;
#else
  EXPECT_EQ(errno, EBADF);
#endif
  EXPECT_EQ(band(3), 0);
  EXPECT_EQ(wait_report().job_id, 3u);
  pvgen_sim_answer a{};
  ASSERT_EQ(pvgen_sim_answer_get(2, &a), 0);
  EXPECT_EQ(a.fd, other);
  EXPECT_EQ(a.ret, -1);
  EXPECT_EQ(a.err, EBADF);
  EXPECT_EQ(a.took_report, 0);
}

// The logs keep the newest entries whole, through wrapping and a change of their limit.
TEST_F(Sim, LogsKeepTheNewestEntriesWhole) {
  pvgen_sim_set_log_limit(3);
  auto command = [&](uint32_t job_id) {
    pvgen_sim_cmd_blk b{};
    b.job_id = job_id;
    b.conv_table[0] = static_cast<uint8_t>(job_id);
    b.conv_table[sizeof b.conv_table - 1] = static_cast<uint8_t>(~job_id);
    ASSERT_EQ(send(PVGEN_SIM_BAND, b), 0);
    EXPECT_EQ(wait_report().job_id, job_id);
  };
  auto logged = [](size_t index) {
    pvgen_sim_command c{};
    pvgen_sim_answer a{};
    if (pvgen_sim_command_get(index, &c) != 0 || pvgen_sim_answer_get(index, &a) != 0)
      return uint32_t{0};
    EXPECT_EQ(c.code, PVGEN_SIM_IOC_BAND_EXE);
    EXPECT_EQ(c.blk.conv_table[0], static_cast<uint8_t>(c.blk.job_id));
    EXPECT_EQ(c.blk.conv_table[sizeof c.blk.conv_table - 1], static_cast<uint8_t>(~c.blk.job_id));
    EXPECT_EQ(a.blk.job_id, c.blk.job_id);
    EXPECT_GE(a.time_ns, a.due_ns);
    return c.blk.job_id;
  };
  for (uint32_t j = 1; j <= 5; ++j)
    command(j);
  EXPECT_EQ(pvgen_sim_command_count(), 5u);
  EXPECT_EQ(logged(1), 0u) << "dropped";
  EXPECT_EQ(logged(2) * 100 + logged(3) * 10 + logged(4), 345u);
  pvgen_sim_set_log_limit(4);
  command(6);
  command(7);
  EXPECT_EQ(logged(2), 0u);
  EXPECT_EQ(logged(3) * 1000 + logged(4) * 100 + logged(5) * 10 + logged(6), 4567u);
  pvgen_sim_set_log_limit(2);
  EXPECT_EQ(logged(4), 0u);
  EXPECT_EQ(logged(5) * 10 + logged(6), 67u);
}

// Runs a shell command; returns its output and sets *status to its exit status.
std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) {
    out.append(buf, n);
  }
  const int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

#ifdef PVGEN_SIM_EMULATOR
// An emulated program cannot start another target program itself, so the tool only says
// (dry run) which environment it would set, and the emulator runs the program with it.
const std::string kEmulator = PVGEN_SIM_EMULATOR " ";
std::string under_tool(const std::string& options, const std::string& args = "") {
  int status = 0;
  std::istringstream plan(run(
      kEmulator + PVGEN_SIM_TOOL " -n " + options + " -- " PVGEN_SIM_PRELOAD_PROG + args, &status));
  std::string command = PVGEN_SIM_EMULATOR;
  for (std::string line; std::getline(plan, line);) {
    command += plan.peek() == EOF ? " " + line : " -E '" + line + "'";  // last: the program
  }
  return command;
}
#else
const std::string kEmulator;
std::string under_tool(const std::string& options, const std::string& args = "") {
  return PVGEN_SIM_TOOL " " + options + " -- " PVGEN_SIM_PRELOAD_PROG + args;
}
#endif

TEST(SimPreload, AProgramThatKnowsNothingOfTheSimulatorRunsAgainstIt) {
  int status = 0;
  EXPECT_EQ(run(kEmulator + PVGEN_SIM_PRELOAD_PROG, &status),
            "open failed: No such file or directory\n");
  EXPECT_EQ(status, 2);
  std::string out = run(under_tool("-b 1ms -s", " 42") + " 2>&1", &status);
  for (const char* part : {"band result=0\nreport job_id=42 band_num=1 src0=81/101/1 dst0=0/1/1 "
                           "plane_result=0x2a0001 result=0\n",
                           "requests.band=1\n", "busy_ns=1000000\n", "utilisation=1.000000\n"}) {
    EXPECT_NE(out.find(part), std::string::npos) << part << " in:\n" << out;
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run(under_tool("-f 'band:result=9'"), &status),
            "band result=9\n"
            "report job_id=7 band_num=0 src0=0/0/0 dst0=0/0/0 plane_result=0x0 result=4\n");
  out = run(under_tool("-f 'band#x:oops'") + " 2>&1", &status);
  EXPECT_NE(out.find("sim_preload_prog: simulated engine: malformed PVGEN_SIM_FAULTS"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("band result"), std::string::npos) << "stopped at start-up";
}

}  // namespace
