/* Base UEFI types, status codes and calling convention (UEFI 2.x, x64).
   Plain C so that callers compile it as C11 as well as C++. */
#ifndef ORVALE_EFI_TYPES_H
#define ORVALE_EFI_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EFI_EXTERN_C_BEGIN extern "C" {
#define EFI_EXTERN_C_END }
#define EFI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define EFI_EXTERN_C_BEGIN
#define EFI_EXTERN_C_END
#define EFI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Microsoft x64 convention everywhere, also in the hosted build, so that a
   missing EFIAPI breaks the hosted tests and not only real firmware. */
#define EFIAPI __attribute__((ms_abi))

EFI_EXTERN_C_BEGIN

typedef uint8_t BOOLEAN;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int64_t INTN;
typedef uint64_t UINTN;
typedef char CHAR8;
#ifdef __cplusplus
typedef char16_t CHAR16;
#else
typedef uint16_t CHAR16;
#endif
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

#ifndef TRUE
#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#endif

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;
EFI_STATIC_ASSERT(sizeof(EFI_GUID) == 16, "EFI_GUID");

typedef struct {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
} EFI_TIME;
EFI_STATIC_ASSERT(sizeof(EFI_TIME) == 16, "EFI_TIME");

typedef struct {
  UINT32 Resolution;
  UINT32 Accuracy;
  BOOLEAN SetsToZero;
} EFI_TIME_CAPABILITIES;

typedef struct {
  UINT8 Addr[32];
} EFI_MAC_ADDRESS;
EFI_STATIC_ASSERT(sizeof(EFI_MAC_ADDRESS) == 32, "EFI_MAC_ADDRESS");

typedef struct {
  UINT8 Addr[4];
} EFI_IPv4_ADDRESS;

typedef struct {
  UINT8 Addr[16];
} EFI_IPv6_ADDRESS;

typedef union {
  UINT32 Addr[4];
  EFI_IPv4_ADDRESS v4;
  EFI_IPv6_ADDRESS v6;
} EFI_IP_ADDRESS;
EFI_STATIC_ASSERT(sizeof(EFI_IP_ADDRESS) == 16, "EFI_IP_ADDRESS");

#define EFI_ERROR_BIT ((EFI_STATUS)1 << 63)
#define EFI_ENCODE_ERROR(n) (EFI_ERROR_BIT | (EFI_STATUS)(n))
#define EFI_ERROR(s) (((INTN)(EFI_STATUS)(s)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR EFI_ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER EFI_ENCODE_ERROR(2)
#define EFI_UNSUPPORTED EFI_ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE EFI_ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL EFI_ENCODE_ERROR(5)
#define EFI_NOT_READY EFI_ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR EFI_ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED EFI_ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES EFI_ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED EFI_ENCODE_ERROR(10)
#define EFI_VOLUME_FULL EFI_ENCODE_ERROR(11)
#define EFI_NO_MEDIA EFI_ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED EFI_ENCODE_ERROR(13)
#define EFI_NOT_FOUND EFI_ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED EFI_ENCODE_ERROR(15)
#define EFI_NO_RESPONSE EFI_ENCODE_ERROR(16)
#define EFI_NO_MAPPING EFI_ENCODE_ERROR(17)
#define EFI_TIMEOUT EFI_ENCODE_ERROR(18)
#define EFI_NOT_STARTED EFI_ENCODE_ERROR(19)
#define EFI_ALREADY_STARTED EFI_ENCODE_ERROR(20)
#define EFI_ABORTED EFI_ENCODE_ERROR(21)
#define EFI_ICMP_ERROR EFI_ENCODE_ERROR(22)
#define EFI_TFTP_ERROR EFI_ENCODE_ERROR(23)
#define EFI_PROTOCOL_ERROR EFI_ENCODE_ERROR(24)
#define EFI_INCOMPATIBLE_VERSION EFI_ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION EFI_ENCODE_ERROR(26)
#define EFI_CRC_ERROR EFI_ENCODE_ERROR(27)
#define EFI_END_OF_MEDIA EFI_ENCODE_ERROR(28)
#define EFI_END_OF_FILE EFI_ENCODE_ERROR(31)
#define EFI_INVALID_LANGUAGE EFI_ENCODE_ERROR(32)
#define EFI_COMPROMISED_DATA EFI_ENCODE_ERROR(33)

#define TPL_APPLICATION ((EFI_TPL)4)
#define TPL_CALLBACK ((EFI_TPL)8)
#define TPL_NOTIFY ((EFI_TPL)16)
#define TPL_HIGH_LEVEL ((EFI_TPL)31)

#define EVT_TIMER 0x80000000u
#define EVT_RUNTIME 0x40000000u
#define EVT_NOTIFY_WAIT 0x00000100u
#define EVT_NOTIFY_SIGNAL 0x00000200u

typedef enum { TimerCancel = 0, TimerPeriodic = 1, TimerRelative = 2 } EFI_TIMER_DELAY;

typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
} EFI_MEMORY_TYPE;

typedef enum { AllocateAnyPages, AllocateMaxAddress, AllocateAddress, MaxAllocateType } EFI_ALLOCATE_TYPE;
typedef enum { EFI_NATIVE_INTERFACE = 0 } EFI_INTERFACE_TYPE;
typedef enum { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 } EFI_LOCATE_SEARCH_TYPE;
typedef enum { EfiResetCold = 0, EfiResetWarm = 1, EfiResetShutdown = 2, EfiResetPlatformSpecific = 3 } EFI_RESET_TYPE;

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001u
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002u
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL 0x00000004u
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008u
#define EFI_OPEN_PROTOCOL_BY_DRIVER 0x00000010u
#define EFI_OPEN_PROTOCOL_EXCLUSIVE 0x00000020u

#define EFI_VARIABLE_NON_VOLATILE 0x00000001u
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002u
#define EFI_VARIABLE_RUNTIME_ACCESS 0x00000004u

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);

EFI_EXTERN_C_END

#endif
