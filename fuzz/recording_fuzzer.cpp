// Recording fuzzer: any bytes through the recording's reader, any text through its text
// form. The first byte chooses: even, the rest is a file; odd, the rest is text.
//   A file is either refused with "offset N: ..." (N inside the file), or read whole; then
//   its text form parses and builds the very same bytes again.
//   A text is either refused with "line N: ..." (N a line of it), or parsed; then the bytes
//   it builds read back, print and build the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "recording_reader.h"
#include "recording_text.h"
#include "recording_writer.h"

namespace {

using namespace pvgen_rec;

size_t number_after(const std::string& error, const char* prefix) {
  const std::string p(prefix);
  FUZZ_CHECK(error.compare(0, p.size(), p) == 0, "error '%s' does not start with '%s'",
             error.c_str(), prefix);
  return std::strtoul(error.c_str() + p.size(), nullptr, 10);
}

// Reads a whole file: true with its text form, or false with the reader's error.
bool read_all(const std::string& bytes, std::string* text, std::string* error) {
  Reader reader;
  if (!reader.open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
    *error = reader.error();
    return false;
  }
  *text = header_text(reader.header());
  Record r;
  int got = 0;
  size_t call = 0;
  while ((got = reader.next(r)) > 0)
    *text += record_text(r, reader.header(), r.type == kCallRecord ? ++call : 0);
  if (got < 0) {
    *error = reader.error();
    return false;
  }
  return true;
}

std::string build(const Parsed& p) {
  std::string bytes;
  append_header(bytes, p.header);
  for (const Record& r : p.records)
    append_record(bytes, r, p.header.order);
  return bytes;
}

void file_input(const std::string& bytes) {
  std::string text, error;
  if (!read_all(bytes, &text, &error)) {
    FUZZ_CHECK(number_after(error, "offset ") <= bytes.size(), "offset beyond the file: %s",
               error.c_str());
    return;
  }
  Parsed p;
  FUZZ_CHECK(parse_text(text, p, error), "the print of a file that reads does not parse: %s\n%s",
             error.c_str(), text.c_str());
  FUZZ_CHECK(build(p) == bytes, "print and build do not give the same bytes:\n%s", text.c_str());
}

void text_input(const std::string& text) {
  Parsed p;
  std::string error;
  if (!parse_text(text, p, error)) {
    size_t lines = 1;
    for (const char c : text)
      lines += c == '\n' ? 1 : 0;
    FUZZ_CHECK(number_after(error, "line ") <= lines + 1, "line beyond the text: %s",
               error.c_str());
    return;
  }
  const std::string bytes = build(p);
  std::string printed;
  FUZZ_CHECK(read_all(bytes, &printed, &error), "built bytes do not read: %s", error.c_str());
  Parsed again;
  FUZZ_CHECK(parse_text(printed, again, error), "printed text does not parse: %s", error.c_str());
  FUZZ_CHECK(build(again) == bytes, "text, bytes, text, bytes differ:\n%s", printed.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0)
    file_input(rest);
  else
    text_input(rest);
  return 0;
}
