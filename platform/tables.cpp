// Platform data the driver reads: the SMBIOS 2.x tables in the configuration
// table, the data hub with the model-name record, and the BIS provider.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/firmware_core.h"

namespace hosted::internal {

namespace {

constexpr EFI_GUID kSmbiosGuid = SMBIOS_TABLE_GUID;
constexpr EFI_GUID kDataHubGuid = EFI_DATA_HUB_PROTOCOL_GUID;
constexpr EFI_GUID kBisGuid = EFI_BIS_PROTOCOL_GUID;
constexpr EFI_GUID kModelRecordGuid = {0x9F03C6B5, 0x7A14, 0x42E8, {0xA5, 0xD9, 0x3E, 0x6C, 0x0B, 0x81, 0xF2, 0x7D}};
constexpr EFI_GUID kModelProducerGuid = {0x2A7D4E91, 0xB630, 0x4C5F, {0x9E, 0x27, 0x81, 0xF6, 0xD0, 0xA3, 0xC5, 0x4B}};
constexpr uint64_t kDataRecordClassData = 0x04;

constexpr uint8_t kDefaultUuid[16] = {0x21, 0x4E, 0x6C, 0x9A, 0x3B, 0x15, 0x7D, 0x4F,
                                      0x8A, 0x6E, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

struct DataHubRecord {
  std::unique_ptr<uint8_t[]> bytes;  // exactly the record, so reading past it is caught
  size_t size = 0;
  uint64_t count = 0;
  bool model = false;
};

struct DataHubRecordBox {
  EFI_DATA_HUB_PROTOCOL protocol{};
};

struct BisApplication {
  uint64_t serial = 0;
};

void PutU32(Bytes *b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Append(Bytes *b, const void *p, size_t n) {
  const auto *s = static_cast<const uint8_t *>(p);
  b->insert(b->end(), s, s + n);
}

void AppendStrings(Bytes *b, std::initializer_list<const char *> strings) {
  for (const char *s : strings) Append(b, s, strlen(s) + 1);
  b->push_back(0);
}

}  // namespace

struct Tables {
  Core *core = nullptr;

  // SMBIOS
  bool smbiosPresent = true;
  uint8_t uuid[16] = {};
  std::optional<Bytes> rawStructures;
  void *smbiosRegion = nullptr;
  size_t smbiosRegionSize = 0;

  // Data hub
  DataHubRecordBox hub;
  EFI_HANDLE hubHandle = nullptr;
  std::vector<DataHubRecord> records;

  // BIS
  BisConfig bis;
  EFI_BIS_PROTOCOL bisProtocol{};
  std::vector<EFI_HANDLE> bisHandles;
  std::set<BisApplication *> applications;
  std::set<EFI_BIS_DATA *> signatureInfos;
  std::vector<Firmware::BisVerification> verifications;
  uint64_t appSerial = 0;

  ~Tables() {
    UnmapSmbios();
    for (BisApplication *a : applications) delete a;
    for (EFI_BIS_DATA *d : signatureInfos) {
      delete[] d->Data;
      delete d;
    }
  }

  // ---- SMBIOS ----

  Bytes DefaultStructures() const {
    Bytes t;
    // Type 0, BIOS information (2.8 layout, 0x18 bytes).
    const uint8_t type0[] = {0x00, 0x18, 0x00, 0x00, 0x01, 0x02, 0x00, 0xE8, 0x03, 0x00,
                             0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0xFF, 0xFF};
    Append(&t, type0, sizeof type0);
    AppendStrings(&t, {"Hosted", "1.0", "01/01/2026"});
    // Type 1, system information (0x1B bytes): strings 1-4, UUID, wake-up type, SKU, family.
    const uint8_t type1Head[] = {0x01, 0x1B, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04};
    Append(&t, type1Head, sizeof type1Head);
    Append(&t, uuid, sizeof uuid);
    const uint8_t type1Tail[] = {0x06, 0x05, 0x06};
    Append(&t, type1Tail, sizeof type1Tail);
    AppendStrings(&t, {"Hosted", "Hosted PC", "1.0", "HOSTED-0001", "SKU-1", "Hosted"});
    // Type 127, end of table.
    const uint8_t type127[] = {0x7F, 0x04, 0xFF, 0xFF, 0x00, 0x00};
    Append(&t, type127, sizeof type127);
    return t;
  }

  void UnmapSmbios() {
    if (smbiosRegion != nullptr) munmap(smbiosRegion, smbiosRegionSize);
    smbiosRegion = nullptr;
    smbiosRegionSize = 0;
  }

  void BuildSmbios() {
    EFI_GUID guid = kSmbiosGuid;
    core->bs.InstallConfigurationTable(&guid, nullptr);
    UnmapSmbios();
    if (!smbiosPresent) return;
    const Bytes table = rawStructures ? *rawStructures : DefaultStructures();

    // The entry point holds a 32-bit table address: the table must sit below
    // 4 GiB. It ends right before an inaccessible page.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (sizeof(SMBIOS_TABLE_ENTRY_POINT) + 1 + table.size() + page - 1) / page;
    smbiosRegionSize = (dataPages + 1) * page;
    void *region = mmap(nullptr, smbiosRegionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                        -1, 0);
    if (region == MAP_FAILED) {
      core->Error("SMBIOS: no memory below 4 GiB; the table is left out");
      smbiosRegionSize = 0;
      return;
    }
    smbiosRegion = region;
    auto *base = static_cast<uint8_t *>(region);
    mprotect(base + dataPages * page, page, PROT_NONE);
    uint8_t *tableAt = base + dataPages * page - table.size();
    if (!table.empty()) memcpy(tableAt, table.data(), table.size());

    // Structure count and largest structure, from a bounded walk.
    uint16_t count = 0;
    uint16_t largest = 0;
    size_t pos = 0;
    while (pos + 4 <= table.size()) {
      const size_t len = table[pos + 1];
      if (len < 4 || pos + len > table.size()) break;
      size_t s = pos + len;
      while (s + 1 < table.size() && !(table[s] == 0 && table[s + 1] == 0)) ++s;
      if (s + 1 >= table.size()) break;
      const size_t end = s + 2;
      ++count;
      largest = static_cast<uint16_t>(std::max<size_t>(largest, end - pos));
      if (table[pos] == 127) break;
      pos = end;
    }

    auto *eps = reinterpret_cast<SMBIOS_TABLE_ENTRY_POINT *>(base);
    *eps = SMBIOS_TABLE_ENTRY_POINT{};
    memcpy(eps->AnchorString, "_SM_", 4);
    eps->EntryPointLength = sizeof(SMBIOS_TABLE_ENTRY_POINT);
    eps->MajorVersion = 2;
    eps->MinorVersion = 8;
    eps->MaxStructureSize = largest;
    memcpy(eps->IntermediateAnchorString, "_DMI_", 5);
    eps->TableLength = static_cast<uint16_t>(table.size());
    eps->TableAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tableAt));
    eps->NumberOfSmbiosStructures = count;
    eps->SmbiosBcdRevision = 0x28;
    // Intermediate checksum over bytes 0x10..0x1E, then the whole entry point.
    uint8_t sum = 0;
    for (size_t i = 0x10; i < sizeof(SMBIOS_TABLE_ENTRY_POINT); ++i) sum = static_cast<uint8_t>(sum + base[i]);
    eps->IntermediateChecksum = static_cast<uint8_t>(0 - sum);
    sum = 0;
    for (size_t i = 0; i < sizeof(SMBIOS_TABLE_ENTRY_POINT); ++i) sum = static_cast<uint8_t>(sum + base[i]);
    eps->EntryPointStructureChecksum = static_cast<uint8_t>(0 - sum);
    mprotect(base, dataPages * page, PROT_READ);
    core->bs.InstallConfigurationTable(&guid, eps);
  }

