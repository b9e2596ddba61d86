#include "sim_key.h"

#include <winioctl.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "common/win/unique_resource.h"
#include "service/device/key_io.h"
#include "service/device/pass_through_record.h"

namespace tamsu {
namespace sim {
namespace {

namespace pt = pass_through;

struct InterfaceSet {
  std::vector<SimKey*> interfaces;  // the present interfaces when the set was made
};

bool EqualsIgnoringCase(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

// A driver refuses anything but the record the channel is meant to send.
bool IsWellFormed(const PassThroughFields& f, uint8_t* opcode) {
  if (f.length != pt::kDirectSize || f.targetId != pt::kTargetId || f.pathId != 0 || f.lun != 0) return false;
  if (f.senseInfoLength != pt::kSenseInfoLength || f.senseInfoOffset != pt::kSenseOffset) return false;
  if (f.timeOutValue != pt::kTimeOutSeconds || f.cdbLength != pt::kCdbLength) return false;
  for (size_t i = 1; i < pt::kCdbCapacity; ++i) {
    if (f.cdb[i] != 0) return false;
  }
  *opcode = f.cdb[0];
  if (f.cdb[0] == pt::kSendCdb[0]) return f.dataIn == pt::kDataOut;
  if (f.cdb[0] == pt::kReceiveCdb[0]) return f.dataIn == pt::kDataIn;
  return false;
}

}  // namespace

struct SimKeyBusImpl {
  SimKeyBusImpl() { InitializeCriticalSection(&lock); }
  ~SimKeyBusImpl() { DeleteCriticalSection(&lock); }

  mutable CRITICAL_SECTION lock;
  std::vector<std::unique_ptr<SimKey>> interfaces;
  std::map<HANDLE, SimKey*> handles;  // each a private event, so values never collide
  std::map<InterfaceSet*, std::unique_ptr<InterfaceSet>> sets;
  bool failInterfaceSet = false;
  int classPropertyQueries = 0;

  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE);
  BOOL CloseHandle(HANDLE device);
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED);
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR, HWND, DWORD flags);
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA, const GUID* classGuid, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA interfaceData);
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA devInfo);
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD dataType,
                                         PBYTE buffer, DWORD bufferSize, PDWORD requiredSize);
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO setHandle);

  SimKey* FindByPath(const char* path) {
    for (auto& key : interfaces) {
      if (EqualsIgnoringCase(key->path(), path)) return key.get();
    }
    return nullptr;
  }
  InterfaceSet* FindSet(HDEVINFO set) {
    auto it = sets.find(static_cast<InterfaceSet*>(set));
    return it == sets.end() ? nullptr : it->first;
  }
};

Responder StatusOnly() {
  return [](const Bytes&) { return Bytes{0x90, 0x00}; };
}

Responder Echo() {
  return [](const Bytes& command) {
    Bytes answer(command);
    answer.push_back(0x90);
    answer.push_back(0x00);
    return answer;
  };
}

Responder FixedLength(size_t length) {
  return [length](const Bytes&) {
    Bytes answer(length);
    for (size_t i = 0; i < length; ++i) answer[i] = static_cast<uint8_t>(i);
    if (length >= 2) {
      answer[length - 2] = 0x90;
      answer[length - 1] = 0x00;
    }
    return answer;
  };
}

SimKey::SimKey(SimKeyBus& bus, std::string path, InterfaceOptions options)
    : bus_(bus), path_(std::move(path)), options_(options), responder_(StatusOnly()) {}

void SimKey::SetResponder(Responder responder) {
  CriticalSectionLock hold(bus_.impl_->lock);
  responder_ = std::move(responder);
}

void SimKey::FailNextSend(uint8_t scsiStatus) {
  CriticalSectionLock hold(bus_.impl_->lock);
  failSendStatus_ = scsiStatus;
}

void SimKey::FailNextReceive(uint8_t scsiStatus, int skip) {
  CriticalSectionLock hold(bus_.impl_->lock);
  failReceiveStatus_ = scsiStatus;
  failReceiveSkip_ = skip;
}

void SimKey::ShortenNextAnswer(size_t missing) {
  CriticalSectionLock hold(bus_.impl_->lock);
  shortenNextAnswer_ = missing;
}

