// The timeline of a recording alone: a lane per recorded thread with its driver calls, and
// the engine lane rebuilt from the command and report times, in the model pvgen-run's
// timeline export draws.
#pragma once

#include <string>

#include "recording_reader.h"
#include "timeline.h"

namespace timeline {

// Builds the model from every record the reader has left. False with error set when a
// record does not read.
bool from_recording(pvgen_rec::Reader& reader, Model& out, std::string& error);

}  // namespace timeline
