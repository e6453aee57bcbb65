// The recording format: records of every kind read back the same in either byte order, the
// text form gives back the same bytes, and bad files and texts are refused with the offset
// or line and what is wrong.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording.h"
#include "recording_reader.h"
#include "recording_text.h"
#include "recording_writer.h"

namespace {

using namespace pvgen_rec;

Record call(CallKind kind, uint32_t request, uint64_t start, const char* thread) {
  Record r;
  r.kind = kind;
  r.request = request;
  r.start_ns = start;
  r.end_ns = start + 1500;
  r.tid = 4321;
  std::strncpy(r.thread, thread, kNameSize);
  r.fd = 5;
  r.block_size = kind == kIoctl ? block_size_of(request) : 0;
  return r;
}

// One of each: a failed open, an open, commands with and without conversion table, a
// refused band, a wait with a report, a wait answered "not yet", a null block, an unknown
// request, a failing close, a dropped record; thread names with blanks and odd bytes.
std::vector<Record> samples() {
  std::vector<Record> v;
  Record r = call(kOpen, 0x101002, 1000, "main");
  r.fd = r.ret = -1;
  r.err = EACCES;
  v.push_back(r);
  r = call(kOpen, 0x101002, 2000, "main thread");
  r.ret = 5;
  v.push_back(r);
  r = call(kIoctl, PVGEN_SIM_IOC_PAGE_START, 3000, "quorl_pvgen_ctr");
  r.given.cmd.job_id = 1;
  r.given.cmd.mode = 2;
  r.given.cmd.dst[1] = {0x6000, 7, 0xFFFFFFFF};
  r.given.cmd.band_total = 16;
  r.given.cmd.conv_table[0] = 0xA5;
  r.given.cmd.conv_table[2111] = 0x5A;
  r.answered = r.given;
  v.push_back(r);
  r = call(kIoctl, PVGEN_SIM_IOC_BAND_EXE, 4000, "x%#=\x01\xff");
  r.given.cmd.job_id = 2;
  r.given.cmd.src[0] = {0x51, 100, 0};
  r.answered = r.given;
  r.answered.cmd.result = 4;
  v.push_back(r);
  r = call(kIoctl, PVGEN_SIM_IOC_WAIT, 5000, "quorl_pvgen_ch");
  r.answered.wait.job_id = 2;
  r.answered.wait.band_num = -1;
  r.answered.wait.src[2] = {1, 2, 3};
  r.answered.wait.plane_result = 0x20001;
  r.answered.wait.result = 2;
  v.push_back(r);
  r = call(kIoctl, PVGEN_SIM_IOC_WAIT, 6000, "quorl_pvgen_ch");
  r.given.wait.asic = 1;
  r.answered = r.given;
  r.answered.wait.result = 3;
  v.push_back(r);
  r = call(kIoctl, PVGEN_SIM_IOC_STOP, 7000, "");
  r.block_size = 0;  // a null block
  r.ret = -1;
  r.err = EFAULT;
  v.push_back(r);
  r = call(kIoctl, 0x5401, 8000, "main");
  r.ret = -1;
  r.err = ENOTTY;
  v.push_back(r);
  r = Record{};
  r.type = kDroppedRecord;
  r.start_ns = 8500;
  r.dropped = 17;
  v.push_back(r);
  r = call(kClose, 0, 9000, "main");
  r.ret = -1;
  r.err = 4242;  // a number without a name
  v.push_back(r);
  return v;
}

FileHeader header(ByteOrder order) {
  FileHeader h;
  h.order = order;
  h.start_ns = 500;
  h.pid = 77;
  return h;
}

std::string encode(const std::vector<Record>& records, ByteOrder order) {
  std::string out;
  append_header(out, header(order));
  for (const Record& r : records)
    append_record(out, r, order);
  return out;
}

// Reads all records; the reader's error when one does not read.
std::string decode(const std::string& bytes, std::vector<Record>* out, FileHeader* h = nullptr) {
  Reader reader;
  if (!reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
    return reader.error();
  if (h != nullptr)
    *h = reader.header();
  Record r;
  int got = 0;
  while ((got = reader.next(r)) > 0)
    out->push_back(r);
  return got < 0 ? reader.error() : "";
}

void expect_same(const Record& a, const Record& b, size_t i) {
  SCOPED_TRACE("record " + std::to_string(i));
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.start_ns, b.start_ns);
  if (a.type == kDroppedRecord) {
    EXPECT_EQ(a.dropped, b.dropped);
    return;
  }
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.end_ns, b.end_ns);
  EXPECT_EQ(a.tid, b.tid);
  EXPECT_EQ(thread_name(a), thread_name(b));
  EXPECT_EQ(a.fd, b.fd);
  EXPECT_EQ(a.request, b.request);
  EXPECT_EQ(a.ret, b.ret);
  EXPECT_EQ(a.err, b.err);
  ASSERT_EQ(a.block_size, b.block_size);
  EXPECT_EQ(std::memcmp(a.given.bytes, b.given.bytes, a.block_size), 0);
  EXPECT_EQ(std::memcmp(a.answered.bytes, b.answered.bytes, a.block_size), 0);
}

