// The ASIO driver interface as ASIO hosts declare it: IUnknown's methods with their COM calling
// convention, every method after them with none, so that a 32-bit host calls those with the
// compiler's default member-function convention (thiscall). The smoke tests call the drivers
// through this declaration only, never through the drivers' own header.
#pragma once
#include <unknwn.h>

struct IHostAsio : public IUnknown {
    virtual long init(void *sysHandle) = 0;
    virtual void getDriverName(char *name) = 0;
    virtual long getDriverVersion() = 0;
    virtual void getErrorMessage(char *string) = 0;
    virtual long start() = 0;
    virtual long stop() = 0;
    virtual long getChannels(long *numInputChannels, long *numOutputChannels) = 0;
    virtual long getLatencies(long *inputLatency, long *outputLatency) = 0;
    virtual long getBufferSize(long *minSize, long *maxSize, long *preferredSize, long *granularity) = 0;
    virtual long canSampleRate(double sampleRate) = 0;
    virtual long getSampleRate(double *sampleRate) = 0;
    virtual long setSampleRate(double sampleRate) = 0;
    virtual long getClockSources(void *clocks, long *numSources) = 0;
    virtual long setClockSource(long reference) = 0;
    virtual long getSamplePosition(void *samplePosition, void *timeStamp) = 0;
    virtual long getChannelInfo(void *info) = 0;
    virtual long createBuffers(void *bufferInfos, long numChannels, long bufferSize, void *callbacks) = 0;
    virtual long disposeBuffers() = 0;
    virtual long controlPanel() = 0;
    virtual long future(long selector, void *opt) = 0;
    virtual long outputReady() = 0;
};

constexpr long HostAsioNotPresent = -1000;
