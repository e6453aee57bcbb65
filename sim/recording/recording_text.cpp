#include "recording_text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pvgen_rec {
namespace {

struct ErrnoName {
  const char* name;
  int value;
};
const ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},       {"EFAULT", EFAULT}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
    {"EINVAL", EINVAL},       {"EMFILE", EMFILE}, {"ENOTTY", ENOTTY}, {"ETIMEDOUT", ETIMEDOUT},
    {"ECANCELED", ECANCELED},
};

const char* const kHex = "0123456789abcdef";

std::string encode_name(const Record& r) {
  std::string out;
  for (size_t i = 0; i < kNameSize && r.thread[i] != 0; ++i) {
    const unsigned char c = static_cast<unsigned char>(r.thread[i]);
    if (c > 0x20 && c < 0x7f && c != '%' && c != '#' && c != '=') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string word_text(const Field& f, uint32_t v) {
  return f.is_signed ? std::to_string(static_cast<int32_t>(v)) : std::to_string(v);
}

// conv_table as hex, without its trailing zero bytes.
std::string table_text(const Block& b) {
  size_t n = kConvTableSize;
  while (n > 0 && b.bytes[kConvTableOffset + n - 1] == 0)
    --n;
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = b.bytes[kConvTableOffset + i];
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

// The words of `b` that differ from `base` (all of b's non-zero words when base is zero).
std::string block_words(const Block& b, const Block& base, uint32_t size) {
  size_t count = 0;
  const Field* fields = fields_of(size, &count);
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t v = word_at(b, fields[i].offset);
    if (v != word_at(base, fields[i].offset))
      out += " " + std::string(fields[i].name) + "=" + word_text(fields[i], v);
  }
  if (size == kCmdSize &&
      std::memcmp(b.bytes + kConvTableOffset, base.bytes + kConvTableOffset, kConvTableSize) != 0) {
    out += " conv_table=" + table_text(b);
  }
  return out;
}

std::string errno_text(int err) {
  const char* name = errno_name(err);
  return name != nullptr ? name : std::to_string(err);
}

// ---- parsing ----------------------------------------------------------------------------

struct LineError {
  std::string what;
};

bool parse_u64(const std::string& s, uint64_t* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+')
    return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0')
    return false;
  *out = v;
  return true;
}

bool parse_i64(const std::string& s, int64_t* out) {
  if (s.empty() || s[0] == '+')
    return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0')
    return false;
  *out = v;
  return true;
}

// A 32-bit word: 0..4294967295 (decimal or 0x hex) or -2147483648..-1.
bool parse_word(const std::string& s, uint32_t* out) {
  if (!s.empty() && s[0] == '-') {
    int64_t v = 0;
    if (!parse_i64(s, &v) || v < INT32_MIN)
      return false;
    *out = static_cast<uint32_t>(static_cast<int32_t>(v));
    return true;
  }
  uint64_t v = 0;
  if (!parse_u64(s, &v) || v > UINT32_MAX)
    return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool parse_errno_text(const std::string& s, int* out) {
  for (const ErrnoName& e : kErrnoNames) {
    if (s == e.name) {
      *out = e.value;
      return true;
    }
  }
  uint32_t v = 0;
  if (!parse_word(s, &v))
    return false;
  *out = static_cast<int>(static_cast<int32_t>(v));
  return true;
}

bool decode_name(const std::string& s, char* out) {
  std::memset(out, 0, kNameSize);
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    int c = static_cast<unsigned char>(s[i]);
    if (s[i] == '%') {
      const int hi = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
      const int lo = i + 2 < s.size() ? hex_digit(s[i + 2]) : -1;
      if (hi < 0 || lo < 0)
        return false;
      c = hi * 16 + lo;
      i += 2;
    }
    if (c == 0 || n == kNameSize)
      return false;
    out[n++] = static_cast<char>(c);
  }
  return true;
}

std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
      ++i;
    if (i >= line.size() || line[i] == '#')
      break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
           line[i] != '#')
      ++i;
    out.push_back(line.substr(start, i - start));
  }
  return out;
}

