// What runs beside the job's stream: the audio engine on the device's WaveRT pins, the
// control-panel program. A streaming route calls each companion on the job's thread at fixed
// points of the run, and once more after the stream has stopped.
#pragma once
#include <vector>
#include "stream_result.h"

namespace sim {
class asio_host;
}

namespace ovmrun {

enum class stream_point { quarter, midway, three_quarters, ending };

class stream_companion {
public:
    virtual ~stream_companion() = default;
    // host: the ASIO host that streams; null on the device-channel route. A companion may take
    // as long as it needs; the route goes on streaming meanwhile.
    virtual void at(stream_point point, sim::asio_host *host) = 0;
    // After the stream stopped: checks what it saw against the stream and adds its events.
    virtual void finish(stream_result &result) = 0;
};

using stream_companions = std::vector<stream_companion *>;

inline void call_companions(const stream_companions &companions, stream_point point, sim::asio_host *host)
{
    for (stream_companion *companion : companions) {
        companion->at(point, host);
    }
}

} // namespace ovmrun
