// Traces read into a run: the wiring that the command and the fuzzer
// share. The reader's events go to the model, which feeds its views.
#pragma once

#include "model/run.hpp"
#include "reader/merged_traces.hpp"

namespace timeline {

// Every event of the traces into the run, then its end. `read_ahead`:
// decode on a thread of the reader's own, so that decoding and the model
// share two cores. Throws the reader's TraceError.
void read_traces(MergedTraces& traces, Run& run, bool read_ahead = true);

// The run's calls told by the line of the program that made them, from
// the programs' debug information (libdw).
void tell_source_lines(Run& run);

} // namespace timeline