  // ---- Data hub ----

  void InstallHub() {
    if (hubHandle != nullptr) return;
    core->Install(&hubHandle, kDataHubGuid, &hub.protocol);
  }

  void RemoveHub() {
    if (hubHandle != nullptr) core->Uninstall(hubHandle, kDataHubGuid, &hub.protocol);
    hubHandle = nullptr;
    records.clear();
  }

  DataHubRecord MakeRecord(const Bytes &bytes, bool model) {
    DataHubRecord r;
    r.size = bytes.size();
    r.bytes.reset(new uint8_t[std::max<size_t>(r.size, 1)]);
    if (!bytes.empty()) memcpy(r.bytes.get(), bytes.data(), bytes.size());
    r.count = core->monotonicCount++;
    r.model = model;
    if (r.size >= sizeof(EFI_DATA_RECORD_HEADER)) {
      memcpy(r.bytes.get() + offsetof(EFI_DATA_RECORD_HEADER, LogMonotonicCount), &r.count, sizeof r.count);
    }
    return r;
  }

  Bytes RecordHeader(const EFI_GUID &dataGuid, const EFI_GUID &producer, uint64_t recordClass, size_t total) {
    EFI_DATA_RECORD_HEADER h{};
    h.Version = 0x0100;
    h.HeaderSize = sizeof(EFI_DATA_RECORD_HEADER);
    h.RecordSize = static_cast<UINT32>(total);
    h.DataRecordGuid = dataGuid;
    h.ProducerName = producer;
    h.DataRecordClass = recordClass;
    core->rt.GetTime(&h.LogTime, nullptr);
    Bytes b(sizeof h);
    memcpy(b.data(), &h, sizeof h);
    return b;
  }

