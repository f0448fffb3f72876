// The port class driver: adapter and subdevice registration, the port and miniport interfaces
// of WaveRT (and the WaveCyclic declarations), adapter power management, filter, pin and node
// descriptors, automation tables and property requests.
#pragma once
#include <wdm.h>
#include <unknwn.h>
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _MDL;
struct _KEVENT;

// The class IDs of the ports that PcNewPort creates.
// {CC9BE57A-EB9E-42B4-94FC-0CAD3DBCE7FA}
DEFINE_GUID(CLSID_PortWaveRT, 0xCC9BE57A, 0xEB9E, 0x42B4, 0x94, 0xFC, 0x0C, 0xAD, 0x3D, 0xBC, 0xE7, 0xFA);
// {B4C90A2A-5791-11D0-86F9-00A0C911B544}
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
// {3F4CCBD3-9758-4A81-AA83-2F76A7BF81D5}
DEFINE_GUID(CLSID_PortTopology, 0x3F4CCBD3, 0x9758, 0x4A81, 0xAA, 0x83, 0x2F, 0x76, 0xA7, 0xBF, 0x81, 0xD5);

// Interface IDs.
// {BF193A2C-90F7-4BB7-83B9-1763B6C0D3BF}
DEFINE_GUID(IID_IResourceList, 0xBF193A2C, 0x90F7, 0x4BB7, 0x83, 0xB9, 0x17, 0x63, 0xB6, 0xC0, 0xD3, 0xBF);
// {F920BEE2-340F-47BF-9E96-A7363DA1B75B}
DEFINE_GUID(IID_IPort, 0xF920BEE2, 0x340F, 0x47BF, 0x9E, 0x96, 0xA7, 0x36, 0x3D, 0xA1, 0xB7, 0x5B);
// {60E909CE-4BC9-4182-B507-ACE14ADDCAD2}
DEFINE_GUID(IID_IPortWaveRT, 0x60E909CE, 0x4BC9, 0x4182, 0xB5, 0x07, 0xAC, 0xE1, 0x4A, 0xDD, 0xCA, 0xD2);
// {AD15F86E-2D2B-4BEE-8155-397526800479}
DEFINE_GUID(IID_IPortWaveRTStream, 0xAD15F86E, 0x2D2B, 0x4BEE, 0x81, 0x55, 0x39, 0x75, 0x26, 0x80, 0x04, 0x79);
// {2DFDFA9B-BAC1-4184-842F-9E77CC7D4034}
DEFINE_GUID(IID_IMiniport, 0x2DFDFA9B, 0xBAC1, 0x4184, 0x84, 0x2F, 0x9E, 0x77, 0xCC, 0x7D, 0x40, 0x34);
// {92207EF5-3E59-41CC-8AED-C32B49967921}
DEFINE_GUID(IID_IMiniportWaveRT, 0x92207EF5, 0x3E59, 0x41CC, 0x8A, 0xED, 0xC3, 0x2B, 0x49, 0x96, 0x79, 0x21);
// {F12E2811-D6E4-4729-AB99-4DD0F226DE04}
DEFINE_GUID(IID_IMiniportWaveRTStream, 0xF12E2811, 0xD6E4, 0x4729, 0xAB, 0x99, 0x4D, 0xD0, 0xF2, 0x26, 0xDE, 0x04);
// {F754D7F0-EC71-4E4A-93EB-2B25BECD0ABF}
DEFINE_GUID(IID_IMiniportWaveRTStreamNotification, 0xF754D7F0, 0xEC71, 0x4E4A, 0x93, 0xEB, 0x2B, 0x25, 0xBE, 0xCD, 0x0A, 0xBF);
// {EBA98040-3501-47B8-988E-6BC1789522E5}
DEFINE_GUID(IID_IPowerNotify, 0xEBA98040, 0x3501, 0x47B8, 0x98, 0x8E, 0x6B, 0xC1, 0x78, 0x95, 0x22, 0xE5);
// {3E03E498-9499-43C3-BBFC-42F1C0BE339C}
DEFINE_GUID(IID_IAdapterPowerManagement, 0x3E03E498, 0x9499, 0x43C3, 0xBB, 0xFC, 0x42, 0xF1, 0xC0, 0xBE, 0x33, 0x9C);
// {F0D37518-A652-4C84-B3F2-7BEB97B2DD98}
DEFINE_GUID(IID_IDrmAudioStream, 0xF0D37518, 0xA652, 0x4C84, 0xB3, 0xF2, 0x7B, 0xEB, 0x97, 0xB2, 0xDD, 0x98);
// {EF3A7DBB-36F4-4577-87D3-8FD8F62A5048}
DEFINE_GUID(IID_IPinCount, 0xEF3A7DBB, 0x36F4, 0x4577, 0x87, 0xD3, 0x8F, 0xD8, 0xF6, 0x2A, 0x50, 0x48);
// {16738177-E199-41F9-9A87-ABB2A5432F21}
DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
// {B532678C-BE50-472D-9973-8A6F16594989}
DEFINE_GUID(IID_IMiniportAudioSignalProcessing, 0xB532678C, 0xBE50, 0x472D, 0x99, 0x73, 0x8A, 0x6F, 0x16, 0x59, 0x49, 0x89);
// {1B3C0290-3BD1-484D-8844-30BA3AC69B20}
DEFINE_GUID(IID_IPortWaveCyclic, 0x1B3C0290, 0x3BD1, 0x484D, 0x88, 0x44, 0x30, 0xBA, 0x3A, 0xC6, 0x9B, 0x20);
// {DCA9513B-E6C6-4370-B0FC-204C43E68F66}
DEFINE_GUID(IID_IMiniportWaveCyclic, 0xDCA9513B, 0xE6C6, 0x4370, 0xB0, 0xFC, 0x20, 0x4C, 0x43, 0xE6, 0x8F, 0x66);
// {176A3DC7-7393-417B-9BC1-C29074117228}
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0x176A3DC7, 0x7393, 0x417B, 0x9B, 0xC1, 0xC2, 0x90, 0x74, 0x11, 0x72, 0x28);
// {CD70C0A9-D31D-457E-A2CC-290C3223EB43}
DEFINE_GUID(IID_IDmaChannel, 0xCD70C0A9, 0xD31D, 0x457E, 0xA2, 0xCC, 0x29, 0x0C, 0x32, 0x23, 0xEB, 0x43);
// {4ACA8B7C-FDE5-4144-A0CF-9DEC49225E4D}
DEFINE_GUID(IID_IServiceSink, 0x4ACA8B7C, 0xFDE5, 0x4144, 0xA0, 0xCF, 0x9D, 0xEC, 0x49, 0x22, 0x5E, 0x4D);
// {BEE1F93B-9B65-4EC5-960E-AE47C9E4DC80}
DEFINE_GUID(IID_IServiceGroup, 0xBEE1F93B, 0x9B65, 0x4EC5, 0x96, 0x0E, 0xAE, 0x47, 0xC9, 0xE4, 0xDC, 0x80);

