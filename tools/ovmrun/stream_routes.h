// The two ways the job streams its signal through the installed package: as an ASIO host
// through the ASIO driver, or through the device channel with the client library, doing what
// the ASIO driver's streaming thread does. Both expect a booted machine with the device
// attached and the package installed, and leave the device idle when they return.
#pragma once
#include <cstdint>
#include <string>
#include "device_watch.h"
#include "run_options.h"
#include "stream_companion.h"
#include "stream_result.h"

namespace ovmrun {

stream_result stream_through_asio(const run_options &options, device_watch &watch,
                                  const stream_companions &companions = {});
// The same through the ASIO driver registered under driver_name; wow64_32: the driver is a
// 32-bit in-process server, found and hosted in the 32-bit registry view (the standard stack's).
stream_result stream_through_asio(const run_options &options, device_watch &watch, const std::wstring &driver_name,
                                  bool wow64_32, const stream_companions &companions = {});
stream_result stream_through_channel(const run_options &options, device_watch &watch,
                                     const stream_companions &companions = {});

// Buffer periods needed to stream seconds at rate with buffers of frames (at least 4).
uint64_t periods_for(double seconds, uint32_t rate, uint32_t frames);

// Checks every input against the output of the same number (the device loops output n back to
// input n), each buffer session on its own, and fills result.loopback.
void check_inputs(stream_result &result, const std::vector<std::string> &input_names);

// The layout the loopback check reads a sample type's signal in: PCM types as they stand, DSD
// as 32-bit words (the host's DSD signal carries its tag and counter per 32 samples).
ASIOSampleType signal_layout(ASIOSampleType type);

} // namespace ovmrun
