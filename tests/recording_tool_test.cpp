// The recorder, replay and pvgen-rec as a user runs them: programs of our own recorded on
// the simulated engine and replayed, a program that sends something else stopped at that
// call, bad recordings refused, the buffer's drops counted, the timeline of a recording.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "recording.h"
#include "recording_reader.h"
#include "support/tool_process.h"

namespace {

using tool_process::read_file;
using tool_process::shell;

// Files of this process go into a folder of its own, made afresh and removed at exit: a
// name left behind by an earlier process with the same number (a fifo, which mkfifo will
// not make over) cannot get in the way, and nothing is left behind.
std::string temp(const std::string& name) {
  static const std::string dir = [] {
    std::string pattern = testing::TempDir() + "pvgen-rec-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    static std::string made;
    made = pattern;
    std::atexit([] { std::filesystem::remove_all(made); });
    return pattern + "/";
  }();
  return dir + name;
}

#ifdef PVGEN_EMULATOR
// An emulated program cannot start another target program itself: pvgen-sim says (dry run)
// which environment it would set, and the emulator runs the program with it.
const std::string kEmulator = PVGEN_EMULATOR " ";
std::string under_sim(const std::string& options, const std::string& program) {
  std::istringstream plan(
      shell(kEmulator + PVGEN_SIM_TOOL " -n " + options + " -- " + program).second);
  std::string command = PVGEN_EMULATOR;
  for (std::string line; std::getline(plan, line);)
    command += plan.peek() == EOF ? " " + line : " -E '" + line + "'";
  return command;
}
#else
const std::string kEmulator;
std::string under_sim(const std::string& options, const std::string& program) {
  return std::string("env -u LD_PRELOAD " PVGEN_SIM_TOOL " ") + options + " -- " + program;
}
#endif

const std::string kProg = RECORDING_PROG;
const std::string kRec = kEmulator + PVGEN_REC_TOOL;

struct Outcome {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

Outcome run(const std::string& command) {
  const std::string err_file = temp("stderr");
  auto [status, out] = shell(command + " 2>" + err_file);
  return {status, out, read_file(err_file)};
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RecordReplay, AProgramWithAFaultMixReplaysWithTheSameOutcomes) {
  const std::string file = temp("faults.rec");
  const Outcome recorded =
      run(under_sim("-b 100us -f 'band#2:result=4;wait#3:again;wait#4:errno=EIO;"
                    "wait#5:result=2;wait#6:band_num=2' --record " +
                        file,
                    kProg + " 6"));
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  for (const char* part : {"band 2: result 4, wait 0 errno 0, report job_id=2 band_num=0 result=4",
                           "band 3: result 0, wait 0 errno 0, report job_id=0 band_num=0 result=3",
                           "band 4: result 0, wait -1 errno 5", "result=2\n", "band_num=2 "})
    EXPECT_TRUE(has(recorded.out, part)) << part << " in\n" << recorded.out;
  const Outcome text = run(kRec + " print " + file);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(has(text.out, "errno=EIO")) << text.out;

  // The faulty answers are in the recording: its replay needs no rules.
  const Outcome replayed = run(under_sim("--replay " + file, kProg + " 6"));
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, "");
}

#ifndef PVGEN_EMULATOR
// The summary's outcome figures (everything before the times).
std::string outcomes_of(const std::string& json) {
  const size_t end = json.find("\"wall_time_s\"");
  return json.substr(0, end) + json.substr(json.find("\"status\""));
}

TEST(RecordReplay, PvgenRunWithFaultsReplaysWithTheSameOutcomesAndItsTimelineHasEveryBand) {
  const std::string file = temp("run.rec");
  const std::string run_cmd = std::string(PVGEN_RUN_PATH) + " --pages 2 --bands 8 --json";
  // Faults that end no page early: which bands a page sends before it ends early depends
  // on timing (see StressRunsReplayOrReportWhereTheyDiffer).
  const Outcome recorded = run(under_sim(
      "-b 50us -f 'wait#2:again;wait#6:result=1;stop:result=2' --record " + file, run_cmd));
  ASSERT_EQ(recorded.status, 1) << "a band in completion state 1\n" << recorded.err;
  ASSERT_TRUE(has(recorded.out, "\"outcomes\":{\"0\":15,\"1\":1}")) << recorded.out;
  const Outcome replayed = run(under_sim("--replay " + file, run_cmd));
  ASSERT_EQ(replayed.status, recorded.status) << replayed.err;
  EXPECT_EQ(outcomes_of(replayed.out), outcomes_of(recorded.out));

  // The timeline of the recording alone: one engine slice per band the engine ran.
  const std::string json = temp("run.json");
  const Outcome timeline = run(kRec + " timeline " + file + " " + json);
  ASSERT_EQ(timeline.status, 0) << timeline.err;
  const std::string trace = read_file(json);
  size_t slices = 0;
  for (size_t at = 0; (at = trace.find("\"cat\":\"engine\"", at)) != std::string::npos; ++at)
    ++slices;
  const size_t at = recorded.out.find("\"bands_run\":");
  ASSERT_NE(at, std::string::npos) << recorded.out;
  const size_t ran = std::stoul(recorded.out.substr(at + 12));
  EXPECT_EQ(slices, ran);
  EXPECT_GT(ran, 10u);
  for (const char* lane :
       {"\"name\":\"engine\"", "\"name\":\"quorl_pvgen_ch ", "\"name\":\"quorl_pvgen_ctr "})
    EXPECT_TRUE(has(trace, lane)) << lane;
  EXPECT_EQ(run(kRec + " timeline " + file + " " + temp("run.html")).status, 0);
  EXPECT_TRUE(has(read_file(temp("run.html")), "\"cat\":\"engine\""));
}
#endif

TEST(RecordReplay, AProgramThatSendsADifferentBandIsStoppedAtThatCall) {
  const std::string file = temp("five.rec");
  ASSERT_EQ(run(under_sim("--record " + file, kProg + " 5")).status, 0);

  // Band 3 goes out with job_id 103: call 6 (open, then a band and a wait per band).
  const Outcome changed = run(under_sim("--replay " + file, kProg + " 5 3"));
  EXPECT_EQ(changed.status, PVGEN_SIM_REPLAY_DIVERGED);
  EXPECT_FALSE(has(changed.out, "band 3: ")) << "stopped at the band itself\n" << changed.out;
  for (const char* part :
       {"replay diverged: call 6 of the program (thread ", "): ioctl BAND_EXE on descriptor ",
        "expected: recorded call 6 (thread ", "    field              recorded       actual\n",
        "    job_id                    3          103   <- differs\n",
        "    src0.word1              300          300\n"})
    EXPECT_TRUE(has(changed.err, part)) << part << " in\n" << changed.err;

  const Outcome fewer = run(under_sim("--replay " + file, kProg + " 4"));
  EXPECT_EQ(fewer.status, PVGEN_SIM_REPLAY_DIVERGED);
  EXPECT_TRUE(has(fewer.err,
                  "the program ended after 10 calls on the device, but the recording "
                  "goes on with recorded call 10 (thread "))
      << fewer.err;
  const Outcome more = run(under_sim("--replay " + file, kProg + " 6"));
  EXPECT_EQ(more.status, PVGEN_SIM_REPLAY_DIVERGED);
  EXPECT_TRUE(has(more.err, "call 12 of the program")) << more.err;
  EXPECT_TRUE(has(more.err, "expected: nothing")) << more.err;
}

TEST(RecordReplay, AHandWrittenScenarioAndAForeignByteOrderAreAnswered) {
  const std::string text = temp("scenario.txt");
  const std::string file = temp("scenario.rec");
  FILE* f = std::fopen(text.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(
      "# band 1 answers completion state 2, band 2 is refused\n"
      "pvgen-recording version=1 byte-order=big\n"
      "open fd=3\n"
      "ioctl BAND_EXE fd=3\n"
      "  given job_id=1 src0.id=0x51 src0.word1=100 conv_table=a5\n"
      "ioctl WAIT fd=3\n"
      "  answer job_id=1 band_num=1 result=2\n"
      "ioctl BAND_EXE fd=3\n"
      "  given job_id=2 src0.id=0x51 src0.word1=200 conv_table=a5\n"
      "  answer result=4\n"
      "ioctl WAIT fd=3 ret=-1 errno=EIO\n"
      "close fd=3\n",
      f);
  std::fclose(f);
  const Outcome built = run(kRec + " build " + text + " " + file);
  ASSERT_EQ(built.status, 0) << built.err;
  const Outcome replayed = run(under_sim("--replay " + file, kProg + " 2"));
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(replayed.out,
            "band 1: result 0, wait 0 errno 0, report job_id=1 band_num=1 result=2\n"
            "band 2: result 4, wait -1 errno 5, report job_id=0 band_num=0 result=0\n"
            "done\n");
  // Printed again, the file gives back the text's meaning; built again, the same bytes.
  const Outcome printed = run(kRec + " print " + file);
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_TRUE(has(printed.out, "byte-order=big")) << printed.out;
  const Outcome again =
      run("echo '" + printed.out + "' | " + kRec + " build - " + temp("again.rec"));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(temp("again.rec")), read_file(file));
}

// Made on the big-endian target (the ppc build under qemu-ppc, band time 200 us, faults
// 'band#2:result=4;wait#3:again;wait#4:errno=EIO'): recording_prog 4 there printed this.
TEST(RecordReplay, ARecordingMadeOnTheBigEndianTargetReplaysHere) {
  const std::string file = PVGEN_TEST_DATA "/recording_prog-4-ppc.rec";
  const Outcome printed = run(kRec + " print " + file);
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_TRUE(has(printed.out, "byte-order=big")) << printed.out;
  const Outcome replayed = run(under_sim("--replay " + file, kProg + " 4"));
  EXPECT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(replayed.out,
            "band 1: result 0, wait 0 errno 0, report job_id=1 band_num=1 result=0\n"
            "band 2: result 4, wait 0 errno 0, report job_id=2 band_num=0 result=4\n"
            "band 3: result 0, wait 0 errno 0, report job_id=0 band_num=0 result=3\n"
            "band 4: result 0, wait -1 errno 5, report job_id=0 band_num=0 result=0\n"
            "done\n");
}

TEST(RecordReplay, BadRecordingsAreRefusedNamingWhereAndNothingElseHappens) {
  const std::string file = temp("good.rec");
  ASSERT_EQ(run(under_sim("--record " + file, kProg + " 2")).status, 0);
  const std::string bytes = read_file(file);
  const std::string cut = temp("cut.rec");
  {
    FILE* f = std::fopen(cut.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size() - 100, f);  // into the last wait
    std::fclose(f);
  }
  const Outcome printed = run(kRec + " print " + cut);
  EXPECT_EQ(printed.status, 1);
  EXPECT_EQ(printed.out, "");
  EXPECT_TRUE(has(printed.err, "pvgen-rec: " + cut + ": offset ")) << printed.err;
  EXPECT_TRUE(has(printed.err, ": truncated: the record needs 272 bytes, 236 are left"))
      << printed.err;

  // --partial: the records before the cut one, then the same error.
  const Outcome partial = run(kRec + " print --partial " + cut);
  EXPECT_EQ(partial.status, 1);
  EXPECT_EQ(partial.err, printed.err);
  EXPECT_TRUE(has(partial.out, "ioctl BAND_EXE ")) << partial.out;
  EXPECT_EQ(run(kRec + " print " + file).out.find(partial.out), 0u) << "a prefix of the whole";

  const Outcome replayed = run(under_sim("--replay " + cut, kProg + " 2"));
  EXPECT_EQ(replayed.status, 2);
  EXPECT_EQ(replayed.out, "") << "the program did not run";
  EXPECT_TRUE(has(replayed.err, "pvgen-sim: cannot replay " + cut + ": offset ")) << replayed.err;

  const std::string text = temp("bad.txt");
  const std::string out = temp("never.rec");
  {
    FILE* f = std::fopen(text.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("pvgen-recording version=1\nopen fd=3\nioctl WAIT fd=3\n  answer reslt=2\n", f);
    std::fclose(f);
  }
  const Outcome built = run(kRec + " build " + text + " " + out);
  EXPECT_EQ(built.status, 1);
  EXPECT_EQ(built.err, "pvgen-rec: " + text + ": line 4: unknown field 'reslt' in a wait block\n");
  EXPECT_NE(access(out.c_str(), F_OK), 0) << "nothing written";

  EXPECT_EQ(run(kRec).status, 2);
  EXPECT_EQ(run(kRec + " print").status, 2);
  EXPECT_EQ(run(kRec + " timeline " + file + " " + temp("t.txt")).status, 2);
  EXPECT_EQ(run(kRec + " frobnicate x").status, 2);
  const Outcome help = run(kRec + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(has(help.out, "Exit status:"));
  EXPECT_EQ(run(kEmulator + PVGEN_SIM_TOOL " --record a --replay b -- true").status, 2);
  EXPECT_EQ(run(kEmulator + PVGEN_SIM_TOOL " --replay " + file + " -f band:again -- true").status,
            2);
}

#ifndef PVGEN_EMULATOR
// The writer is held up by a pipe nobody reads until the program has made all its calls: a
// buffer of 2 records then drops most of them, and the recording says how many.
TEST(Recorder, AFullBufferDropsRecordsAndTheRecordingCountsThem) {
  const std::string fifo = temp("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int bands = 40;
  FILE* prog = popen(("PVGEN_RECORD_BUFFER=2 " +
                      under_sim("--record " + fifo, kProg + " " + std::to_string(bands)))
                         .c_str(),
                     "r");
  ASSERT_NE(prog, nullptr);
  const int in = open(fifo.c_str(), O_RDONLY);  // the recorder opens it at load time
  ASSERT_GE(in, 0);
  char line[256];
  std::string out;
  while (!has(out, "done\n") && std::fgets(line, sizeof line, prog) != nullptr)
    out += line;
  ASSERT_TRUE(has(out, "done\n")) << out;
  std::string bytes;
  char buf[65536];
  ssize_t n = 0;
  while ((n = read(in, buf, sizeof buf)) > 0)
    bytes.append(buf, static_cast<size_t>(n));
  close(in);
  EXPECT_EQ(pclose(prog), 0);

  pvgen_rec::Reader reader;
  ASSERT_TRUE(reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
      << reader.error();
  pvgen_rec::Record r;
  size_t calls = 0, dropped = 0;
  int got = 0;
  while ((got = reader.next(r)) > 0)
    (r.type == pvgen_rec::kDroppedRecord ? dropped += r.dropped : ++calls);
  ASSERT_EQ(got, 0) << reader.error();
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(calls + dropped, 1u + 2u * bands + 1u) << "every call recorded or counted";
}

// A program linked against the simulator (it stands in for the driver underneath): the
// recorder that pvgen-record preloads comes before it.
TEST(Recorder, PvgenRecordRecordsOverTheDriverUnderneath) {
  const std::string file = temp("linked.rec");
  const Outcome recorded = run(std::string("env -u LD_PRELOAD " PVGEN_RECORD_TOOL " ") + file +
                               " -- " + RECORDING_PROG_LINKED " 3");
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  const Outcome printed = run(kRec + " print " + file);
  ASSERT_EQ(printed.status, 0) << printed.err;
  size_t bands = 0;
  for (size_t at = 0; (at = printed.out.find("ioctl BAND_EXE", at)) != std::string::npos; ++at)
    ++bands;
  EXPECT_EQ(bands, 3u) << printed.out;
  EXPECT_TRUE(has(printed.out, "  answer job_id=3 band_num=1 ")) << printed.out;
  EXPECT_EQ(run(std::string(PVGEN_RECORD_TOOL " --buffer 0 x -- true")).status, 2);
  EXPECT_EQ(run(std::string(PVGEN_RECORD_TOOL " x")).status, 2);
}

// Several submitting threads: the command order depends on timing, each command still gets
// the answer recorded for the same command. Pages stopped early and stops from another
// thread change which commands are sent at all; replay then reports the first command the
// recording has no answer for, and never answers one wrongly.
TEST(RecordReplay, StressRunsReplayOrReportWhereTheyDiffer) {
  const std::string file = temp("stress.rec");
  const std::string threads = std::string(PVGEN_STRESS_PATH) +
                              " --quiet --watchdog 10 --threads 3 --pages 10 --bands 10 "
                              "--early-stop 0 --seed 2";
  ASSERT_EQ(run("PVGEN_RECORD_BUFFER=4096 " + under_sim("--record " + file, threads)).status, 0);
  const Outcome replayed = run(under_sim("--replay " + file, threads));
  EXPECT_EQ(replayed.status, 0) << replayed.err;

  const std::string racing = std::string(PVGEN_STRESS_PATH) +
                             " --quiet --watchdog 10 --threads 3 --pages 10 --bands 10 "
                             "--stopper --faults --seed 3";
  ASSERT_EQ(run("PVGEN_RECORD_BUFFER=4096 " + under_sim("--record " + file, racing)).status, 0);
  const Outcome raced = run(under_sim("--replay " + file, racing));
  EXPECT_TRUE(raced.status == 0 || raced.status == PVGEN_SIM_REPLAY_DIVERGED)
      << "status " << raced.status << "\n"
      << raced.err;
  if (raced.status != 0) {
    EXPECT_TRUE(has(raced.err, "pvgen-sim: replay diverged: ")) << raced.err;
  }
}
#endif

}  // namespace