// Room portcls keeps at the start of every adapter device's extension; the driver's own
// fields follow it.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// The node index of a request that addresses no node, and of a connection end at a pin.
#define PCFILTER_NODE KSFILTER_NODE

struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
#define PCPROPERTY_ITEM_FLAG_SERIALIZESET KSPROPERTY_TYPE_SERIALIZESET

typedef struct {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM *Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM *Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM *Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

// An automation table over a const array of property items.
#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                          \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                       \
                                                (ULONG)(sizeof(PropertyTable) / sizeof(PropertyTable[0])), \
                                                (const PCPROPERTY_ITEM *)PropertyTable,         \
                                                0,                                              \
                                                0,                                              \
                                                nullptr,                                        \
                                                0,                                              \
                                                0,                                              \
                                                nullptr,                                        \
                                                0}

// A property request as portcls hands it to a handler. MajorTarget is the miniport (filter,
// node and pin requests) and MinorTarget the miniport stream of a pin request (null otherwise);
// Node is PCFILTER_NODE when no node is addressed. Verb holds the KSPROPERTY_TYPE_* flags.
// The instance is what follows the KSPROPERTY (or KSNODEPROPERTY) in the request; ValueSize is
// in/out: the handler sets the bytes it wrote (or needs).
struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM *PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    struct _IRP *Irp;
};

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE *AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE *AutomationTable;
    const GUID *Type;
    const GUID *Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

// Pins and Nodes are arrays with element strides PinSize and NodeSize: a driver may extend
// each element past the PCPIN_DESCRIPTOR or PCNODE_DESCRIPTOR it begins with.
typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE *AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR *Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR *Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR *Connections;
    ULONG CategoryCount;
    const GUID *Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24);
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16);
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);
static_assert(sizeof(PCAUTOMATION_TABLE) == 56);
static_assert(sizeof(PCPROPERTY_REQUEST) == 72);


// Bus and DMA description that a WaveRT miniport reports for its buffer.
typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
    PNPBus = 15,
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

