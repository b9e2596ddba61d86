// Finds the keys present now: the CD-ROM interfaces whose paths carry the key's vendor and revision.
#pragma once

#include <cstddef>

namespace tamsu {

// Set once at program start from the OS version, before any server thread exists.
extern const bool ClassPropertyCheckEnabled;

// Fills `buffer` with the DevicePathList of the keys present (a single 0 byte when there are none).
void EnumerateKeyDevices(char* buffer, size_t capacity);

// The same with the class-property check given explicitly.
void EnumerateKeyDevicesWith(bool classPropertyCheck, char* buffer, size_t capacity);

}  // namespace tamsu
