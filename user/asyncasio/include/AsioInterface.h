// The ASIO driver interface as hosts and our ASIO drivers see it: the IASIO face in its slot
// order, the records passed across it, the host's callback record, the selectors, sample types
// and error values. Every ASIO "long" is a 32-bit integer, as on Windows; the records keep the
// 4-byte packing hosts expect (ASIOTime is 148 bytes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <unknwn.h>

typedef int32_t ASIOBool;
enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

typedef int32_t ASIOError;
enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3F4847A0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

typedef double ASIOSampleRate;

typedef int32_t ASIOSampleType;
enum : ASIOSampleType {
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17, // packed, 3 bytes per sample
    ASIOSTInt32LSB = 18,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
};

#pragma pack(push, 4)

// A 64-bit sample count or time split in two 32-bit halves.
struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};
struct ASIOTimeStamp {
    uint32_t hi;
    uint32_t lo;
};

enum AsioTimeInfoFlags : uint32_t {
    kSystemTimeValid = 1,
    kSamplePositionValid = 1 << 1,
    kSampleRateValid = 1 << 2,
    kSpeedValid = 1 << 3,
    kSampleRateChanged = 1 << 4,
    kClockSourceChanged = 1 << 5,
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};

enum ASIOTimeCodeFlags : uint32_t {
    kTcValid = 1,
    kTcRunning = 1 << 1,
    kTcReverse = 1 << 2,
    kTcOnspeed = 1 << 3,
    kTcStill = 1 << 4,
    kTcSpeedValid = 1 << 8,
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};

struct ASIOTime {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;  // in: channel number
    ASIOBool isInput; // in
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

// One channel the host asks createBuffers for; the driver fills both halves.
struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void *buffers[2];
};

enum ASIOIoFormatType : int32_t {
    kASIOFormatInvalid = -1,
    kASIOPCMFormat = 0,
    kASIODSDFormat = 1,
};

struct ASIOIoFormat {
    int32_t FormatType;
    char future[512 - sizeof(int32_t)];
};

#pragma pack(pop)

// The host's callbacks. They carry no context: a host keeps its own per-driver state.
struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void *message, double *opt);
    ASIOTime *(*bufferSwitchTimeInfo)(ASIOTime *params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

// Selectors of ASIOCallbacks::asioMessage.
enum : int32_t {
    kAsioSelectorSupported = 1, // value: the selector asked about
    kAsioEngineVersion = 2,     // result: the host's engine version
    kAsioResetRequest = 3,      // the driver needs stop, disposeBuffers, createBuffers again
    kAsioBufferSizeChange = 4,  // value: the new buffer size
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,  // non-zero: the host takes bufferSwitchTimeInfo
    kAsioSupportsTimeCode = 8,
};

// Selectors of IASIO::future.
enum : int32_t {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
};

// The driver object's face. Hosts create it with CoCreateInstance and pass the driver's class
// identifier as the interface identifier. The slot order is fixed; do not reorder.
// The methods after IUnknown's carry no calling convention, as hosts declare them: a 32-bit
// host calls them with the compiler's default member-function convention (thiscall), not
// with IUnknown's STDMETHODCALLTYPE (stdcall). On x86-64 the two are one convention.
interface IASIO : public IUnknown {
    virtual ASIOBool init(void *sysHandle) = 0;
    virtual void getDriverName(char *name) = 0; // 32 bytes
    virtual int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char *string) = 0; // 124 bytes
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t *numInputChannels, int32_t *numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t *inputLatency, int32_t *outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t *minSize, int32_t *maxSize, int32_t *preferredSize,
                                    int32_t *granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate *sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource *clocks, int32_t *numSources) = 0;
    virtual ASIOError setClockSource(int32_t reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo *info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo *bufferInfos, int32_t numChannels,
                                    int32_t bufferSize, ASIOCallbacks *callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(int32_t selector, void *opt) = 0;
    virtual ASIOError outputReady() = 0;

protected:
    ~IASIO() = default;
};

// Each method has the type of the host's declaration; where conventions differ (x86) a
// convention added to a method fails here.
template <typename Method, typename HostMethod> constexpr bool AsioHostCallable = std::is_same_v<Method, HostMethod>;
static_assert(AsioHostCallable<decltype(&IASIO::init), ASIOBool (IASIO::*)(void *)>);
static_assert(AsioHostCallable<decltype(&IASIO::getDriverName), void (IASIO::*)(char *)>);
static_assert(AsioHostCallable<decltype(&IASIO::getDriverVersion), int32_t (IASIO::*)()>);
static_assert(AsioHostCallable<decltype(&IASIO::getErrorMessage), void (IASIO::*)(char *)>);
static_assert(AsioHostCallable<decltype(&IASIO::start), ASIOError (IASIO::*)()>);
static_assert(AsioHostCallable<decltype(&IASIO::stop), ASIOError (IASIO::*)()>);
static_assert(AsioHostCallable<decltype(&IASIO::getChannels), ASIOError (IASIO::*)(int32_t *, int32_t *)>);
static_assert(AsioHostCallable<decltype(&IASIO::getLatencies), ASIOError (IASIO::*)(int32_t *, int32_t *)>);
static_assert(AsioHostCallable<decltype(&IASIO::getBufferSize),
                               ASIOError (IASIO::*)(int32_t *, int32_t *, int32_t *, int32_t *)>);
static_assert(AsioHostCallable<decltype(&IASIO::canSampleRate), ASIOError (IASIO::*)(ASIOSampleRate)>);
static_assert(AsioHostCallable<decltype(&IASIO::getSampleRate), ASIOError (IASIO::*)(ASIOSampleRate *)>);
static_assert(AsioHostCallable<decltype(&IASIO::setSampleRate), ASIOError (IASIO::*)(ASIOSampleRate)>);
static_assert(AsioHostCallable<decltype(&IASIO::getClockSources), ASIOError (IASIO::*)(ASIOClockSource *, int32_t *)>);
static_assert(AsioHostCallable<decltype(&IASIO::setClockSource), ASIOError (IASIO::*)(int32_t)>);
static_assert(AsioHostCallable<decltype(&IASIO::getSamplePosition), ASIOError (IASIO::*)(ASIOSamples *, ASIOTimeStamp *)>);
static_assert(AsioHostCallable<decltype(&IASIO::getChannelInfo), ASIOError (IASIO::*)(ASIOChannelInfo *)>);
static_assert(AsioHostCallable<decltype(&IASIO::createBuffers),
                               ASIOError (IASIO::*)(ASIOBufferInfo *, int32_t, int32_t, ASIOCallbacks *)>);
static_assert(AsioHostCallable<decltype(&IASIO::disposeBuffers), ASIOError (IASIO::*)()>);
static_assert(AsioHostCallable<decltype(&IASIO::controlPanel), ASIOError (IASIO::*)()>);
static_assert(AsioHostCallable<decltype(&IASIO::future), ASIOError (IASIO::*)(int32_t, void *)>);
static_assert(AsioHostCallable<decltype(&IASIO::outputReady), ASIOError (IASIO::*)()>);

static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);
static_assert(offsetof(AsioTimeInfo, flags) == 32);
static_assert(offsetof(ASIOTimeCode, flags) == 16);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void *));
static_assert(sizeof(ASIOIoFormat) == 512);
