// The narrow seam between the key code and the platform: the few calls that reach a key or list
// the CD-ROM interfaces, with the platform's own argument lists. Deliverables link key_io_win32.cpp,
// which forwards to Windows; tests and the key simulator link a simulated key instead.
#pragma once

#include <windows.h>
#include <setupapi.h>

namespace tamsu {
namespace keyio {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE device);

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA devInfo, const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA devInfo);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD dataType,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

}  // namespace keyio
}  // namespace tamsu