typedef struct _DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

// Copy-protection rights of a stream's content.
typedef struct {
    BOOL CopyProtect;
    ULONG Reserved;
    BOOL DigitalOutputDisable;
} DRMRIGHTS, *PDRMRIGHTS;
typedef const DRMRIGHTS *PCDRMRIGHTS;

// The hardware resources of an adapter at start (a simulated USB device has none).
DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    STDMETHOD_(ULONG, NumberOfEntries)() PURE;

protected:
    ~IResourceList() = default;
};
typedef IResourceList *PRESOURCELIST;

interface IPortWaveRT;
interface IPortWaveRTStream;
interface IMiniportWaveRTStream;
typedef IPortWaveRT *PPORTWAVERT;
typedef IPortWaveRTStream *PPORTWAVERTSTREAM;
typedef IMiniportWaveRTStream *PMINIPORTWAVERTSTREAM;

// A port: created by PcNewPort, bound to its miniport by Init, published by
// PcRegisterSubdevice. Init runs at PASSIVE_LEVEL and calls the miniport's Init.
DECLARE_INTERFACE_(IPort, IUnknown)
{
    STDMETHOD(Init)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp, PUNKNOWN UnknownMiniport,
                    PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;

protected:
    ~IPort() = default;
};
typedef IPort *PPORT;

DECLARE_INTERFACE_(IPortWaveRT, IPort)
{
protected:
    ~IPortWaveRT() = default;
};

// The port's services to one WaveRT stream: audio buffer pages. Pages come from non-paged
// memory below HighAddress and are owned by the caller until FreePagesFromMdl.
DECLARE_INTERFACE_(IPortWaveRTStream, IUnknown)
{
    STDMETHOD_(struct _MDL *, AllocatePagesForMdl)(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;
    STDMETHOD_(struct _MDL *, AllocateContiguousPagesForMdl)(PHYSICAL_ADDRESS LowAddress,
                                                             PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;
    STDMETHOD_(PVOID, MapAllocatedPages)(struct _MDL *MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) PURE;
    STDMETHOD_(void, UnmapAllocatedPages)(PVOID BaseAddress, struct _MDL *MemoryDescriptorList) PURE;
    STDMETHOD_(void, FreePagesFromMdl)(struct _MDL *MemoryDescriptorList) PURE;
    STDMETHOD_(ULONG, GetPhysicalPagesCount)(struct _MDL *MemoryDescriptorList) PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, GetPhysicalPageAddress)(struct _MDL *MemoryDescriptorList, ULONG Index) PURE;

protected:
    ~IPortWaveRTStream() = default;
};

// A miniport: the filter it describes and its data-range intersection. DataRangeIntersection
// answers STATUS_NOT_IMPLEMENTED to leave the intersection to the port's default.
DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    STDMETHOD(GetDescription)(PPCFILTER_DESCRIPTOR *Description) PURE;
    STDMETHOD(DataRangeIntersection)(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                     ULONG OutputBufferLength, PVOID ResultantFormat,
                                     PULONG ResultantFormatLength) PURE;

protected:
    ~IMiniport() = default;
};
typedef IMiniport *PMINIPORT;

DECLARE_INTERFACE_(IMiniportWaveRT, IMiniport)
{
    STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) PURE;
    STDMETHOD(NewStream)(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                         BOOLEAN Capture, PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD(GetDeviceDescription)(PDEVICE_DESCRIPTION DeviceDescription) PURE;

protected:
    ~IMiniportWaveRT() = default;
};
typedef IMiniportWaveRT *PMINIPORTWAVERT;