bool split_key(const std::string& token, std::string* key, std::string* value) {
  const size_t eq = token.find('=');
  if (eq == std::string::npos || eq == 0)
    return false;
  *key = token.substr(0, eq);
  *value = token.substr(eq + 1);
  return true;
}

bool parse_request(const std::string& s, uint32_t* out) {
  for (uint32_t code :
       {PVGEN_SIM_IOC_PAGE_START, PVGEN_SIM_IOC_BAND_EXE, PVGEN_SIM_IOC_WAIT, PVGEN_SIM_IOC_STOP}) {
    if (s == request_name(code)) {
      *out = code;
      return true;
    }
  }
  return s.rfind("0x", 0) == 0 && parse_word(s, out);
}

// Applies "name=value" tokens to a block.
bool parse_block_words(const std::vector<std::string>& tokens, size_t from, uint32_t size, Block& b,
                       std::string* why) {
  size_t count = 0;
  const Field* fields = fields_of(size, &count);
  for (size_t t = from; t < tokens.size(); ++t) {
    std::string key, value;
    if (!split_key(tokens[t], &key, &value)) {
      *why = "expected name=value, got '" + tokens[t] + "'";
      return false;
    }
    if (size == kCmdSize && key == "conv_table") {
      if (value.size() % 2 != 0 || value.size() > 2 * kConvTableSize) {
        *why = "conv_table needs an even number of hex digits, at most " +
               std::to_string(2 * kConvTableSize);
        return false;
      }
      std::memset(b.bytes + kConvTableOffset, 0, kConvTableSize);
      for (size_t i = 0; i < value.size(); i += 2) {
        const int hi = hex_digit(value[i]);
        const int lo = hex_digit(value[i + 1]);
        if (hi < 0 || lo < 0) {
          *why = "conv_table: '" + value.substr(i, 2) + "' is not a hex byte";
          return false;
        }
        b.bytes[kConvTableOffset + i / 2] = static_cast<unsigned char>(hi * 16 + lo);
      }
      continue;
    }
    const Field* f = nullptr;
    for (size_t i = 0; i < count; ++i) {
      if (key == fields[i].name)
        f = &fields[i];
    }
    if (f == nullptr) {
      *why =
          "unknown field '" + key + "' in a " + (size == kCmdSize ? "command" : "wait") + " block";
      return false;
    }
    uint32_t v = 0;
    if (!parse_word(value, &v)) {
      *why = "bad value '" + value + "' for " + key + " (a 32-bit number)";
      return false;
    }
    set_word(b, f->offset, v);
  }
  return true;
}

}  // namespace

const char* errno_name(int err) {
  for (const ErrnoName& e : kErrnoNames) {
    if (e.value == err)
      return e.name;
  }
  return nullptr;
}

std::string header_text(const FileHeader& h) {
  return "pvgen-recording version=" + std::to_string(h.version) +
         " byte-order=" + (h.order == ByteOrder::kBig ? "big" : "little") +
         " start=" + std::to_string(h.start_ns) + " pid=" + std::to_string(h.pid) + "\n";
}

