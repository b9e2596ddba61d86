// The seam's production side: each call goes straight to the platform.
#include "key_io.h"

namespace tamsu {
namespace keyio {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  return ::CreateFileA(path, access, share, attributes, disposition, flags, templateFile);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  return ::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL CloseHandle(HANDLE device) { return ::CloseHandle(device); }

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA devInfo, const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
  return ::SetupDiEnumDeviceInterfaces(set, devInfo, classGuid, index, interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA devInfo) {
  return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, devInfo);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD dataType,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  return ::SetupDiGetDeviceRegistryPropertyA(set, devInfo, property, dataType, buffer, bufferSize, requiredSize);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }

}  // namespace keyio
}  // namespace tamsu
