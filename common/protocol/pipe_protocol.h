// What clients see of the pipes: names, the list request and its replies (no platform calls here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamsu {

constexpr wchar_t kPipeNameFormat[] = L"\\\\.\\pipe\\Tamsu193B_Pipe00_Device_%s";
constexpr wchar_t kListNameArgument[] = L"List";
constexpr wchar_t kServiceMutexName[] = L"Global\\Tamsu193B_Mut00_TamsuMon";

constexpr size_t kDevicePathPrefixLength = 4;  // "\\?\" is dropped from device pipe names
// One instance per name, connected client after client: while its server holds the name's only
// slot, no other process can add an instance and answer the server's clients.
constexpr uint32_t kPipeMaxInstances = 1;
constexpr uint32_t kPipeBufferSize = 4096;  // output and input buffers, request and reply buffers
constexpr uint32_t kPipeDefaultTimeoutMs = 10000;

constexpr char kListRequest[] = "DeviceListA";  // sent with its zero byte: 12 bytes
constexpr size_t kListRequestSize = sizeof kListRequest;
constexpr char kErrorReply[] = "Error";  // sent with its zero byte: 6 bytes
constexpr size_t kErrorReplySize = sizeof kErrorReply;

// The format with `argument` in place of %s.
std::wstring PipeName(const std::wstring& argument);
// The device path from its fifth character on, in place of %s.
std::wstring DevicePipeName(const std::wstring& devicePath);

// Exactly the 12 bytes "DeviceListA" and its zero; case matters.
bool IsListRequest(const uint8_t* request, size_t length);

// The paths of a DevicePathList, in order, up to its final zero or the end of the buffer.
std::vector<std::string> ListedPaths(const char* list, size_t size);

}  // namespace tamsu
