// pvgen-rec: works with recordings of a program's traffic with /dev/mfp_pvgen (made by
// pvgen-record or pvgen-sim --record): prints one as text, builds one from text, and draws
// one as a timeline.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "recording_reader.h"
#include "recording_text.h"
#include "recording_timeline.h"
#include "recording_writer.h"

namespace {

const char kUsage[] =
    "Usage: pvgen-rec print [--partial] FILE\n"
    "       pvgen-rec build TEXT FILE\n"
    "       pvgen-rec timeline FILE OUT.html|OUT.json\n"
    "Works with recordings of a program's calls on /dev/mfp_pvgen (pvgen-record,\n"
    "pvgen-sim --record).\n"
    "\n"
    "  print     writes the recording FILE as text on standard output: a line per call\n"
    "            (open, ioctl REQUEST, close; time t and duration dur in ns from the start of\n"
    "            the recording, thread, descriptor, return value, errno), and for a block\n"
    "            the line 'given' with its words that are not 0 and the line 'answer' with\n"
    "            the words the driver changed. With --partial, a file that goes wrong part\n"
    "            of the way (the recorded program was killed while a record was written)\n"
    "            is printed up to its last good record before the error is reported.\n"
    "  build     reads such text (from TEXT, '-' for standard input) and writes the\n"
    "            recording FILE; 'print' of it gives the same text back, and printing a\n"
    "            recording and building it again gives the same bytes. A file written by hand\n"
    "            is a replay scenario.\n"
    "  timeline  writes the recording's timeline: a lane per recorded thread, the engine lane\n"
    "            rebuilt from command and report times; OUT.html is a page for any browser,\n"
    "            OUT.json a trace-event file.\n"
    "\n"
    "  -h, --help  print this help.\n"
    "\n"
    "Exit status: 0 done, 1 the input does not read (the error names the byte offset or the\n"
    "line and what is wrong; nothing is written) or the output cannot be written,\n"
    "2 usage error.\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "pvgen-rec: %s\n(see pvgen-rec --help)\n", what.c_str());
  std::exit(2);
}

int input_error(const std::string& what) {
  std::fprintf(stderr, "pvgen-rec: %s\n", what.c_str());
  return 1;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool write_file(const std::string& path, const std::string& bytes, std::string& error) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !ok) {
    error = "cannot write " + path + ": " + std::strerror(ok ? errno : err);
    return false;
  }
  return true;
}

// Reads and checks a whole recording; false (error printed) when it does not read.
bool load(const std::string& path, std::string& bytes, pvgen_rec::Reader& reader) {
  std::string error;
  if (!pvgen_rec::read_file(path, bytes, error)) {
    input_error(error);
    return false;
  }
  if (!reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
    input_error(path + ": " + reader.error());
    return false;
  }
  // The whole file is checked before anything is written.
  pvgen_rec::Record r;
  int got = 0;
  while ((got = reader.next(r)) > 0) {
  }
  if (got < 0) {
    input_error(path + ": " + reader.error());
    return false;
  }
  reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return true;
}

int print(const std::string& path, bool partial) {
  std::string bytes;
  pvgen_rec::Reader reader;
  std::string error;
  if (partial) {
    if (!pvgen_rec::read_file(path, bytes, error))
      return input_error(error);
    if (!reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
      return input_error(path + ": " + reader.error());
  } else if (!load(path, bytes, reader)) {
    return 1;
  }
  std::string out = pvgen_rec::header_text(reader.header());
  pvgen_rec::Record r;
  size_t call = 0;
  int got = 0;
  while ((got = reader.next(r)) > 0) {
    if (r.type == pvgen_rec::kCallRecord)
      ++call;
    out += pvgen_rec::record_text(r, reader.header(), r.type == pvgen_rec::kCallRecord ? call : 0);
    if (out.size() > (1 << 16)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0)
    return input_error("cannot write standard output");
  return got < 0 ? input_error(path + ": " + reader.error()) : 0;
}

int build(const std::string& text_path, const std::string& out_path) {
  std::string text, error;
  if (text_path == "-") {
    char buf[65536];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
      text.append(buf, n);
  } else if (!pvgen_rec::read_file(text_path, text, error)) {
    return input_error(error);
  }
  pvgen_rec::Parsed parsed;
  if (!pvgen_rec::parse_text(text, parsed, error))
    return input_error((text_path == "-" ? std::string("standard input") : text_path) + ": " +
                       error);
  std::string bytes;
  pvgen_rec::append_header(bytes, parsed.header);
  for (const pvgen_rec::Record& r : parsed.records)
    pvgen_rec::append_record(bytes, r, parsed.header.order);
  return write_file(out_path, bytes, error) ? 0 : input_error(error);
}

int timeline_of(const std::string& path, const std::string& out_path) {
  const bool html = ends_with(out_path, ".html");
  if (!html && !ends_with(out_path, ".json"))
    usage_error("the timeline's file name ends in .html or .json: '" + out_path + "'");
  std::string bytes, error;
  pvgen_rec::Reader reader;
  if (!load(path, bytes, reader))
    return 1;
  timeline::Model m;
  if (!timeline::from_recording(reader, m, error))
    return input_error(path + ": " + error);
  const int pid = static_cast<int>(reader.header().pid);
  const std::string process = "recording " + path.substr(path.rfind('/') + 1);
  const std::string out =
      html ? timeline::to_html(m, pid, process) : timeline::to_trace_json(m, pid, process);
  if (!write_file(out_path, out, error))
    return input_error(error);
  std::fprintf(stderr, "pvgen-rec: %zu lanes, %zu engine slices written to %s\n", m.lanes.size(),
               m.engine_slices, out_path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    usage_error("no command given (print, build, timeline)");
  const std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  const int args = argc - 2;
  if (cmd == "print") {
    const bool partial = args == 2 && std::strcmp(argv[2], "--partial") == 0;
    if (args != (partial ? 2 : 1))
      usage_error("print takes [--partial] FILE");
    return print(argv[partial ? 3 : 2], partial);
  }
  if (cmd == "build") {
    if (args != 2)
      usage_error("build takes TEXT and FILE");
    return build(argv[2], argv[3]);
  }
  if (cmd == "timeline") {
    if (args != 2)
      usage_error("timeline takes FILE and OUT.html or OUT.json");
    return timeline_of(argv[2], argv[3]);
  }
  usage_error("unknown command '" + cmd + "' (print, build, timeline)");
}
