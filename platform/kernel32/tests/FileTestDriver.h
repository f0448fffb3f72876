// A small kernel driver for the file tests: one device "\Device\K32Test" with a device node,
// whose requests complete at once or stay pending until the test completes them.
#pragma once
#include <ntdef.h>
#include <vector>

namespace file_test_driver {

constexpr const wchar_t *device_path = L"\\Device\\K32Test\\asio";

void start();
void stop();

// Control codes complete at once with this status and information (echoing the input when the
// status is a success and information is 0).
void set_control_result(NTSTATUS status, ULONG_PTR information);

// Reads and writes stay pending when set, else complete at once with their length.
void set_pend_transfers(bool pend);
ULONG pending_count();
// Completes the oldest pending request; false when none is pending.
bool complete_oldest(NTSTATUS status, ULONG_PTR information);

// The major function codes the device received, in order.
std::vector<UCHAR> majors();

void set_power_state(ULONG device_power_state);
void mark_removed();

} // namespace file_test_driver