void SimKey::UnplugDuringNextCommand() {
  CriticalSectionLock hold(bus_.impl_->lock);
  unplugAfterSend_ = true;
}

void SimKey::StallNextReceive(HANDLE release, DWORD timeoutMs) {
  CriticalSectionLock hold(bus_.impl_->lock);
  stallRelease_ = release;
  stallTimeoutMs_ = timeoutMs;
}

void SimKey::SetFailedSendObserver(std::function<void(const Bytes& command)> observer) {
  CriticalSectionLock hold(bus_.impl_->lock);
  failedSendObserver_ = std::move(observer);
}

void SimKey::PlugBackAfter(DWORD delayMs) {
  CriticalSectionLock hold(bus_.impl_->lock);
  plugBackMs_ = delayMs;
}

void SimKey::Unplug() {
  CriticalSectionLock hold(bus_.impl_->lock);
  Vanish();
}

void SimKey::Vanish() {
  present_ = false;
  vanishedAt_ = GetTickCount();
}

bool SimKey::PresentNow() {
  if (!present_ && plugBackMs_ != INFINITE && GetTickCount() - vanishedAt_ >= plugBackMs_) {
    present_ = true;
    // The key that comes back is a new device: what was opened on the old one stays dead.
    for (auto& entry : bus_.impl_->handles) {
      if (entry.second == this) entry.second = nullptr;
    }
  }
  return present_;
}

void SimKey::Plug() {
  CriticalSectionLock hold(bus_.impl_->lock);
  present_ = true;
}

bool SimKey::present() const {
  CriticalSectionLock hold(bus_.impl_->lock);
  return const_cast<SimKey*>(this)->PresentNow();
}

KeyStats SimKey::stats() const {
  CriticalSectionLock hold(bus_.impl_->lock);
  return stats_;
}

SimKeyBus::SimKeyBus() : impl_(new SimKeyBusImpl) {}

SimKeyBus& SimKeyBus::Instance() {
  static SimKeyBus bus;
  return bus;
}

SimKey& SimKeyBus::Add(const std::string& path, InterfaceOptions options) {
  CriticalSectionLock hold(impl_->lock);
  impl_->interfaces.emplace_back(new SimKey(*this, path, options));
  return *impl_->interfaces.back();
}

void SimKeyBus::Reset() {
  CriticalSectionLock hold(impl_->lock);
  for (auto& entry : impl_->handles) entry.second = nullptr;
  for (auto& entry : impl_->sets) entry.second->interfaces.clear();
  impl_->interfaces.clear();
  impl_->failInterfaceSet = false;
  impl_->classPropertyQueries = 0;
}

void SimKeyBus::FailInterfaceSet(bool fail) {
  CriticalSectionLock hold(impl_->lock);
  impl_->failInterfaceSet = fail;
}

int SimKeyBus::OpenKeyHandles() const {
  CriticalSectionLock hold(impl_->lock);
  return static_cast<int>(impl_->handles.size());
}

int SimKeyBus::OpenInterfaceSets() const {
  CriticalSectionLock hold(impl_->lock);
  return static_cast<int>(impl_->sets.size());
}

int SimKeyBus::ClassPropertyQueries() const {
  CriticalSectionLock hold(impl_->lock);
  return impl_->classPropertyQueries;
}

// The driver's side of the seam's calls.
HANDLE SimKeyBusImpl::CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                  DWORD, HANDLE) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  SimKey* key = path ? bus.FindByPath(path) : nullptr;
  if (!key || !key->PresentNow() || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE) ||
      (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE token = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!token) return INVALID_HANDLE_VALUE;
  bus.handles[token] = key;
  ++key->stats_.opens;
  return token;
}

BOOL SimKeyBusImpl::CloseHandle(HANDLE device) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  auto it = bus.handles.find(device);
  if (it == bus.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bus.handles.erase(it);
  return ::CloseHandle(device);
}

