// The hosted firmware as tests and the tool see it (hosted::Firmware): loading
// the driver, NICs, connecting and disconnecting, faults and hooks, and the
// convenience calls for children.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "platform/firmware_core.h"

namespace hosted {

// ---- Firmware ----

using internal::Core;

Firmware::Firmware() : impl_(std::make_unique<Impl>()) {
  if (internal::gCore != nullptr) {
    fprintf(stderr, "hosted firmware: a second hosted::Firmware was created while one exists\n");
    abort();
  }
  internal::gCore = impl_.get();
  internal::gFirmware = this;
  impl_->owner = this;
  // The driver's globals point here from now on, also before LoadDriver, so
  // that driver code a test calls directly finds this pool and clock.
  gST = &impl_->st;
  gBS = &impl_->bs;
  gRT = &impl_->rt;
  gImageHandle = nullptr;
  impl_->tables = internal::CreateTables(impl_.get());
}

Firmware::~Firmware() {
  internal::DestroyNics(impl_.get());
  internal::DestroyTables(impl_.get());
  gST = nullptr;
  gBS = nullptr;
  gRT = nullptr;
  gImageHandle = nullptr;
  internal::gCore = nullptr;
  internal::gFirmware = nullptr;
}

Firmware *Firmware::Current() { return internal::gFirmware; }

EFI_SYSTEM_TABLE *Firmware::SystemTable() { return &impl_->st; }
EFI_BOOT_SERVICES *Firmware::BootServices() { return &impl_->bs; }

EFI_HANDLE Firmware::LoadDriver() {
  auto image = std::make_unique<internal::LoadedImage>();
  image->protocol = {};
  image->protocol.Revision = 0x1000;
  image->protocol.SystemTable = &impl_->st;
  image->protocol.ImageCodeType = EfiBootServicesCode;
  image->protocol.ImageDataType = EfiBootServicesData;
  EFI_HANDLE handle = nullptr;
  impl_->Install(&handle, internal::kLoadedImageGuid, &image->protocol);
  impl_->images.push_back(std::move(image));
  impl_->driverImage = handle;
  const EFI_TPL before = impl_->tpl;
  OrvaleDriverEntry(handle, &impl_->st);
  if (impl_->tpl != before) {
    impl_->TplViolation("the image entry returned at TPL " + std::to_string(impl_->tpl) + ", entered at " +
                        std::to_string(before));
  }
  return handle;
}

EFI_HANDLE Firmware::DriverImage() const { return impl_->driverImage; }

Nic *Firmware::AddNic(Wire *wire, const Mac &mac) {
  impl_->UseWire(wire);
  internal::MnpNic *nic = internal::CreateNic(impl_.get(), wire, mac, static_cast<unsigned>(impl_->nics.size()));
  return internal::AsNic(nic);
}

namespace {
EFI_DRIVER_BINDING_PROTOCOL *DriverBinding(Core *c) {
  internal::Handle *h = c->LiveHandle(c->driverImage);
  if (h == nullptr) return nullptr;
  internal::ProtocolEntry *e = c->FindEntry(h, internal::kDriverBindingGuid);
  return e == nullptr ? nullptr : static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(e->interface);
}
}  // namespace

EFI_STATUS Firmware::ConnectDriver(Nic *nic) {
  EFI_DRIVER_BINDING_PROTOCOL *b = DriverBinding(impl_.get());
  if (b == nullptr || nic == nullptr) return EFI_NOT_FOUND;
  const EFI_STATUS s = b->Supported(b, nic->controller, nullptr);
  if (EFI_ERROR(s)) return s;
  return b->Start(b, nic->controller, nullptr);
}

EFI_STATUS Firmware::DisconnectDriver(Nic *nic) {
  EFI_DRIVER_BINDING_PROTOCOL *b = DriverBinding(impl_.get());
  if (b == nullptr || nic == nullptr) return EFI_NOT_FOUND;
  return b->Stop(b, nic->controller, 0, nullptr);
}

EFI_HANDLE Firmware::NewHandle() { return impl_->NewHandle(); }
bool Firmware::HandleExists(EFI_HANDLE handle) const { return impl_->LiveHandle(handle) != nullptr; }

void *Firmware::FindProtocol(EFI_HANDLE handle, const EFI_GUID &guid) const {
  internal::Handle *h = impl_->LiveHandle(handle);
  if (h == nullptr) return nullptr;
  internal::ProtocolEntry *e = impl_->FindEntry(h, guid);
  return e == nullptr ? nullptr : e->interface;
}

size_t Firmware::HandleCount() const { return impl_->liveHandles.size(); }

uint64_t Firmware::Now() const { return impl_->Now(); }
void Firmware::Advance(uint64_t ticks) { impl_->AdvanceTo(impl_->Now() + ticks); }

void Firmware::SetWallTime(const EFI_TIME &time) {
  impl_->wallBase = time;
  impl_->wallBaseTicks = impl_->Now();
}

void Firmware::UseRealTime(bool on) { impl_->UseRealTime(on); }

size_t Firmware::LivePoolBlocks() const { return impl_->pool.size(); }
size_t Firmware::LivePoolBytes() const { return impl_->poolBytes; }

size_t Firmware::LiveEvents() const {
  size_t n = 0;
  impl_->events.ForEachLive([&](const internal::Event &e) {
    if (!e.internal) ++n;
  });
  return n;
}

EFI_TPL Firmware::CurrentTpl() const { return impl_->tpl; }
const std::vector<std::string> &Firmware::TplViolations() const { return impl_->tplViolations; }
const std::vector<std::string> &Firmware::Errors() const { return impl_->errors; }

void Firmware::FailAllocation(int nth) { impl_->failNth = nth < 0 ? -1 : nth; }
void Firmware::FailAllocationsOfSize(size_t size) { impl_->failSize = size; }

namespace {
void SetGuidFlag(std::vector<EFI_GUID> *list, const EFI_GUID &guid, bool on) {
  list->erase(std::remove_if(list->begin(), list->end(),
                             [&](const EFI_GUID &g) { return internal::SameGuid(g, guid); }),
              list->end());
  if (on) list->push_back(guid);
}
}  // namespace

void Firmware::FailInstallOf(const EFI_GUID &guid, bool on) { SetGuidFlag(&impl_->failInstall, guid, on); }
void Firmware::FailUninstallOf(const EFI_GUID &guid, bool on) { SetGuidFlag(&impl_->failUninstall, guid, on); }
void Firmware::SetBeforeClockJump(std::function<bool(uint64_t deadline)> hook) {
  impl_->beforeClockJump = std::move(hook);
}
void Firmware::OnInstall(std::function<void(EFI_HANDLE, const EFI_GUID &)> hook) { impl_->onInstall = std::move(hook); }
void Firmware::OnUninstall(std::function<void(EFI_HANDLE, const EFI_GUID &)> hook) {
  impl_->onUninstall = std::move(hook);
}

std::optional<Bytes> Firmware::GetVariable(const std::u16string &name, const EFI_GUID &vendor,
                                           uint32_t *attributes) const {
  internal::Variable *v = internal::FindVariable(impl_.get(), name, vendor);
  if (v == nullptr) return std::nullopt;
  if (attributes != nullptr) *attributes = v->attributes;
  return v->data;
}

const std::vector<EFI_RESET_TYPE> &Firmware::ResetRequests() const { return impl_->resets; }

void Firmware::UseWire(Wire *wire) { impl_->UseWire(wire); }

// ---- Convenience ----

namespace {
constexpr EFI_GUID kOrvaleServiceBindingGuid = ORVALE_SERVICE_BINDING_GUID;
constexpr EFI_GUID kOrvaleProtocolGuid = ORVALE_PROTOCOL_GUID;
}  // namespace

EFI_STATUS CreateChild(Firmware &fw, Nic *nic, Child *out) {
  if (nic == nullptr || out == nullptr) return EFI_INVALID_PARAMETER;
  auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(fw.FindProtocol(nic->controller, kOrvaleServiceBindingGuid));
  if (sb == nullptr) return EFI_UNSUPPORTED;
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS s = sb->CreateChild(sb, &handle);
  if (EFI_ERROR(s)) return s;
  out->handle = handle;
  out->protocol = static_cast<OrvaleProtocol *>(fw.FindProtocol(handle, kOrvaleProtocolGuid));
  return out->protocol != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS DestroyChild(Firmware &fw, Nic *nic, EFI_HANDLE child) {
  if (nic == nullptr) return EFI_INVALID_PARAMETER;
  auto *sb = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(fw.FindProtocol(nic->controller, kOrvaleServiceBindingGuid));
  if (sb == nullptr) return EFI_UNSUPPORTED;
  return sb->DestroyChild(sb, child);
}

}  // namespace hosted
