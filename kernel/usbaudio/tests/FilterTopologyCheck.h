// A check of a built filter descriptor's connections, shared by the filter tests and the fuzz
// target: what a port driver walking the topology relies on.
#pragma once
#include <portcls.h>
#include <string>

namespace usbaudio_test {

// True when every connection names an existing pin or node end (a node is entered at pin 1
// and left at pin 0), no end starts or ends two connections, and following connections from
// any of them stops within as many hops as there are pins and nodes. why receives the first
// fault found.
bool check_filter_topology(const PCFILTER_DESCRIPTOR &filter, std::string *why);

} // namespace usbaudio_test