  // The model-name layout the driver reads: header, 16 bytes, name and value sizes, name, value.
  Bytes ModelRecord(const std::u16string &value) {
    const std::u16string name = u"Model";
    const size_t nameBytes = name.size() * 2;
    const size_t valueBytes = value.size() * 2;
    const size_t total = 96 + nameBytes + valueBytes;
    Bytes b = RecordHeader(kModelRecordGuid, kModelProducerGuid, kDataRecordClassData, total);
    b.resize(total, 0);
    PutU32(&b, 88, static_cast<uint32_t>(nameBytes));
    PutU32(&b, 92, static_cast<uint32_t>(valueBytes));
    if (nameBytes != 0) memcpy(b.data() + 96, name.data(), nameBytes);
    if (valueBytes != 0) memcpy(b.data() + 96 + nameBytes, value.data(), valueBytes);
    return b;
  }

  // ---- BIS ----

  void InstallBis() {
    for (EFI_HANDLE h : bisHandles) {
      if (core->LiveHandle(h) != nullptr) {
        internal::ProtocolEntry *e = core->FindEntry(core->LiveHandle(h), kBisGuid);
        if (e != nullptr) core->Uninstall(h, kBisGuid, e->interface);
      }
    }
    bisHandles.clear();
    if (bis.mode == BisMode::Absent) return;
    FillBisProtocol();
    const int copies = bis.mode == BisMode::TwoHandles ? 2 : 1;
    void *interface = bis.mode == BisMode::NullInterface ? nullptr : &bisProtocol;
    for (int i = 0; i < copies; ++i) {
      EFI_HANDLE h = nullptr;
      core->Install(&h, kBisGuid, interface);
      bisHandles.push_back(h);
    }
  }

  void FillBisProtocol();

