// The connection check of a built filter descriptor.
#include "FilterTopologyCheck.h"
#include <map>

namespace usbaudio_test {
namespace {

// One element of the filter: pins count from 0, nodes from 0x100000000.
using element = unsigned long long;

constexpr element NODE_BASE = 0x100000000ull;

element from_end(const PCCONNECTION_DESCRIPTOR &c)
{
    return c.FromNode == PCFILTER_NODE ? c.FromNodePin : NODE_BASE + c.FromNode;
}

element to_end(const PCCONNECTION_DESCRIPTOR &c)
{
    return c.ToNode == PCFILTER_NODE ? c.ToNodePin : NODE_BASE + c.ToNode;
}

std::string describe(ULONG index, const char *what)
{
    return "connection " + std::to_string(index) + ": " + what;
}

} // namespace

bool check_filter_topology(const PCFILTER_DESCRIPTOR &filter, std::string *why)
{
    std::string fault;
    if (filter.ConnectionCount != 0 && filter.Connections == nullptr) {
        fault = "connections counted but missing";
    }
    std::map<element, element> next;
    std::map<element, ULONG> entered;
    for (ULONG i = 0; fault.empty() && i < filter.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR &c = filter.Connections[i];
        if (c.FromNode == PCFILTER_NODE ? c.FromNodePin >= filter.PinCount
                                        : c.FromNode >= filter.NodeCount || c.FromNodePin != 0) {
            fault = describe(i, "leaves from no pin or node output");
        } else if (c.ToNode == PCFILTER_NODE ? c.ToNodePin >= filter.PinCount
                                             : c.ToNode >= filter.NodeCount || c.ToNodePin != 1) {
            fault = describe(i, "enters no pin or node input");
        } else if (from_end(c) == to_end(c)) {
            fault = describe(i, "loops on one element");
        } else if (!next.emplace(from_end(c), to_end(c)).second) {
            fault = describe(i, "leaves an element a second time");
        } else if (!entered.emplace(to_end(c), i).second) {
            fault = describe(i, "enters an element a second time");
        }
    }
    const ULONG limit = filter.PinCount + filter.NodeCount;
    for (auto start = next.begin(); fault.empty() && start != next.end(); ++start) {
        element at = start->first;
        ULONG hops = 0;
        for (auto step = next.find(at); step != next.end() && hops <= limit; step = next.find(at)) {
            at = step->second;
            ++hops;
        }
        if (hops > limit) {
            fault = "the walk from element " + std::to_string(start->first) + " does not end";
        }
    }
    if (why != nullptr) {
        *why = fault;
    }
    return fault.empty();
}

} // namespace usbaudio_test