std::string record_text(const Record& r, const FileHeader& h, size_t index) {
  const int64_t t = static_cast<int64_t>(r.start_ns - h.start_ns);
  if (r.type == kDroppedRecord)
    return "dropped t=" + std::to_string(t) + " count=" + std::to_string(r.dropped) + "\n";
  std::string line;
  char code[16];
  switch (r.kind) {
    case kOpen:
      line = "open";
      break;
    case kClose:
      line = "close";
      break;
    case kIoctl:
      if (const char* name = request_name(r.request)) {
        line = std::string("ioctl ") + name;
      } else {
        std::snprintf(code, sizeof code, "0x%08" PRIx32, r.request);
        line = std::string("ioctl ") + code;
      }
      break;
  }
  line += " t=" + std::to_string(t) + " dur=" + std::to_string(r.end_ns - r.start_ns) +
          " tid=" + std::to_string(r.tid) + " thread=" + encode_name(r) +
          " fd=" + std::to_string(r.fd);
  if (r.kind == kOpen) {
    std::snprintf(code, sizeof code, "0x%" PRIx32, r.request);
    line += std::string(" flags=") + code;
  } else if (r.kind == kClose && r.request != 0) {
    line += " request=" + std::to_string(r.request);
  }
  line += " ret=" + std::to_string(r.ret) + " errno=" + errno_text(r.err);
  if (r.kind == kIoctl && r.block_size == 0 && block_size_of(r.request) != 0)
    line += " block=null";
  if (index != 0)
    line += "  # call " + std::to_string(index);
  line += "\n";
  if (r.block_size != 0) {
    static const Block kZero{};
    line += "  given" + block_words(r.given, kZero, r.block_size) + "\n";
    line += "  answer" + block_words(r.answered, r.given, r.block_size) + "\n";
  }
  return line;
}

