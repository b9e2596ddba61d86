#include "device_discovery.h"

#include <initguid.h>
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstring>

#include "common/win/os_version.h"
#include "common/win/unique_resource.h"
#include "key_io.h"
#include "key_path_list.h"

namespace tamsu {
namespace {

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA in a 32-bit process");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA in a 32-bit process");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "fixed part of the detail record");
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
constexpr DWORD kClassScratchSize = 1024;

}  // namespace

const bool ClassPropertyCheckEnabled = ClassPropertyCheckFor(
    StartupOsVersion().dwPlatformId, StartupOsVersion().dwMajorVersion, StartupOsVersion().dwMinorVersion);

void EnumerateKeyDevices(char* buffer, size_t capacity) {
  EnumerateKeyDevicesWith(ClassPropertyCheckEnabled, buffer, capacity);
}

void EnumerateKeyDevicesWith(bool classPropertyCheck, char* buffer, size_t capacity) {
  DevicePathListWriter list(buffer, capacity);
  UniqueResource<traits::InvalidHandleIsEmpty<HDEVINFO, &keyio::SetupDiDestroyDeviceInfoList>> set(
      keyio::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CDROM, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set) {
    list.Finish();
    return;
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    if (!keyio::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &GUID_DEVINTERFACE_CDROM, index, &interfaceData)) {
      break;
    }
    DWORD size = 0;
    keyio::SetupDiGetDeviceInterfaceDetailA(set.get(), &interfaceData, nullptr, 0, &size, nullptr);
    // No room for the fixed part and one path character: nothing to read.
    if (size <= kDetailFixedSize) continue;
    const DWORD allocated = size;
    UniqueGlobalMemory memory(GlobalAlloc(GPTR, allocated));
    if (!memory) continue;
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(memory.get());
    detail->cbSize = kDetailFixedSize;
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof devInfo;
    if (!keyio::SetupDiGetDeviceInterfaceDetailA(set.get(), &interfaceData, detail, size, &size, &devInfo)) {
      continue;
    }
    if (classPropertyCheck) {
      BYTE scratch[kClassScratchSize];
      if (!keyio::SetupDiGetDeviceRegistryPropertyA(set.get(), &devInfo, SPDRP_CLASS, nullptr, scratch, sizeof scratch,
                                                    nullptr)) {
        continue;
      }
    }
    // The record's size bounds the path; one without its terminator inside the record is not read.
    const size_t room = allocated - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const size_t length = strnlen(detail->DevicePath, room);
    if (length == room || !IsKeyDevicePath(detail->DevicePath)) continue;
    list.Append(detail->DevicePath, length);
  }
  set.reset();
  list.Finish();
}

}  // namespace tamsu
