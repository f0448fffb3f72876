// The processor topology of the simulated machine: a configurable number of packages, each
// with two cores, on one NUMA node.
#include "kernel32_private.h"
#include <platform/machine_state.h>
#include <platform/win32_system.h>
#include <vector>

namespace platform {
namespace {

constexpr ULONG cores_per_package = 2;
std::atomic<ULONG> g_packages{1};

// A count of 0 lists the cores of one package without its package record, as firmware that
// reports no package relationship does.
std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> topology()
{
    const ULONG packages = g_packages.load();
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries;
    ULONG_PTR all = 0;
    for (ULONG package = 0; package < (packages == 0 ? 1 : packages); ++package) {
        ULONG_PTR package_mask = 0;
        for (ULONG core = 0; core < cores_per_package; ++core) {
            const ULONG index = package * cores_per_package + core;
            const ULONG_PTR mask = index < 64 ? (ULONG_PTR)1 << index : 0;
            SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry{};
            entry.ProcessorMask = mask;
            entry.Relationship = RelationProcessorCore;
            entries.push_back(entry);
            package_mask |= mask;
        }
        if (packages != 0) {
            SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry{};
            entry.ProcessorMask = package_mask;
            entry.Relationship = RelationProcessorPackage;
            entries.push_back(entry);
        }
        all |= package_mask;
    }
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION node{};
    node.ProcessorMask = all;
    node.Relationship = RelationNumaNode;
    node.NumaNode.NodeNumber = 0;
    entries.push_back(node);
    return entries;
}

void reset()
{
    g_packages.store(1);
}

machine_hooks g_hooks("kernel32.system_info", reset, reset);

} // namespace

void set_processor_packages(ULONG packages)
{
    g_packages.store(packages > 64 ? 64 : packages);
}

} // namespace platform

using namespace platform;

BOOL WINAPI GetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION Buffer, PDWORD ReturnedLength)
{
    if (ReturnedLength == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto entries = topology();
    const DWORD needed = (DWORD)(entries.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (Buffer == nullptr || *ReturnedLength < needed) {
        *ReturnedLength = needed;
        win32_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(entries.begin(), entries.end(), Buffer);
    *ReturnedLength = needed;
    return TRUE;
}
