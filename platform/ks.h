// Kernel-streaming declarations the driver is compiled against: the class driver's records,
// constants and calls under the platform's names, with the x64 layouts checked. Only what the
// driver uses. Both the freestanding driver and the user-mode host include this header.
#pragma once

#include "platform/wdm.h"

typedef LONGLONG REFERENCE_TIME;
typedef ULONG BOOL;
typedef USHORT WORD;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID KSOBJECT_BAG;

typedef struct _SIZE {
  LONG cx;
  LONG cy;
} SIZE;
static_assert(sizeof(SIZE) == 8);

// ---------------------------------------------------------------------------------------------
// Identifiers, properties, pins

typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;
static_assert(sizeof(KSIDENTIFIER) == 24);
static_assert(offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20);

#define KSPROPERTY_TYPE_GET          0x00000001
#define KSPROPERTY_TYPE_SET          0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT   0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS    0x00000400
#define KSPROPERTY_TYPE_TOPOLOGY     0x10000000

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  union {
    ULONG Reserved;
    ULONG Flags;
  };
} KSP_PIN, *PKSP_PIN;
static_assert(sizeof(KSP_PIN) == 32);

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY;

typedef struct _KSATTRIBUTE_LIST KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

typedef enum {
  KSPIN_DATAFLOW_IN = 1,
  KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW;

typedef enum {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4,
} KSPIN_COMMUNICATION;

typedef enum {
  KSSTATE_STOP = 0,
  KSSTATE_ACQUIRE = 1,
  KSSTATE_PAUSE = 2,
  KSSTATE_RUN = 3,
} KSSTATE, *PKSSTATE;

typedef enum {
  KSRESET_BEGIN = 0,
  KSRESET_END = 1,
} KSRESET;

// ---------------------------------------------------------------------------------------------
// Data formats and ranges

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, Specifier) == 48);

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

#define KS_BI_RGB 0

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinOutputSize) == 60);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

// ---------------------------------------------------------------------------------------------
// Stream headers and stream pointers

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME;
static_assert(sizeof(KSTIME) == 16);

typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(offsetof(KSSTREAM_HEADER, Duration) == 24 && offsetof(KSSTREAM_HEADER, Data) == 40);
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == 48);

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT       0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL           0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED       0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID         0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE      0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID     0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM       0x00000200
#define KSSTREAM_HEADER_OPTIONSF_FRAMEINFO         0x00004000
#define KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA        0x80000000

typedef struct tagKS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  union {
    LONG lSurfacePitch;
    ULONG Reserved1;
  };
  ULONG Reserved2;
  union {
    struct {
      ULONG Reserved3;
      ULONG Reserved4;
    };
    ULONGLONG FrameCompletionNumber;
  };
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(KS_FRAME_INFO) == 72);
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8 && offsetof(KS_FRAME_INFO, DirectDrawRect) == 40);

#define KS_VIDEO_FLAG_FRAME 0x0000

struct _KSPIN;
typedef struct _KSPIN KSPIN, *PKSPIN;

typedef struct _KSSTREAM_POINTER_OFFSET {
  PUCHAR Data;
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16);

typedef struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;
static_assert(sizeof(KSSTREAM_POINTER) == 64);
static_assert(offsetof(KSSTREAM_POINTER, StreamHeader) == 16 && offsetof(KSSTREAM_POINTER, OffsetIn) == 32);
static_assert(offsetof(KSSTREAM_POINTER, OffsetOut) == 48);

typedef enum {
  KSSTREAM_POINTER_STATE_UNLOCKED = 0,
  KSSTREAM_POINTER_STATE_LOCKED = 1,
} KSSTREAM_POINTER_STATE;

// ---------------------------------------------------------------------------------------------
// Allocator framing

typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  union {
    ULONG FileAlignment;
    LONG FramePitch;
  };
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;
static_assert(sizeof(KS_FRAMING_ITEM) == 88);
static_assert(offsetof(KS_FRAMING_ITEM, PhysicalRange) == 56 && offsetof(KS_FRAMING_ITEM, FramingRange) == 68);

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112);
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) == 24);