// A WaveRT stream. SetState is called one neighbouring step at a time (STOP, ACQUIRE, PAUSE,
// RUN and back), at PASSIVE_LEVEL.
DECLARE_INTERFACE_(IMiniportWaveRTStream, IUnknown)
{
    STDMETHOD(SetFormat)(PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD(SetState)(KSSTATE State) PURE;
    STDMETHOD(GetPosition)(PKSAUDIO_POSITION Position) PURE;
    STDMETHOD(AllocateAudioBuffer)(ULONG RequestedSize, struct _MDL **AudioBufferMdl, ULONG *ActualSize,
                                   ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType) PURE;
    STDMETHOD_(void, FreeAudioBuffer)(struct _MDL *AudioBufferMdl, ULONG BufferSize) PURE;
    STDMETHOD_(void, GetHWLatency)(KSRTAUDIO_HWLATENCY *HwLatency) PURE;
    STDMETHOD(GetPositionRegister)(KSRTAUDIO_HWREGISTER *Register) PURE;
    STDMETHOD(GetClockRegister)(KSRTAUDIO_HWREGISTER *Register) PURE;

protected:
    ~IMiniportWaveRTStream() = default;
};

DECLARE_INTERFACE_(IMiniportWaveRTStreamNotification, IMiniportWaveRTStream)
{
    STDMETHOD(AllocateBufferWithNotification)(ULONG NotificationCount, ULONG RequestedSize,
                                              struct _MDL **AudioBufferMdl, ULONG *ActualSize,
                                              ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType) PURE;
    STDMETHOD_(void, FreeBufferWithNotification)(struct _MDL *AudioBufferMdl, ULONG BufferSize) PURE;
    STDMETHOD(RegisterNotificationEvent)(struct _KEVENT *NotificationEvent) PURE;
    STDMETHOD(UnregisterNotificationEvent)(struct _KEVENT *NotificationEvent) PURE;

protected:
    ~IMiniportWaveRTStreamNotification() = default;
};
typedef IMiniportWaveRTStreamNotification *PMINIPORTWAVERTSTREAMNOTIFICATION;

// Power: the adapter's object registered with PcRegisterAdapterPowerManagement hears every
// device power change; a miniport that exposes IPowerNotify hears them after it.
DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    STDMETHOD_(void, PowerChangeNotify)(POWER_STATE PowerState) PURE;

protected:
    ~IPowerNotify() = default;
};
typedef IPowerNotify *PPOWERNOTIFY;

DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    STDMETHOD_(void, PowerChangeState)(POWER_STATE NewState) PURE;
    STDMETHOD(QueryPowerChangeState)(POWER_STATE NewStateQuery) PURE;
    STDMETHOD(QueryDeviceCapabilities)(struct _DEVICE_CAPABILITIES *PowerDeviceCaps) PURE;

protected:
    ~IAdapterPowerManagement() = default;
};
typedef IAdapterPowerManagement *PADAPTERPOWERMANAGEMENT;

// Signal-processing modes of a pin: with *NumSignalProcessingModes 0 (or no array) the call
// reports the count; otherwise it fills up to that many modes.
DECLARE_INTERFACE_(IMiniportAudioSignalProcessing, IUnknown)
{
    STDMETHOD(GetModes)(ULONG Pin, GUID *SignalProcessingModes, ULONG *NumSignalProcessingModes) PURE;

protected:
    ~IMiniportAudioSignalProcessing() = default;
};
typedef IMiniportAudioSignalProcessing *PMINIPORTAUDIOSIGNALPROCESSING;

DECLARE_INTERFACE_(IDrmAudioStream, IUnknown)
{
    STDMETHOD(SetContentId)(ULONG ContentId, PCDRMRIGHTS DrmRights) PURE;

protected:
    ~IDrmAudioStream() = default;
};
typedef IDrmAudioStream *PDRMAUDIOSTREAM;

// Lets a miniport adjust the instance counts of a pin factory before portcls checks them.
DECLARE_INTERFACE_(IPinCount, IUnknown)
{
    STDMETHOD_(void, PinCount)(ULONG PinId, PULONG FilterNecessary, PULONG FilterCurrent, PULONG FilterPossible,
                               PULONG GlobalCurrent, PULONG GlobalPossible) PURE;

protected:
    ~IPinCount() = default;
};
typedef IPinCount *PPINCOUNT;

// Implemented by the ports: withdraws a subdevice that PcRegisterSubdevice published.
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown)
{
    STDMETHOD(UnregisterSubdevice)(struct _DEVICE_OBJECT *DeviceObject, PUNKNOWN Unknown) PURE;

protected:
    ~IUnregisterSubdevice() = default;
};
typedef IUnregisterSubdevice *PUNREGISTERSUBDEVICE;

// Adapter driver entry points.
typedef NTSTATUS (*PCPFNSTARTDEVICE)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp,
                                     PRESOURCELIST ResourceList);