BOOL SimKeyBusImpl::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                    LPDWORD returned, LPOVERLAPPED) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  auto it = bus.handles.find(device);
  // A key that is back from a vanish first drops the handles opened before, this one perhaps.
  if (it != bus.handles.end() && it->second) it->second->PresentNow();
  if (it == bus.handles.end() || !it->second) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SimKey& key = *it->second;
  if (!key.present_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  uint8_t opcode = 0;
  PassThroughFields fields;
  bool wellFormed = code == pass_through::kIoctlScsiPassThroughDirect && in && out &&
                    inSize == pass_through::kRecordSize && outSize == pass_through::kRecordSize;
  if (wellFormed) {
    uint8_t record[pass_through::kRecordSize];
    std::memcpy(record, in, sizeof record);
    fields = DecodePassThroughRecord(record);
    wellFormed = IsWellFormed(fields, &opcode) && (fields.dataTransferLength == 0 || fields.dataBuffer != 0);
  }
  if (!wellFormed) {
    ++key.stats_.refused;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (in != out) std::memcpy(out, in, pass_through::kRecordSize);
  // As a driver does: the request's SCSI status and the bytes it moved, written back into the record.
  auto complete = [out](uint8_t scsiStatus, uint32_t moved) {
    uint8_t* record = static_cast<uint8_t*>(out);
    record[pass_through::kScsiStatusOffset] = scsiStatus;
    for (size_t i = 0; i < 4; ++i) {
      record[pass_through::kDataTransferLengthOffset + i] = static_cast<uint8_t>(moved >> (8 * i));
    }
    return TRUE;
  };
  auto* data = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(fields.dataBuffer));
  if (returned) *returned = pass_through::kRecordSize;

  if (opcode == pass_through::kSendCdb[0]) {
    ++key.stats_.sends;
    if (key.failSendStatus_ >= 0) {
      if (key.failedSendObserver_) key.failedSendObserver_(Bytes(data, data + fields.dataTransferLength));
      const uint8_t scsiStatus = static_cast<uint8_t>(key.failSendStatus_);
      key.failSendStatus_ = -1;
      return complete(scsiStatus, 0);
    }
    key.stats_.lastCommand.assign(data, data + fields.dataTransferLength);
    Bytes answer = key.responder_(key.stats_.lastCommand);
    if (answer.size() > 0xFFFF) answer.resize(0xFFFF);
    key.frame_.assign({static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())});
    key.frame_.insert(key.frame_.end(), answer.begin(), answer.end());
    // After the responder, which may arm this fault for its own command.
    key.deliverable_ = key.frame_.size() - std::min(key.shortenNextAnswer_, key.frame_.size());
    key.shortenNextAnswer_ = 0;
    if (key.unplugAfterSend_) {
      key.unplugAfterSend_ = false;
      key.Vanish();
    }
    return complete(0, fields.dataTransferLength);
  }

  if (HANDLE release = key.stallRelease_) {
    const DWORD timeoutMs = key.stallTimeoutMs_;
    key.stallRelease_ = nullptr;
    ++key.stats_.stalled;
    LeaveCriticalSection(&bus.lock);  // other keys go on while this one stalls
    WaitForSingleObject(release, timeoutMs);
    EnterCriticalSection(&bus.lock);
  }
  ++key.stats_.receives;
  if (key.stats_.receiveLengths.size() < kRecordedReceives) {
    key.stats_.receiveLengths.push_back(fields.dataTransferLength);
  }
  if (key.failReceiveStatus_ >= 0 && key.failReceiveSkip_-- <= 0) {
    const uint8_t scsiStatus = static_cast<uint8_t>(key.failReceiveStatus_);
    key.failReceiveStatus_ = -1;
    return complete(scsiStatus, 0);
  }
  // Every receive returns the frame from its start, cut to the transfer length.
  const size_t count = std::min<size_t>(fields.dataTransferLength, key.deliverable_);
  if (count) std::memcpy(data, key.frame_.data(), count);
  return complete(0, static_cast<uint32_t>(count));
}

HDEVINFO SimKeyBusImpl::SetupDiGetClassDevsA(const GUID* classGuid, PCSTR, HWND, DWORD flags) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  if (bus.failInterfaceSet || !classGuid || !IsEqualGUID(*classGuid, GUID_DEVINTERFACE_CDROM) ||
      flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<InterfaceSet> set(new InterfaceSet);
  for (auto& key : bus.interfaces) {
    if (key->PresentNow()) set->interfaces.push_back(key.get());
  }
  InterfaceSet* raw = set.get();
  bus.sets[raw] = std::move(set);
  return raw;
}

