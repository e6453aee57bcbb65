// The text form of a recording: what `pvgen-rec print` writes and `pvgen-rec build` reads.
// One line per record, each block on an indented line of its own listing only the words
// that are not zero (given) or that the driver changed (answer), so that a person can read,
// diff and write a recording by hand. Printing a file and building it again gives the same
// bytes. docs/recording.md describes the grammar.
#pragma once

#include <string>
#include <vector>

#include "recording.h"

namespace pvgen_rec {

// The header line.
std::string header_text(const FileHeader& h);

// A record's lines (each ending in '\n'); `index` numbers call records in a trailing comment
// (0: no comment).
std::string record_text(const Record& r, const FileHeader& h, size_t index);

struct Parsed {
  FileHeader header;
  std::vector<Record> records;
};

// Parses a whole text. False with error set to "line N: what is wrong" on bad input.
bool parse_text(const std::string& text, Parsed& out, std::string& error);

// errno names the text form uses ("EIO"); nullptr for numbers without one.
const char* errno_name(int err);

}  // namespace pvgen_rec
