// The KS requests the property fuzz targets decode from their input and send to a filter as the
// audio engine sends them, through the I/O manager and the port's property dispatch: property
// requests of any set, id, verb, node, pin, channel and size with any value bytes and sizes;
// data-range intersections with client ranges of any fields; pin creation with any connection
// format, and on a created pin its state, buffer and position requests and property requests
// of its own. A pin goes no further than ACQUIRE: streaming is the engine targets' business.
#pragma once
#include <sim/audio_engine.h>
#include "FuzzInput.h"

namespace usbaudio_test {

// Decodes one request from the input and sends it to the filter; the answer is dropped.
void send_fuzz_ks_request(sim::wavert_filter &filter, fuzz_input &input);

} // namespace usbaudio_test
