// A strict JSON reader for tests: parses a whole document into a tree and fails on anything
// a JSON parser would reject (trailing commas, bare words, unescaped control characters,
// text after the value), so a test that reads a file also checks that it is valid JSON.
#pragma once

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace json {

struct Value {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;

  const Value* find(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? nullptr : &it->second;
  }
  // The field's number, or `fallback` when it is missing or not a number.
  double num(const std::string& key, double fallback = -1) const {
    const Value* v = find(key);
    return v != nullptr && v->kind == kNumber ? v->number : fallback;
  }
  std::string str(const std::string& key) const {
    const Value* v = find(key);
    return v != nullptr && v->kind == kString ? v->text : "";
  }
};

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  // The document's value, or nothing (with error() saying where) when it is not valid JSON.
  std::optional<Value> document() {
    Value v;
    if (!value(v, 0)) {
      return std::nullopt;
    }
    space();
    if (pos_ != s_.size()) {
      return fail("text after the value");
    }
    return v;
  }
  const std::string& error() const { return error_; }

 private:
  std::nullopt_t fail(const std::string& what) {
    if (error_.empty()) {
      error_ = what + " at offset " + std::to_string(pos_);
    }
    return std::nullopt;
  }
  void space() {
    while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_]) != nullptr) {
      ++pos_;
    }
  }
  bool literal(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) {
      return false;
    }
    pos_ += n;
    return true;
  }
  bool value(Value& v, int depth) {
    space();
    if (depth > 64 || pos_ >= s_.size()) {
      fail("unexpected end or nesting");
      return false;
    }
    const char c = s_[pos_];
    if (c == '{') {
      v.kind = Value::kObject;
      ++pos_;
      space();
      if (pos_ < s_.size() && s_[pos_] == '}') {
        ++pos_;
        return true;
      }
      for (;;) {
        space();
        Value key;
        if (pos_ >= s_.size() || s_[pos_] != '"' || !string(key.text)) {
          fail("expected a key");
          return false;
        }
        space();
        if (pos_ >= s_.size() || s_[pos_++] != ':') {
          fail("expected ':'");
          return false;
        }
        if (!value(v.fields[key.text], depth + 1)) {
          return false;
        }
        space();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == '}') {
          ++pos_;
          return true;
        }
        fail("expected ',' or '}'");
        return false;
      }
    }
    if (c == '[') {
      v.kind = Value::kArray;
      ++pos_;
      space();
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
        return true;
      }
      for (;;) {
        v.items.emplace_back();
        if (!value(v.items.back(), depth + 1)) {
          return false;
        }
        space();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == ']') {
          ++pos_;
          return true;
        }
        fail("expected ',' or ']'");
        return false;
      }
    }
    if (c == '"') {
      v.kind = Value::kString;
      return string(v.text);
    }
    if (literal("true") || literal("false")) {
      v.kind = Value::kBool;
      v.boolean = s_[pos_ - 1] == 'e' && s_[pos_ - 2] == 'u';
      return true;
    }
    if (literal("null")) {
      return true;
    }
    return number(v);
  }
  bool number(Value& v) {
    const size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') {
      ++pos_;
    }
    const size_t digits = pos_;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
      ++pos_;
    }
    if (pos_ == digits || (s_[digits] == '0' && pos_ - digits > 1)) {
      fail("bad number");
      return false;
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      const size_t frac = ++pos_;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
        ++pos_;
      }
      if (pos_ == frac) {
        fail("bad fraction");
        return false;
      }
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) {
        ++pos_;
      }
      const size_t exp = pos_;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
        ++pos_;
      }
      if (pos_ == exp) {
        fail("bad exponent");
        return false;
      }
    }
    v.kind = Value::kNumber;
    v.number = std::strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }
  bool string(std::string& out) {
    ++pos_;  // the opening quote
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') {
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        fail("control character in a string");
        return false;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) {
        break;
      }
      const char e = s_[pos_++];
      const char* from = "\"\\/bfnrt";
      const char* to = "\"\\/\b\f\n\r\t";
      if (const char* p = std::strchr(from, e); p != nullptr && e != '\0') {
        out += to[p - from];
      } else if (e == 'u' && pos_ + 4 <= s_.size()) {
        const unsigned long code = std::strtoul(s_.substr(pos_, 4).c_str(), nullptr, 16);
        out += code < 0x80 ? static_cast<char>(code) : '?';
        pos_ += 4;
      } else {
        fail("bad escape");
        return false;
      }
    }
    fail("unterminated string");
    return false;
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace json