TEST(RecordingFormat, EveryKindOfRecordReadsBackTheSameInEitherByteOrder) {
  const std::vector<Record> in = samples();
  const std::string little = encode(in, ByteOrder::kLittle);
  const std::string big = encode(in, ByteOrder::kBig);
  ASSERT_EQ(little.size(), big.size());
  // Words are in the file's order; the conversion table is bytes in both.
  EXPECT_EQ(little.substr(10, 2), std::string("\x01\x00", 2));
  EXPECT_EQ(big.substr(10, 2), std::string("\x00\x01", 2));
  const size_t page_start = kFileHeaderSize + 2 * kCallHeaderSize;
  EXPECT_EQ(big.substr(page_start + 48, 4), std::string("\xC8\xE4\xDF\x00", 4));
  EXPECT_EQ(little.substr(page_start + 48, 4), std::string("\x00\xDF\xE4\xC8", 4));
  const size_t table = page_start + kCallHeaderSize + kConvTableOffset;
  EXPECT_EQ(big.substr(table, 1), "\xA5");
  EXPECT_EQ(little.substr(table, 1), "\xA5");
  for (const std::string* bytes : {&little, &big}) {
    std::vector<Record> out;
    FileHeader h;
    ASSERT_EQ(decode(*bytes, &out, &h), "");
    EXPECT_EQ(h.order, bytes == &big ? ByteOrder::kBig : ByteOrder::kLittle);
    EXPECT_EQ(h.start_ns, 500u);
    EXPECT_EQ(h.pid, 77u);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
      expect_same(in[i], out[i], i);
  }
}

TEST(RecordingFormat, TextFormGivesBackTheSameBytes) {
  for (ByteOrder order : {ByteOrder::kLittle, ByteOrder::kBig}) {
    const std::string bytes = encode(samples(), order);
    std::vector<Record> records;
    FileHeader h;
    ASSERT_EQ(decode(bytes, &records, &h), "");
    std::string text = header_text(h);
    for (size_t i = 0; i < records.size(); ++i)
      text += record_text(records[i], h, i + 1);
    Parsed parsed;
    std::string error;
    ASSERT_TRUE(parse_text(text, parsed, error)) << error << "\n" << text;
    std::string again;
    append_header(again, parsed.header);
    for (const Record& r : parsed.records)
      append_record(again, r, parsed.header.order);
    EXPECT_EQ(again, bytes) << text;
  }
}

TEST(RecordingFormat, AHandWrittenTextListsOnlyWhatIsNotZero) {
  const std::string text =
      "# band 1 answers completion state 2\n"
      "pvgen-recording version=1 byte-order=big\n"
      "open fd=3\n"
      "ioctl BAND_EXE fd=3   # words not named are 0\n"
      "  given job_id=1 src0.id=0x51 conv_table=a5\n"
      "ioctl WAIT t=100000 fd=3\n"
      "  answer job_id=1 band_num=1 result=2\n"
      "close t=200000 fd=3\n";
  Parsed p;
  std::string error;
  ASSERT_TRUE(parse_text(text, p, error)) << error;
  ASSERT_EQ(p.records.size(), 4u);
  EXPECT_EQ(p.header.order, ByteOrder::kBig);
  EXPECT_EQ(p.records[0].ret, 3) << "an open returns its descriptor";
  EXPECT_EQ(p.records[1].given.cmd.src[0].id, 0x51u);
  EXPECT_EQ(p.records[1].given.cmd.conv_table[0], 0xA5);
  EXPECT_EQ(std::memcmp(&p.records[1].given, &p.records[1].answered, kCmdSize), 0)
      << "no answer line: the block comes back as given";
  EXPECT_EQ(p.records[2].answered.wait.result, 2);
  EXPECT_EQ(p.records[2].start_ns, 100000u);
}