BOOL SimKeyBusImpl::SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA, const GUID* classGuid,
                                                DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  InterfaceSet* set = bus.FindSet(setHandle);
  if (!set || !interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !classGuid ||
      !IsEqualGUID(*classGuid, GUID_DEVINTERFACE_CDROM)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= set->interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  interfaceData->InterfaceClassGuid = GUID_DEVINTERFACE_CDROM;
  interfaceData->Flags = SPINT_ACTIVE;
  interfaceData->Reserved = index + 1;
  return TRUE;
}

BOOL SimKeyBusImpl::SetupDiGetDeviceInterfaceDetailA(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                     PDWORD requiredSize, PSP_DEVINFO_DATA devInfo) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  InterfaceSet* set = bus.FindSet(setHandle);
  if (!set || !interfaceData || interfaceData->Reserved == 0 || interfaceData->Reserved > set->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SimKey& key = *set->interfaces[interfaceData->Reserved - 1];
  const DWORD fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD needed = fixed + static_cast<DWORD>(key.path_.size()) + 1;
  if (key.options_.detailSizeZero) {
    if (requiredSize) *requiredSize = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (requiredSize) *requiredSize = needed;
  if (!detail || detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (key.options_.detailFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, key.path_.c_str(), key.path_.size() + 1);
  if (devInfo) {
    devInfo->ClassGuid = GUID_DEVINTERFACE_CDROM;
    devInfo->DevInst = interfaceData->Reserved;
    devInfo->Reserved = interfaceData->Reserved;
  }
  return TRUE;
}

BOOL SimKeyBusImpl::SetupDiGetDeviceRegistryPropertyA(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, DWORD property,
                                                      PDWORD dataType, PBYTE buffer, DWORD bufferSize,
                                                      PDWORD requiredSize) {
  static const char kClass[] = "CDROM";
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  ++bus.classPropertyQueries;
  InterfaceSet* set = bus.FindSet(setHandle);
  if (!set || !devInfo || devInfo->cbSize != sizeof(SP_DEVINFO_DATA) || devInfo->Reserved == 0 ||
      devInfo->Reserved > set->interfaces.size() || property != SPDRP_CLASS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!set->interfaces[devInfo->Reserved - 1]->options_.classPropertyReadable) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (requiredSize) *requiredSize = sizeof kClass;
  if (!buffer || bufferSize < sizeof kClass) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (dataType) *dataType = REG_SZ;
  std::memcpy(buffer, kClass, sizeof kClass);
  return TRUE;
}

BOOL SimKeyBusImpl::SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) {
  SimKeyBusImpl& bus = *this;
  CriticalSectionLock hold(bus.lock);
  auto it = bus.sets.find(static_cast<InterfaceSet*>(setHandle));
  if (it == bus.sets.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bus.sets.erase(it);
  return TRUE;
}

}  // namespace sim

// The seam, served by the simulated interfaces.
namespace keyio {
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES a3, DWORD disposition, DWORD a5,
                   HANDLE a6) {
  return sim::SimKeyBus::Instance().internals().CreateFileA(path, access, share, a3, disposition, a5, a6);
}

BOOL CloseHandle(HANDLE device) { return sim::SimKeyBus::Instance().internals().CloseHandle(device); }

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED a7) {
  return sim::SimKeyBus::Instance().internals().DeviceIoControl(device, code, in, inSize, out, outSize, returned, a7);
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR a1, HWND a2, DWORD flags) {
  return sim::SimKeyBus::Instance().internals().SetupDiGetClassDevsA(classGuid, a1, a2, flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA a1, const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
  return sim::SimKeyBus::Instance().internals().SetupDiEnumDeviceInterfaces(setHandle, a1, classGuid, index,
                                                                            interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA devInfo) {
  return sim::SimKeyBus::Instance().internals().SetupDiGetDeviceInterfaceDetailA(setHandle, interfaceData, detail,
                                                                                 detailSize, requiredSize, devInfo);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD dataType,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  return sim::SimKeyBus::Instance().internals().SetupDiGetDeviceRegistryPropertyA(
      setHandle, devInfo, property, dataType, buffer, bufferSize, requiredSize);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) {
  return sim::SimKeyBus::Instance().internals().SetupDiDestroyDeviceInfoList(setHandle);
}

}  // namespace keyio
}  // namespace tamsu