#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY    0x00000002
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---------------------------------------------------------------------------------------------
// Automation tables

typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct KSPROPERTY_VALUES KSPROPERTY_VALUES;
typedef struct KSFASTPROPERTY_ITEM KSFASTPROPERTY_ITEM;
typedef struct KSFASTMETHOD_ITEM KSFASTMETHOD_ITEM;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;
static_assert(sizeof(KSPROPERTY_ITEM) == 72);
static_assert(offsetof(KSPROPERTY_ITEM, MinProperty) == 16 && offsetof(KSPROPERTY_ITEM, SetPropertyHandler) == 24);
static_assert(offsetof(KSPROPERTY_ITEM, SupportHandler) == 56);

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;
static_assert(sizeof(KSPROPERTY_SET) == 40);

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;
} KSMETHOD_ITEM;
static_assert(sizeof(KSMETHOD_ITEM) == 40);

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET;

typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PVOID AddHandler;
  PVOID RemoveHandler;
  PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM;
static_assert(sizeof(KSEVENT_ITEM) == 40);

typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET;

typedef struct KSAUTOMATION_TABLE_ {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
static_assert(sizeof(KSAUTOMATION_TABLE) == 48);

// ---------------------------------------------------------------------------------------------
// Pins

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40 && offsetof(KSPIN_DESCRIPTOR, Category) == 56);

typedef NTSTATUS (*PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (*PFNKSPIN)(PKSPIN Pin);
typedef void (*PFNKSPINVOID)(PKSPIN Pin);
typedef NTSTATUS (*PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                                          const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS (*PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                            PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                                            PULONG DataSize);

typedef struct KSCLOCK_DISPATCH KSCLOCK_DISPATCH;
typedef struct KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH;

typedef struct {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const KSCLOCK_DISPATCH* Clock;
  const KSALLOCATOR_DISPATCH* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;
static_assert(sizeof(KSPIN_DISPATCH) == 80);

typedef struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
} KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, PinDescriptor) == 16 && offsetof(KSPIN_DESCRIPTOR_EX, Flags) == 104);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, AllocatorFraming) == 120);

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING         0x00000002
#define KSPIN_FLAG_CRITICAL_PROCESSING               0x00000004
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING          0x00000008
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING           0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING        0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO                      0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS                 0x00000100
#define KSPIN_FLAG_DISTINCT_TRAILING_EDGE            0x00000200
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY         0x00010000
#define KSPIN_FLAG_SPLITTER                          0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT            0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT     0x00080000
#define KSPIN_FLAG_FIXED_FORMAT                      0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS               0x00200000
#define KSPIN_FLAG_RENDERER                          0x00400000
#define KSPIN_FLAG_SOME_FRAMES_REQUIRED_FOR_PROCESSING 0x00800000
#define KSPIN_FLAG_PROCESS_IF_ANY_IN_RUN_STATE       0x01000000
#define KSPIN_FLAG_DENY_USERMODE_ACCESS              0x80000000

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};
static_assert(sizeof(KSPIN) == 136);
static_assert(offsetof(KSPIN, ConnectionInterface) == 40 && offsetof(KSPIN, ConnectionFormat) == 96);
static_assert(offsetof(KSPIN, DeviceState) == 120);

// ---------------------------------------------------------------------------------------------
// Filters, filter factories, devices

struct _KSFILTER;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct KSPROCESSPIN_INDEXENTRY* PKSPROCESSPIN_INDEXENTRY;

typedef NTSTATUS (*PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (*PFNKSFILTERPROCESS)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY Index);
typedef NTSTATUS (*PFNKSFILTERVOID)(PKSFILTER Filter);

typedef struct {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;
static_assert(sizeof(KSFILTER_DISPATCH) == 32);

typedef struct {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
} KSNODE_DESCRIPTOR;
static_assert(sizeof(KSNODE_DESCRIPTOR) == 24);

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION;

typedef struct KSCOMPONENTID KSCOMPONENTID;

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)

