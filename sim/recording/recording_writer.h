// Writes a recording's bytes: the file header and records, in a byte order of the caller's
// choice (the recorder writes the host's own; `pvgen-rec build` the one its text names).
#pragma once

#include <string>

#include "recording.h"

namespace pvgen_rec {

// Appends the file header (kFileHeaderSize bytes) in header.order.
void append_header(std::string& out, const FileHeader& header);

// Appends one record in the given byte order. A call record's blocks are written with
// r.block_size bytes each (0, kWaitSize or kCmdSize; any other size is written as 0).
void append_record(std::string& out, const Record& r, ByteOrder order);

}  // namespace pvgen_rec