bool parse_text(const std::string& text, Parsed& out, std::string& error) {
  out = Parsed{};
  bool have_header = false;
  Record* current = nullptr;  // the call whose block lines may follow
  bool seen_given = false, seen_answer = false;
  size_t line_no = 0;
  size_t pos = 0;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(line_no) + ": " + what;
    return false;
  };
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line.find('\0') != std::string::npos)
      return fail("a zero byte in the text");
    const std::vector<std::string> tok = tokens_of(line);
    if (tok.empty())
      continue;
    const bool indented = line[0] == ' ' || line[0] == '\t';
    if (!have_header) {
      if (indented || tok[0] != "pvgen-recording")
        return fail(
            "expected the header line 'pvgen-recording version=1 byte-order=little|big "
            "start=NS pid=N'");
      bool have_version = false;
      for (size_t i = 1; i < tok.size(); ++i) {
        std::string key, value;
        uint64_t v = 0;
        if (!split_key(tok[i], &key, &value))
          return fail("expected name=value, got '" + tok[i] + "'");
        if (key == "version") {
          if (!parse_u64(value, &v) || v != kVersion)
            return fail("unknown version '" + value + "' (this reader knows version " +
                        std::to_string(kVersion) + ")");
          have_version = true;
        } else if (key == "byte-order") {
          if (value != "little" && value != "big")
            return fail("byte-order is 'little' or 'big', not '" + value + "'");
          out.header.order = value == "big" ? ByteOrder::kBig : ByteOrder::kLittle;
        } else if (key == "start") {
          if (!parse_u64(value, &v))
            return fail("bad start '" + value + "' (nanoseconds)");
          out.header.start_ns = v;
        } else if (key == "pid") {
          if (!parse_u64(value, &v) || v > UINT32_MAX)
            return fail("bad pid '" + value + "'");
          out.header.pid = static_cast<uint32_t>(v);
        } else {
          return fail("unknown header field '" + key + "'");
        }
      }
      if (!have_version)
        return fail("the header line needs version=1");
      have_header = true;
      continue;
    }
    if (indented) {
      if (current == nullptr || current->block_size == 0)
        return fail("'" + tok[0] + "' line without an ioctl with a block before it");
      std::string why;
      if (tok[0] == "given") {
        if (seen_given || seen_answer)
          return fail("'given' must come once, before 'answer'");
        seen_given = true;
        current->given = Block{};
        if (!parse_block_words(tok, 1, current->block_size, current->given, &why))
          return fail(why);
        current->answered = current->given;
      } else if (tok[0] == "answer") {
        if (seen_answer)
          return fail("a second 'answer' line for one call");
        seen_answer = true;
        if (!parse_block_words(tok, 1, current->block_size, current->answered, &why))
          return fail(why);
      } else {
        return fail("expected 'given' or 'answer', got '" + tok[0] + "'");
      }
      continue;
    }
    Record r;
    size_t first = 1;
    if (tok[0] == "dropped") {
      r.type = kDroppedRecord;
      bool have_count = false;
      for (size_t i = 1; i < tok.size(); ++i) {
        std::string key, value;
        int64_t sv = 0;
        uint64_t v = 0;
        if (!split_key(tok[i], &key, &value))
          return fail("expected name=value, got '" + tok[i] + "'");
        if (key == "t" && parse_i64(value, &sv)) {
          r.start_ns = out.header.start_ns + static_cast<uint64_t>(sv);
        } else if (key == "count" && parse_u64(value, &v)) {
          r.dropped = v;
          have_count = true;
        } else {
          return fail("bad field '" + tok[i] + "' of a dropped record (t=NS count=N)");
        }
      }
      if (!have_count)
        return fail("a dropped record needs count=N");
      out.records.push_back(r);
      current = nullptr;
      continue;
    }
    if (tok[0] == "open") {
      r.kind = kOpen;
    } else if (tok[0] == "close") {
      r.kind = kClose;
    } else if (tok[0] == "ioctl") {
      r.kind = kIoctl;
      if (tok.size() < 2 || !parse_request(tok[1], &r.request))
        return fail("ioctl needs a request: PAGE_START, BAND_EXE, WAIT, STOP or a 0x code");
      r.block_size = block_size_of(r.request);
      first = 2;
    } else {
      return fail("unknown record '" + tok[0] + "' (open, ioctl, close, dropped)");
    }
    bool have_fd = false, have_ret = false;
    uint64_t dur = 0;
    int64_t t = 0;
    for (size_t i = first; i < tok.size(); ++i) {
      std::string key, value;
      if (!split_key(tok[i], &key, &value))
        return fail("expected name=value, got '" + tok[i] + "'");
      uint32_t w = 0;
      uint64_t v = 0;
      bool ok = true;
      if (key == "t") {
        ok = parse_i64(value, &t);
      } else if (key == "dur") {
        ok = parse_u64(value, &dur);
      } else if (key == "tid") {
        ok = parse_u64(value, &v) && v <= UINT32_MAX;
        r.tid = static_cast<uint32_t>(v);
      } else if (key == "thread") {
        ok = decode_name(value, r.thread);
        if (!ok)
          return fail("bad thread name '" + value + "' (at most 16 bytes, %XX escapes)");
      } else if (key == "fd") {
        ok = parse_word(value, &w);
        r.fd = static_cast<int32_t>(w);
        have_fd = true;
      } else if (key == "ret") {
        ok = parse_word(value, &w);
        r.ret = static_cast<int32_t>(w);
        have_ret = true;
      } else if (key == "errno") {
        ok = parse_errno_text(value, &r.err);
      } else if (key == "flags" && r.kind == kOpen) {
        ok = parse_word(value, &r.request);
      } else if (key == "request" && r.kind == kClose) {
        ok = parse_word(value, &r.request);
      } else if (key == "block" && r.kind == kIoctl && r.block_size != 0) {
        ok = value == "null";
        if (ok)
          r.block_size = 0;
      } else {
        return fail("unknown field '" + key + "' of " + tok[0]);
      }
      if (!ok)
        return fail("bad value '" + value + "' for " + key);
    }
    if (!have_fd)
      return fail(tok[0] + " needs fd=N");
    if (!have_ret && r.kind == kOpen)
      r.ret = r.fd;
    r.start_ns = out.header.start_ns + static_cast<uint64_t>(t);
    r.end_ns = r.start_ns + dur;
    if (r.end_ns < r.start_ns)
      return fail("t + dur passes the end of the clock");
    out.records.push_back(r);
    current = r.block_size != 0 ? &out.records.back() : nullptr;
    seen_given = seen_answer = false;
  }
  if (!have_header) {
    ++line_no;
    return fail("no header line 'pvgen-recording version=1 ...'");
  }
  return true;
}

}  // namespace pvgen_rec