typedef struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
} KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104);
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptors) == 40 && offsetof(KSFILTER_DESCRIPTOR, Categories) == 56);
static_assert(offsetof(KSFILTER_DESCRIPTOR, ComponentId) == 96);

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};
static_assert(sizeof(KSFILTER) == 24);

typedef struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
} KSFILTERFACTORY, *PKSFILTERFACTORY;
static_assert(sizeof(KSFILTERFACTORY) == 24);

typedef void (*PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);

#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD        0x00000002
#define KSCREATE_ITEM_NOPARAMETERS    0x00000004
#define KSCREATE_ITEM_FREEONSTOP      0x00000008

struct _KSDEVICE;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;

typedef enum _POWER_ACTION { PowerActionNone = 0 } POWER_ACTION;

typedef NTSTATUS (*PFNKSDEVICECREATE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEPNPSTART)(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                                        PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS (*PFNKSDEVICE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEIRP)(PKSDEVICE Device, PIRP Irp);
typedef void (*PFNKSDEVICEIRPVOID)(PKSDEVICE Device, PIRP Irp);
typedef NTSTATUS (*PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE Device, PIRP Irp, PDEVICE_CAPABILITIES Capabilities);
typedef NTSTATUS (*PFNKSDEVICEQUERYPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                          DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef void (*PFNKSDEVICESETPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);

typedef struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;
static_assert(sizeof(KSDEVICE_DISPATCH) == 112);
static_assert(offsetof(KSDEVICE_DISPATCH, Stop) == 40 && offsetof(KSDEVICE_DISPATCH, QueryCapabilities) == 72);

typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32);

struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};
static_assert(sizeof(KSDEVICE) == 64);
static_assert(offsetof(KSDEVICE, NextDeviceObject) == 40 && offsetof(KSDEVICE, Started) == 48);

// ---------------------------------------------------------------------------------------------
// Reference clock

typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

typedef const GUID& REFIID;

// The pin's reference clock as the class driver hands it out: a COM-style interface whose
// table starts with the three IUnknown slots.
struct IKsReferenceClock {
  virtual NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;
  virtual LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) = 0;
  virtual LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) = 0;
  virtual NTSTATUS GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS GetState(PKSSTATE State) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// ---------------------------------------------------------------------------------------------
// Identifiers the driver names. Defined inline so that every translation unit shares one
// constant object and no static initialiser is needed.

#define KSCAM_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

KSCAM_DEFINE_GUID(KSNAME_Filter, 0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);
KSCAM_DEFINE_GUID(KSCATEGORY_VIDEO, 0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KSCAM_DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KSCAM_DEFINE_GUID(PINNAME_VIDEO_CAPTURE, 0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
KSCAM_DEFINE_GUID(KSDATAFORMAT_TYPE_VIDEO, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
KSCAM_DEFINE_GUID(MEDIASUBTYPE_RGB32, 0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
KSCAM_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
KSCAM_DEFINE_GUID(KSMEMORY_TYPE_KERNEL_NONPAGED, 0x4A6D5FC4, 0x7895, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
KSCAM_DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

// ---------------------------------------------------------------------------------------------
// Class-driver calls

typedef void (*PFNKSFREE)(PVOID Data);

extern "C" {
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor);
void KsAcquireDevice(PKSDEVICE Device);
void KsReleaseDevice(PKSDEVICE Device);
NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                               PFNKSFILTERFACTORYPOWER SleepCallback, PFNKSFILTERFACTORYPOWER WakeCallback,
                               PKSFILTERFACTORY* FilterFactory);
PKSDEVICE KsGetDevice(PVOID Object);
PKSFILTER KsGetFilterFromIrp(PIRP Irp);
NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag);
NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
}

// On the platform these are inline helpers over KsGetDevice.
inline PKSDEVICE KsFilterGetDevice(PKSFILTER Filter) { return KsGetDevice(Filter); }
inline PKSDEVICE KsPinGetDevice(PKSPIN Pin) { return KsGetDevice(Pin); }

// A private, writable copy of a member an object points to (its descriptor, its framing),
// owned by the object's bag.
#define KsEdit(Object, PointerToPointer, Tag)                                                            \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)),     \
          sizeof(**(PointerToPointer)), (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))