extern "C" {

// Hooks portcls's dispatch routines, AddDevice and DriverUnload into the driver object.
NTSTATUS PcInitializeAdapterDriver(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);
// Creates the functional device object (extension of DeviceExtensionSize bytes, the first
// PORT_CLASS_DEVICE_EXTENSION_SIZE reserved) and attaches it above PhysicalDeviceObject;
// StartDevice runs on IRP_MN_START_DEVICE. MaxObjects bounds the subdevices.
NTSTATUS PcAddAdapterDevice(struct _DRIVER_OBJECT *DriverObject, struct _DEVICE_OBJECT *PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
// portcls's handling of any request of an adapter device: KS creates, properties, closes,
// PnP and power.
NTSTATUS PcDispatchIrp(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
NTSTATUS PcCompleteIrp(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp, NTSTATUS Status);
// Registers the object (it must answer IAdapterPowerManagement) for the device's power changes;
// portcls holds a reference until the device is removed.
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);
NTSTATUS PcUnregisterAdapterPowerManagement(struct _DEVICE_OBJECT *DeviceObject);
NTSTATUS PcNewPort(PPORT *OutPort, REFCLSID ClassId);
// Publishes the port's filter as Name: a device interface for KSCATEGORY_AUDIO and each
// category of the filter descriptor, whose reference string is Name.
NTSTATUS PcRegisterSubdevice(struct _DEVICE_OBJECT *DeviceObject, PWSTR Name, PUNKNOWN Unknown);

} // extern "C"

// ---- WaveCyclic ----
// The WaveCyclic port copies audio between the audio engine's stream requests and a cyclic
// buffer that the miniport stream owns, through the stream's DMA channel, whenever the
// miniport asks for service through its service group.

struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT *PADAPTER_OBJECT;

// Something the port can ask to do its deferred work.
DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    STDMETHOD_(void, RequestService)() PURE;

protected:
    ~IServiceSink() = default;
};
typedef IServiceSink *PSERVICESINK;

// A set of sinks serviced together: RequestService on the group calls every member's
// RequestService. Members are referenced while they belong to the group.
DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    STDMETHOD(AddMember)(PSERVICESINK ServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(PSERVICESINK ServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)() PURE;
    // Services the group once, Delay (100-ns units, negative relative) from now.
    STDMETHOD_(void, RequestDelayedService)(ULONGLONG Delay) PURE;
    STDMETHOD_(void, CancelDelayedService)() PURE;

protected:
    ~IServiceGroup() = default;
};
typedef IServiceGroup *PSERVICEGROUP;

// The cyclic buffer of a stream as the port sees it. CopyTo writes ByteCount bytes from Source
// (the engine's data) at Destination inside the buffer; CopyFrom reads ByteCount bytes at
// Source inside the buffer into Destination. Neither region crosses the buffer's end.
DECLARE_INTERFACE_(IDmaChannel, IUnknown)
{
    STDMETHOD(AllocateBuffer)(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)() PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;

protected:
    ~IDmaChannel() = default;
};
typedef IDmaChannel *PDMACHANNEL;

// The WaveCyclic port. Notify (IRQL <= DISPATCH_LEVEL) schedules the service of every stream
// in the group; the service itself runs later in a DPC.
DECLARE_INTERFACE_(IPortWaveCyclic, IPort)
{
    STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) PURE;

protected:
    ~IPortWaveCyclic() = default;
};
typedef IPortWaveCyclic *PPORTWAVECYCLIC;

interface IMiniportWaveCyclicStream;
typedef IMiniportWaveCyclicStream *PMINIPORTWAVECYCLICSTREAM;

// A WaveCyclic miniport. NewStream returns the stream, its DMA channel and the service group
// the stream's notifications go to, each referenced for the port.
DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport)
{
    STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) PURE;
    STDMETHOD(NewStream)(PMINIPORTWAVECYCLICSTREAM *Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                         BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL *DmaChannel,
                         PSERVICEGROUP *ServiceGroup) PURE;

protected:
    ~IMiniportWaveCyclic() = default;
};
typedef IMiniportWaveCyclic *PMINIPORTWAVECYCLIC;

// A WaveCyclic stream. SetState is called one neighbouring step at a time at PASSIVE_LEVEL;
// GetPosition gives the byte offset in the cyclic buffer up to which the device has played
// (render) or written (capture).
DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown)
{
    STDMETHOD(SetFormat)(PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(ULONG, SetNotificationFreq)(ULONG Interval, PULONG FramingSize) PURE;
    STDMETHOD(SetState)(KSSTATE State) PURE;
    STDMETHOD(GetPosition)(PULONG Position) PURE;
    STDMETHOD(NormalizePhysicalPosition)(PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(void, Silence)(PVOID Buffer, ULONG ByteCount) PURE;

protected:
    ~IMiniportWaveCyclicStream() = default;
};

extern "C" {

// Creates a service group (referenced). OuterUnknown may be null.
NTSTATUS PcNewServiceGroup(PSERVICEGROUP *OutServiceGroup, PUNKNOWN OuterUnknown);

} // extern "C"