TEST(RecordingFormat, BadFilesNameTheOffsetAndWhatIsWrong) {
  const std::string good = encode(samples(), ByteOrder::kBig);
  const size_t second = kFileHeaderSize + kCallHeaderSize;  // the first record has no block
  const size_t third = second + kCallHeaderSize;            // nor has the second
  struct Case {
    std::string bytes;
    std::string error;
  };
  auto patched = [&](size_t at, const std::string& with) {
    std::string b = good;
    b.replace(at, with.size(), with);
    return b;
  };
  const std::vector<Case> cases = {
      {"", "offset 0: not a pvgen recording"},
      {"hello, world, this is text and not a recording", "offset 0: not a pvgen recording"},
      {good.substr(0, 20), "offset 20: truncated file header: 32 bytes needed, 20 in the file"},
      {patched(8, "X"), "offset 8: unknown byte order 0x58 (expected 'L' or 'B')"},
      {patched(10, std::string("\x00\x02", 2)), "offset 10: unknown version 2"},
      {patched(10, std::string("\x02\x00", 2)), "offset 10: unknown version 512"},
      {good.substr(0, third + 100),
       "offset 160: record 3: truncated: the record needs 4616 bytes, 100 are left"},
      {good.substr(0, second + 10),
       "offset 96: record 2: truncated: 10 bytes left, a call record needs 64 or more"},
      {good.substr(0, second + 3), "offset 96: record 2: truncated: 3 bytes left"},
      {patched(second + 4, std::string("\x00\x09", 2)),
       "offset 100: record 2: unknown record type 9 (1 call, 2 dropped)"},
      {patched(second + 6, std::string("\x00\x07", 2)),
       "offset 102: record 2: unknown call kind 7"},
      {patched(second + 60, std::string("\x00\x00\x00\x68", 4)),
       "offset 156: record 2: block size 104 does not fit an open (expected 0)"},
      {patched(second, std::string("\x00\x00\x00\x41", 4)),
       "offset 96: record 2: record size 65 does not match its 0-byte blocks (expected 64)"},
      {patched(second + 16, std::string(8, '\0')), "offset 112: record 2: the call ends (0 ns)"},
      {patched(second + 28 + 12, "z"),
       "offset 136: record 2: thread name is not padded with zero bytes"},
  };
  for (const Case& c : cases) {
    std::vector<Record> out;
    const std::string error = decode(c.bytes, &out);
    EXPECT_EQ(error.compare(0, c.error.size(), c.error), 0)
        << "expected: " << c.error << "\n     got: " << error;
  }
  // A record after the bad one is never read.
  std::vector<Record> out;
  decode(good.substr(0, second + 10), &out);
  EXPECT_EQ(out.size(), 1u);
}

TEST(RecordingFormat, BadTextNamesTheLineAndWhatIsWrong) {
  const std::string head = "pvgen-recording version=1 byte-order=little start=0 pid=1\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "line 1: no header line"},
      {"open fd=3\n", "line 1: expected the header line"},
      {"pvgen-recording version=2\n", "line 1: unknown version '2'"},
      {"pvgen-recording version=1 byte-order=middle\n", "line 1: byte-order is 'little' or 'big'"},
      {head + "\nopen\n", "line 3: open needs fd=N"},
      {head + "ioctl BAND fd=3\n", "line 2: ioctl needs a request"},
      {head + "ioctl BAND_EXE fd=3\n  given jobid=1\n",
       "line 3: unknown field 'jobid' in a command block"},
      {head + "ioctl WAIT fd=3\n  answer result=x\n", "line 3: bad value 'x' for result"},
      {head + "ioctl WAIT fd=3\n  given band_num=4294967296\n", "line 3: bad value"},
      {head + "ioctl BAND_EXE fd=3\n  given conv_table=abc\n",
       "line 3: conv_table needs an even number of hex digits"},
      {head + "open fd=3\n  given job_id=1\n", "line 3: 'given' line without an ioctl"},
      {head + "ioctl WAIT fd=3\n  answer\n  given\n", "line 4: 'given' must come once"},
      {head + "ioctl STOP fd=3 block=null\n  given\n", "line 3: 'given' line without an ioctl"},
      {head + "read fd=3\n", "line 2: unknown record 'read'"},
      {head + "close fd=3 colour=red\n", "line 2: unknown field 'colour' of close"},
      {head + "open fd=3 thread=%zz\n", "line 2: bad thread name '%zz'"},
      {head + "open fd=3 thread=seventeen_bytes__\n", "line 2: bad thread name"},
      {head + "open fd=3 t=-1 dur=5\n", "line 2: t + dur passes the end of the clock"},
      {head + "dropped t=5\n", "line 2: a dropped record needs count=N"},
  };
  for (const auto& [text, expected] : cases) {
    Parsed p;
    std::string error;
    EXPECT_FALSE(parse_text(text, p, error)) << text;
    EXPECT_EQ(error.compare(0, expected.size(), expected), 0)
        << "expected: " << expected << "\n     got: " << error << "\nfor:\n"
        << text;
  }
}

}  // namespace
