// The request router of the device channel's test device, as the driver's router does it:
// "\asio" opens get a channel context, every request on a channel handle goes to its handler,
// and a request the handler does not pend is completed with its status.
#pragma once
#include "DeviceChannelTestAdapter.h"

namespace channel_test {

// Every major function of driver goes to the channel of the adapter *current points at then.
void route_to_channel(PDRIVER_OBJECT driver, test_adapter *const *current);

} // namespace channel_test