  BisApplication *App(BIS_APPLICATION_HANDLE h, const char *service) {
    auto *a = static_cast<BisApplication *>(h);
    if (applications.count(a) != 0) return a;
    core->Error(std::string("BIS ") + service + " with an application handle that is not initialised");
    return nullptr;
  }
};

namespace {

Tables *T() { return Current()->tables.get(); }

// ---- Data hub protocol ----

EFI_STATUS EFIAPI HubLogData(EFI_DATA_HUB_PROTOCOL *, EFI_GUID *DataRecordGuid, EFI_GUID *ProducerName,
                             UINT64 DataRecordClass, VOID *RawData, UINT32 RawDataSize) {
  if (DataRecordGuid == nullptr || ProducerName == nullptr || (RawDataSize != 0 && RawData == nullptr))
    return EFI_INVALID_PARAMETER;
  Tables *t = T();
  Bytes b = t->RecordHeader(*DataRecordGuid, *ProducerName, DataRecordClass,
                            sizeof(EFI_DATA_RECORD_HEADER) + RawDataSize);
  Append(&b, RawData, RawDataSize);
  t->records.push_back(t->MakeRecord(b, false));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HubGetNextRecord(EFI_DATA_HUB_PROTOCOL *, UINT64 *MonotonicCount, EFI_EVENT *,
                                   EFI_DATA_RECORD_HEADER **Record) {
  if (MonotonicCount == nullptr || Record == nullptr) return EFI_INVALID_PARAMETER;
  Tables *t = T();
  size_t i = 0;
  if (*MonotonicCount != 0) {
    while (i < t->records.size() && t->records[i].count != *MonotonicCount) ++i;
  }
  if (i >= t->records.size()) return EFI_NOT_FOUND;
  *Record = reinterpret_cast<EFI_DATA_RECORD_HEADER *>(t->records[i].bytes.get());
  *MonotonicCount = i + 1 < t->records.size() ? t->records[i + 1].count : 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HubRegisterFilterDriver(EFI_DATA_HUB_PROTOCOL *, EFI_EVENT, EFI_TPL, UINT64, EFI_GUID *) {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI HubUnregisterFilterDriver(EFI_DATA_HUB_PROTOCOL *, EFI_EVENT) { return EFI_NOT_FOUND; }

// ---- BIS protocol ----

EFI_STATUS EFIAPI BisInitialize(EFI_BIS_PROTOCOL *This, BIS_APPLICATION_HANDLE *AppHandle,
                                EFI_BIS_VERSION *InterfaceVersion, EFI_BIS_DATA *) {
  if (This == nullptr || AppHandle == nullptr || InterfaceVersion == nullptr) return EFI_INVALID_PARAMETER;
  Tables *t = T();
  if (t->bis.mode == BisMode::InitializeFails) return EFI_DEVICE_ERROR;
  auto *a = new BisApplication();
  a->serial = ++t->appSerial;
  t->applications.insert(a);
  *AppHandle = a;
  InterfaceVersion->Major = t->bis.mode == BisMode::WrongMajorVersion ? 2 : 1;
  InterfaceVersion->Minor = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BisShutdown(BIS_APPLICATION_HANDLE AppHandle) {
  Tables *t = T();
  BisApplication *a = t->App(AppHandle, "Shutdown");
  if (a == nullptr) return EFI_INVALID_PARAMETER;
  t->applications.erase(a);
  delete a;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BisFree(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA *ToFree) {
  Tables *t = T();
  if (t->App(AppHandle, "Free") == nullptr) return EFI_INVALID_PARAMETER;
  if (t->signatureInfos.count(ToFree) == 0) {
    t->core->Error("BIS Free of a block the provider did not give out");
    return EFI_INVALID_PARAMETER;
  }
  t->signatureInfos.erase(ToFree);
  delete[] ToFree->Data;
  delete ToFree;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BisGetCertificate(BIS_APPLICATION_HANDLE, EFI_BIS_DATA **) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI BisGetCheckFlag(BIS_APPLICATION_HANDLE AppHandle, BOOLEAN *CheckIsRequired) {
  Tables *t = T();
  if (t->App(AppHandle, "GetBootObjectAuthorizationCheckFlag") == nullptr || CheckIsRequired == nullptr)
    return EFI_INVALID_PARAMETER;
  if (t->bis.mode == BisMode::CheckFlagFails) return EFI_DEVICE_ERROR;
  *CheckIsRequired = t->bis.mode == BisMode::CheckFlagFalse ? FALSE : TRUE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BisGetUpdateToken(BIS_APPLICATION_HANDLE, EFI_BIS_DATA **) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI BisGetSignatureInfo(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA **SignatureInfo) {
  Tables *t = T();
  if (t->App(AppHandle, "GetSignatureInfo") == nullptr || SignatureInfo == nullptr) return EFI_INVALID_PARAMETER;
  if (t->bis.mode == BisMode::SignatureInfoFails) return EFI_DEVICE_ERROR;
  if (t->bis.mode == BisMode::SignatureInfoNull) {
    *SignatureInfo = nullptr;
    return EFI_SUCCESS;
  }
  auto *d = new EFI_BIS_DATA();
  d->Length = t->bis.signatureInfoLength;
  d->Data = new UINT8[std::max<uint32_t>(d->Length, 1)];
  // Entries of 8 bytes: certificate id (u32), algorithm id (u16), key length (u16).
  for (uint32_t i = 0; i < d->Length; ++i) {
    static constexpr uint8_t kEntry[8] = {0x01, 0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x04};
    d->Data[i] = kEntry[i % 8];
  }
  t->signatureInfos.insert(d);
  *SignatureInfo = d;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BisUpdateAuthorization(BIS_APPLICATION_HANDLE, EFI_BIS_DATA *, EFI_BIS_DATA **) {
  return EFI_UNSUPPORTED;
}

Bytes Copy(const EFI_BIS_DATA *d) {
  if (d == nullptr || d->Data == nullptr) return {};
  return Bytes(d->Data, d->Data + d->Length);
}

EFI_STATUS EFIAPI BisVerifyBootObject(BIS_APPLICATION_HANDLE AppHandle, EFI_BIS_DATA *Credentials,
                                      EFI_BIS_DATA *DataObject, BOOLEAN *IsVerified) {
  Tables *t = T();
  if (t->App(AppHandle, "VerifyBootObject") == nullptr || IsVerified == nullptr) return EFI_INVALID_PARAMETER;
  t->verifications.push_back({Copy(Credentials), Copy(DataObject)});
  *IsVerified = t->bis.verifyResult ? TRUE : FALSE;
  return t->bis.verifyStatus;
}

EFI_STATUS EFIAPI BisVerifyWithCredential(BIS_APPLICATION_HANDLE, EFI_BIS_DATA *, EFI_BIS_DATA *, EFI_BIS_DATA *,
                                          EFI_BIS_DATA *, BOOLEAN *) {
  return EFI_UNSUPPORTED;
}

}  // namespace

void Tables::FillBisProtocol() {
  bisProtocol = EFI_BIS_PROTOCOL{};
  bisProtocol.Revision = bis.mode == BisMode::BadRevision ? 0x20000 : 0x10000;
  bisProtocol.Initialize = BisInitialize;
  bisProtocol.Shutdown = BisShutdown;
  bisProtocol.Free = BisFree;
  bisProtocol.GetBootObjectAuthorizationCertificate = BisGetCertificate;
  bisProtocol.GetBootObjectAuthorizationCheckFlag = BisGetCheckFlag;
  bisProtocol.GetBootObjectAuthorizationUpdateToken = BisGetUpdateToken;
  bisProtocol.GetSignatureInfo = BisGetSignatureInfo;
  bisProtocol.UpdateBootObjectAuthorization = BisUpdateAuthorization;
  bisProtocol.VerifyBootObject = BisVerifyBootObject;
  // The last operation: a probe must check all ten, not just those it calls.
  bisProtocol.VerifyObjectWithCredential = bis.mode == BisMode::NullOperation ? nullptr : BisVerifyWithCredential;
}

void TablesDeleter::operator()(Tables *tables) const { delete tables; }

std::unique_ptr<Tables, TablesDeleter> CreateTables(Core *core) {
  std::unique_ptr<Tables, TablesDeleter> t(new Tables());
  t->core = core;
  memcpy(t->uuid, kDefaultUuid, sizeof t->uuid);
  t->hub.protocol.LogData = HubLogData;
  t->hub.protocol.GetNextRecord = HubGetNextRecord;
  t->hub.protocol.RegisterFilterDriver = HubRegisterFilterDriver;
  t->hub.protocol.UnregisterFilterDriver = HubUnregisterFilterDriver;
  t->BuildSmbios();
  t->InstallHub();
  t->records.push_back(t->MakeRecord(t->ModelRecord(u"HostedPC"), true));
  return t;
}

void DestroyTables(Core *core) {
  // The configuration table must not point into unmapped memory afterwards.
  EFI_GUID guid = kSmbiosGuid;
  core->bs.InstallConfigurationTable(&guid, nullptr);
  core->tables.reset();
}

}  // namespace hosted::internal

namespace hosted {

void Firmware::SetBis(const BisConfig &config) {
  impl_->tables->bis = config;
  impl_->tables->InstallBis();
}

int Firmware::BisLiveApplicationHandles() const { return static_cast<int>(impl_->tables->applications.size()); }
int Firmware::BisOutstandingSignatureInfo() const { return static_cast<int>(impl_->tables->signatureInfos.size()); }
const std::vector<Firmware::BisVerification> &Firmware::BisVerifications() const {
  return impl_->tables->verifications;
}

void Firmware::SetModelName(const std::u16string &value) {
  internal::Tables *t = impl_->tables.get();
  t->InstallHub();
  internal::DataHubRecord r = t->MakeRecord(t->ModelRecord(value), true);
  for (internal::DataHubRecord &old : t->records) {
    if (old.model) {
      r.count = old.count;  // same place in the walk
      if (r.size >= sizeof(EFI_DATA_RECORD_HEADER)) {
        memcpy(r.bytes.get() + offsetof(EFI_DATA_RECORD_HEADER, LogMonotonicCount), &r.count, sizeof r.count);
      }
      old = std::move(r);
      return;
    }
  }
  t->records.push_back(std::move(r));
}

void Firmware::RemoveDataHub() { impl_->tables->RemoveHub(); }

void Firmware::AddDataHubRecord(const Bytes &record) {
  internal::Tables *t = impl_->tables.get();
  t->InstallHub();
  t->records.push_back(t->MakeRecord(record, false));
}

void Firmware::SetSmbiosUuid(const uint8_t uuid[16]) {
  internal::Tables *t = impl_->tables.get();
  memcpy(t->uuid, uuid, sizeof t->uuid);
  t->rawStructures.reset();
  t->smbiosPresent = true;
  t->BuildSmbios();
}

void Firmware::SetSmbiosStructures(const Bytes &table) {
  internal::Tables *t = impl_->tables.get();
  t->rawStructures = table;
  t->smbiosPresent = true;
  t->BuildSmbios();
}

void Firmware::RemoveSmbios() {
  impl_->tables->smbiosPresent = false;
  impl_->tables->BuildSmbios();
}

}  // namespace hosted
