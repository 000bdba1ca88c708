// The driver shell: image entry, Supported/Start/Stop on controllers, the
// Orvale service binding's children, and the component name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tests/test_support.h"

namespace orvale_test {
namespace {

constexpr hosted::Mac kSecondMac = {0x52, 0x54, 0x00, 0x65, 0x43, 0x21};

std::u16string Text(const CHAR16 *s) { return s == nullptr ? u"(null)" : std::u16string(s); }

// ---- Image entry ----

TEST(DriverEntryTest, InstallsTheBindingAndTheComponentName) {
  hosted::Firmware fw;
  const EFI_HANDLE image = fw.LoadDriver();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(gImageHandle, image);
  EXPECT_EQ(gST, fw.SystemTable());
  EXPECT_EQ(gBS, fw.BootServices());
  EXPECT_EQ(gRT, fw.SystemTable()->RuntimeServices);
  auto *binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL *>(fw.FindProtocol(image, gEfiDriverBindingProtocolGuid));
  ASSERT_EQ(binding, &gDriverBinding);
  EXPECT_EQ(binding->Version, 0x10u);
  EXPECT_EQ(binding->ImageHandle, image);
  EXPECT_EQ(binding->DriverBindingHandle, image);
  auto *name = static_cast<EFI_COMPONENT_NAME_PROTOCOL *>(fw.FindProtocol(image, gEfiComponentNameProtocolGuid));
  ASSERT_EQ(name, &gComponentName);
  EXPECT_STREQ(name->SupportedLanguages, "eng");
}

// The tests reload the driver in one process: the entry must put every
// driver-wide record back as a fresh load has it.
TEST(DriverEntryTest, ReloadRestoresTheDriverWideRecords) {
  hosted::Firmware fw;
  fw.LoadDriver();
  gDriverBinding.Version = 0;
  gDriverBinding.Start = nullptr;
  gComponentName.SupportedLanguages = nullptr;
  const EFI_HANDLE image = fw.LoadDriver();
  EXPECT_EQ(gDriverBinding.Version, 0x10u);
  EXPECT_EQ(gDriverBinding.Start, &DriverBindingStart);
  EXPECT_EQ(gDriverBinding.DriverBindingHandle, image);
  EXPECT_STREQ(gComponentName.SupportedLanguages, "eng");
}

TEST(DriverEntryTest, SucceedsWithoutInstallingTheNameWhenTheBindingFails) {
  hosted::Firmware fw;
  fw.FailInstallOf(gEfiDriverBindingProtocolGuid, true);
  const EFI_HANDLE image = fw.NewHandle();
  EXPECT_EQ(OrvaleDriverEntry(image, fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(fw.FindProtocol(image, gEfiDriverBindingProtocolGuid), nullptr);
  EXPECT_EQ(fw.FindProtocol(image, gEfiComponentNameProtocolGuid), nullptr);
}

// ---- Controller binding ----

class BindingTest : public DriverTest {
 protected:
  EFI_DRIVER_BINDING_PROTOCOL *Db() { return &gDriverBinding; }
  EFI_SERVICE_BINDING_PROTOCOL *Sb() { return &Binding()->ServiceBinding; }
  // The instances linked in the controller's Children list, in list order.
  std::vector<ProtocolInstance *> Children() {
    std::vector<ProtocolInstance *> out;
    for (ListLink *l = Binding()->Children.Next; l != &Binding()->Children; l = l->Next) {
      out.push_back(InstanceFromLink(l));
      if (out.size() > 100) break;
    }
    return out;
  }
  bool HasServiceBinding(EFI_HANDLE controller) {
    return fw_.FindProtocol(controller, gOrvaleServiceBindingGuid) != nullptr;
  }
};

TEST_F(BindingTest, SupportedAndStartRefuseABoundController) {
  EXPECT_EQ(Db()->Supported(Db(), nic_->controller, nullptr), EFI_ALREADY_STARTED);
  const size_t pool = fw_.LivePoolBlocks();
  const size_t handles = fw_.HandleCount();
  EXPECT_EQ(Db()->Start(Db(), nic_->controller, nullptr), EFI_ALREADY_STARTED);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(fw_.HandleCount(), handles);
  EXPECT_EQ(nic_->MnpChildren(), 1u);

  hosted::Nic *second = fw_.AddNic(&segment_, kSecondMac);
  EXPECT_EQ(Db()->Supported(Db(), second->controller, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(EFI_ERROR(Db()->Supported(Db(), fw_.NewHandle(), nullptr))) << "no MNP service binding";
  ExpectTplRestored();
}

TEST_F(BindingTest, StartPublishesTheServiceBindingOverAnOpenMnpChild) {
  ControllerBinding *b = Binding();
  EXPECT_EQ(fw_.FindProtocol(nic_->controller, gOrvaleServiceBindingGuid), &b->ServiceBinding);
  EXPECT_EQ(b->ControllerHandle, nic_->controller);
  EXPECT_EQ(b->DriverBindingHandle, fw_.DriverImage());
  EXPECT_EQ(b->Lock.Tpl, 9u);
  EXPECT_EQ(b->Lock.HeldCount, 0u);
  ASSERT_NE(b->MnpChildHandle, nullptr);
  EXPECT_EQ(fw_.FindProtocol(b->MnpChildHandle, gEfiManagedNetworkProtocolGuid), b->Mnp);
  EXPECT_NE(b->Mnp, nullptr);
}

// Every failure of Start leaves the controller as it was: no service
// binding, no MNP child, no pool.
TEST_F(BindingTest, StartFailuresUnwindEverything) {
  hosted::Nic *second = fw_.AddNic(&segment_, kSecondMac);
  const size_t pool = fw_.LivePoolBlocks();
  auto expectUnbound = [&](const char *what, EFI_STATUS status) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(EFI_ERROR(status));
    EXPECT_FALSE(HasServiceBinding(second->controller));
    EXPECT_EQ(second->MnpChildren(), 0u);
    EXPECT_EQ(fw_.LivePoolBlocks(), pool);
    ExpectTplRestored();
  };

  second->faults.failServiceBindingOpen = true;
  expectUnbound("service binding open", Db()->Start(Db(), second->controller, nullptr));
  second->faults.failServiceBindingOpen = false;

  second->faults.failCreateChild = true;
  expectUnbound("MNP CreateChild", Db()->Start(Db(), second->controller, nullptr));
  second->faults.failCreateChild = false;

  second->faults.failChildOpen = true;
  expectUnbound("MNP open by driver", Db()->Start(Db(), second->controller, nullptr));
  second->faults.failChildOpen = false;

  fw_.FailInstallOf(gOrvaleServiceBindingGuid, true);
  expectUnbound("service binding install", Db()->Start(Db(), second->controller, nullptr));
  fw_.FailInstallOf(gOrvaleServiceBindingGuid, false);

  fw_.FailAllocation(0);
  const EFI_STATUS oom = Db()->Start(Db(), second->controller, nullptr);
  fw_.FailAllocation(-1);
  EXPECT_EQ(oom, EFI_OUT_OF_RESOURCES);
  expectUnbound("record allocation", oom);

  ASSERT_EQ(Db()->Start(Db(), second->controller, nullptr), EFI_SUCCESS);
  EXPECT_EQ(second->MnpChildren(), 1u);
  EXPECT_EQ(fw_.DisconnectDriver(second), EFI_SUCCESS);
  EXPECT_EQ(second->MnpChildren(), 0u);
}

// ---- Children ----

TEST_F(BindingTest, ChildrenStayInCreationOrder) {
  hosted::Child second, third;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second), EFI_SUCCESS);
  EFI_HANDLE existing = fw_.NewHandle();
  third.handle = existing;
  ASSERT_EQ(Sb()->CreateChild(Sb(), &third.handle), EFI_SUCCESS);
  EXPECT_EQ(third.handle, existing) << "an existing handle receives the protocol";
  third.protocol = static_cast<OrvaleProtocol *>(fw_.FindProtocol(existing, gOrvaleProtocolGuid));
  ASSERT_NE(third.protocol, nullptr);

  EXPECT_EQ(Binding()->ChildCount, 3u);
  EXPECT_EQ(Children(), (std::vector<ProtocolInstance *>{Instance(), InstanceOf(second), InstanceOf(third)}));
  EXPECT_NE(second.handle, child_.handle);

  ASSERT_EQ(Sb()->DestroyChild(Sb(), second.handle), EFI_SUCCESS);
  EXPECT_EQ(Binding()->ChildCount, 2u);
  EXPECT_EQ(Children(), (std::vector<ProtocolInstance *>{Instance(), InstanceOf(third)}));
  EXPECT_EQ(fw_.FindProtocol(second.handle, gOrvaleProtocolGuid), nullptr);
  ListLink *tail = Binding()->Children.Prev;
  EXPECT_EQ(InstanceFromLink(tail), InstanceOf(third)) << "back links repaired too";
  EXPECT_EQ(tail->Prev, &Instance()->Link);
}

TEST_F(BindingTest, CreateChildFailuresInstallNothing) {
  EFI_HANDLE handle = nullptr;
  EXPECT_EQ(Sb()->CreateChild(nullptr, &handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sb()->CreateChild(Sb(), nullptr), EFI_INVALID_PARAMETER);
  const size_t pool = fw_.LivePoolBlocks();
  const size_t handles = fw_.HandleCount();

  fw_.FailAllocation(0);
  EXPECT_EQ(Sb()->CreateChild(Sb(), &handle), EFI_OUT_OF_RESOURCES);
  fw_.FailAllocation(-1);
  EXPECT_EQ(handle, nullptr);

  fw_.FailInstallOf(gOrvaleProtocolGuid, true);
  EXPECT_TRUE(EFI_ERROR(Sb()->CreateChild(Sb(), &handle)));
  fw_.FailInstallOf(gOrvaleProtocolGuid, false);

  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(fw_.HandleCount(), handles);
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_EQ(Children().size(), 1u);
}

TEST_F(BindingTest, DestroyChildIgnoresHandlesThatAreNotItsChildren) {
  EXPECT_EQ(Sb()->DestroyChild(nullptr, child_.handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sb()->DestroyChild(Sb(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sb()->DestroyChild(Sb(), fw_.NewHandle()), EFI_SUCCESS);
  EXPECT_EQ(Sb()->DestroyChild(Sb(), nic_->controller), EFI_SUCCESS);

  // A child of another controller is not in this controller's list.
  hosted::Nic *second = fw_.AddNic(&segment_, kSecondMac);
  ASSERT_EQ(fw_.ConnectDriver(second), EFI_SUCCESS);
  hosted::Child foreign;
  ASSERT_EQ(hosted::CreateChild(fw_, second, &foreign), EFI_SUCCESS);
  EXPECT_EQ(Sb()->DestroyChild(Sb(), foreign.handle), EFI_SUCCESS);
  EXPECT_NE(fw_.FindProtocol(foreign.handle, gOrvaleProtocolGuid), nullptr);
  EXPECT_EQ(InstanceOf(foreign)->Binding->ChildCount, 1u);
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_EQ(fw_.DisconnectDriver(second), EFI_SUCCESS);
}

// Destroying a started child stops it first: buffers, receive event and
// MNP configuration go with it.
TEST_F(BindingTest, DestroyingAStartedChildStopsIt) {
  const size_t pool = fw_.LivePoolBlocks();
  const size_t events = fw_.LiveEvents();
  hosted::Child second;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second), EFI_SUCCESS);
  ASSERT_EQ(second.protocol->Start(second.protocol), EFI_SUCCESS);
  ASSERT_TRUE(nic_->Config().has_value());
  EXPECT_EQ(Sb()->DestroyChild(Sb(), second.handle), EFI_SUCCESS);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
  EXPECT_EQ(fw_.LiveEvents(), events);
  EXPECT_FALSE(nic_->Config().has_value());
  ExpectTplRestored();
}

// Installing the protocol may run another driver's notification that uses
// the child at once: it is already linked (so the controller's Stop would find
// it) and can be started. A failed installation leaves it unlinked.
TEST_F(BindingTest, CreateChildLinksBeforeInstalling) {
  const size_t pool = fw_.LivePoolBlocks();
  bool ran = false;
  fw_.OnInstall([&](EFI_HANDLE handle, const EFI_GUID &guid) {
    if (std::memcmp(&guid, &gOrvaleProtocolGuid, sizeof(guid)) != 0) return;
    auto *p = static_cast<OrvaleProtocol *>(fw_.FindProtocol(handle, gOrvaleProtocolGuid));
    ASSERT_NE(p, nullptr);
    const std::vector<ProtocolInstance *> linked = Children();
    EXPECT_EQ(Binding()->ChildCount, 2u);
    ASSERT_EQ(linked.size(), 2u);
    EXPECT_EQ(linked[1], InstanceFromThis(p));
    EXPECT_EQ(p->Start(p), EFI_SUCCESS);
    ran = true;
  });
  hosted::Child second;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second), EFI_SUCCESS);
  fw_.OnInstall(nullptr);
  EXPECT_TRUE(ran);
  EXPECT_EQ(InstanceOf(second)->ChildHandle, second.handle);
  EXPECT_TRUE(InstanceOf(second)->State.Started);
  EXPECT_EQ(Sb()->DestroyChild(Sb(), second.handle), EFI_SUCCESS);

  fw_.FailInstallOf(gOrvaleProtocolGuid, true);
  hosted::Child third;
  EXPECT_TRUE(EFI_ERROR(hosted::CreateChild(fw_, nic_, &third)));
  fw_.FailInstallOf(gOrvaleProtocolGuid, false);
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_EQ(Children().size(), 1u);
  EXPECT_EQ(fw_.LivePoolBlocks(), pool);
}

// A notification run by the uninstallation that starts the child again and
// leaves the lock held: the started child is not freed; it goes back on a
// handle and can be destroyed once the lock is free.
TEST_F(BindingTest, DestroyChildNeverFreesAStartedChildUnstopped) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  OrvaleProtocol *p = Proto();
  ProtocolInstance *inst = Instance();
  fw_.OnUninstall([&](EFI_HANDLE, const EFI_GUID &guid) {
    if (std::memcmp(&guid, &gOrvaleProtocolGuid, sizeof(guid)) != 0) return;
    EXPECT_FALSE(inst->State.Started) << "stopped before its protocol goes";
    EXPECT_EQ(p->Start(p), EFI_SUCCESS);
    Binding()->Lock.HeldCount = 1;
  });
  EXPECT_EQ(Sb()->DestroyChild(Sb(), child_.handle), EFI_ACCESS_DENIED);
  fw_.OnUninstall(nullptr);
  Binding()->Lock.HeldCount = 0;
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_TRUE(inst->State.Started);
  ASSERT_NE(inst->ChildHandle, nullptr);
  EXPECT_EQ(fw_.FindProtocol(inst->ChildHandle, gOrvaleProtocolGuid), p);
  EXPECT_TRUE(nic_->Config().has_value());
  EXPECT_EQ(Sb()->DestroyChild(Sb(), inst->ChildHandle), EFI_SUCCESS);
  child_ = {};
  EXPECT_FALSE(nic_->Config().has_value());
  ExpectTplRestored();
}

// An uninstall that fails keeps the child whole and usable; driver Stop then
// reports the failure instead of retrying forever.
TEST_F(BindingTest, ChildThatCannotBeUninstalledIsKept) {
  fw_.FailUninstallOf(gOrvaleProtocolGuid, true);
  const EFI_STATUS refused = Sb()->DestroyChild(Sb(), child_.handle);
  EXPECT_TRUE(EFI_ERROR(refused));
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_EQ(fw_.FindProtocol(child_.handle, gOrvaleProtocolGuid), Proto());
  EXPECT_EQ(StartChild(), EFI_SUCCESS);

  EXPECT_EQ(Disconnect(), refused);
  EXPECT_TRUE(HasServiceBinding(nic_->controller)) << "the binding stays with its child";
  EXPECT_EQ(Binding()->ChildCount, 1u);
  fw_.FailUninstallOf(gOrvaleProtocolGuid, false);
}

TEST_F(BindingTest, StopWhileAMemberHoldsTheLockDestroysNothing) {
  Binding()->Lock.HeldCount = 1;
  EXPECT_EQ(Disconnect(), EFI_ACCESS_DENIED);
  EXPECT_EQ(Binding()->ChildCount, 1u);
  EXPECT_NE(fw_.FindProtocol(child_.handle, gOrvaleProtocolGuid), nullptr);
  Binding()->Lock.HeldCount = 0;
}

// ---- Driver Stop ----

TEST_F(BindingTest, StopDestroysEveryChildAndTheMnpChild) {
  hosted::Child second, third;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second), EFI_SUCCESS);
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &third), EFI_SUCCESS);
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  ASSERT_EQ(third.protocol->Start(third.protocol), EFI_SUCCESS);
  const EFI_HANDLE handles[] = {child_.handle, second.handle, third.handle};
  // NumberOfChildren says one; all three go.
  EXPECT_EQ(Db()->Stop(Db(), nic_->controller, 1, const_cast<EFI_HANDLE *>(handles)), EFI_SUCCESS);
  connected_ = false;
  for (EFI_HANDLE h : handles) EXPECT_EQ(fw_.FindProtocol(h, gOrvaleProtocolGuid), nullptr);
  EXPECT_FALSE(HasServiceBinding(nic_->controller));
  EXPECT_EQ(nic_->MnpChildren(), 0u) << "the MNP child is returned to its service binding";
  EXPECT_EQ(Db()->Supported(Db(), nic_->controller, nullptr), EFI_SUCCESS) << "unbound again";
  ExpectBaselines();
}

TEST_F(BindingTest, StopHandedTheMnpChildFindsTheController) {
  ASSERT_EQ(StartChild(), EFI_SUCCESS);
  EXPECT_EQ(Db()->Stop(Db(), Binding()->MnpChildHandle, 0, nullptr), EFI_SUCCESS);
  connected_ = false;
  EXPECT_FALSE(HasServiceBinding(nic_->controller));
  ExpectBaselines();  // the open-information buffer was freed as well
}

TEST_F(BindingTest, StopOfAnUnboundHandleIsUnsupported) {
  EXPECT_EQ(Db()->Stop(Db(), fw_.NewHandle(), 0, nullptr), EFI_UNSUPPORTED);
  hosted::Nic *second = fw_.AddNic(&segment_, kSecondMac);
  EXPECT_EQ(Db()->Stop(Db(), second->controller, 0, nullptr), EFI_UNSUPPORTED);
}

TEST_F(BindingTest, StopKeepsTheBindingWhenTheServiceBindingStays) {
  ControllerBinding *binding = Binding();  // child_ goes with the Stop
  fw_.FailUninstallOf(gOrvaleServiceBindingGuid, true);
  const EFI_STATUS status = Disconnect();
  fw_.FailUninstallOf(gOrvaleServiceBindingGuid, false);
  EXPECT_TRUE(EFI_ERROR(status));
  EXPECT_TRUE(HasServiceBinding(nic_->controller));
  EXPECT_EQ(binding->ChildCount, 0u) << "the children went first";
  hosted::Child again;
  EXPECT_EQ(hosted::CreateChild(fw_, nic_, &again), EFI_SUCCESS) << "the binding still works";
}

// ---- Component name ----

TEST_F(BindingTest, DriverNameByThreeLetterCode) {
  EFI_COMPONENT_NAME_PROTOCOL *cn = &gComponentName;
  CHAR16 *name = nullptr;
  char eng[] = "eng", engl[] = "eng-GB", fra[] = "fra", en[] = "en";
  EXPECT_EQ(cn->GetDriverName(cn, eng, &name), EFI_SUCCESS);
  EXPECT_EQ(Text(name), u"WIRL Orvale Protocol Driver");
  name = nullptr;
  EXPECT_EQ(cn->GetDriverName(cn, engl, &name), EFI_SUCCESS) << "three characters are compared";
  EXPECT_EQ(Text(name), u"WIRL Orvale Protocol Driver");
  EXPECT_EQ(cn->GetDriverName(cn, fra, &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetDriverName(cn, en, &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetDriverName(cn, nullptr, &name), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cn->GetDriverName(cn, eng, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(cn->GetDriverName(nullptr, eng, &name), EFI_INVALID_PARAMETER);

  // The code list is walked three letters at a time.
  EFI_COMPONENT_NAME_PROTOCOL copy = *cn;
  char packed[] = "fraeng";
  copy.SupportedLanguages = packed;
  EXPECT_EQ(copy.GetDriverName(&copy, eng, &name), EFI_SUCCESS);
  char shifted[] = "xeng";  // "eng" only straddling two codes
  copy.SupportedLanguages = shifted;
  EXPECT_EQ(copy.GetDriverName(&copy, eng, &name), EFI_UNSUPPORTED);
  char empty[] = "";
  copy.SupportedLanguages = empty;
  EXPECT_EQ(copy.GetDriverName(&copy, eng, &name), EFI_UNSUPPORTED);
  copy.SupportedLanguages = nullptr;
  EXPECT_EQ(copy.GetDriverName(&copy, eng, &name), EFI_UNSUPPORTED);
  copy.SupportedLanguages = fra;
  EXPECT_EQ(copy.GetDriverName(&copy, fra, &name), EFI_UNSUPPORTED) << "a listed code without a name";
}

TEST_F(BindingTest, ControllerNameIsUnsupported) {
  EFI_COMPONENT_NAME_PROTOCOL *cn = &gComponentName;
  CHAR16 *name = nullptr;
  char eng[] = "eng";
  EXPECT_EQ(cn->GetControllerName(cn, nic_->controller, nullptr, eng, &name), EFI_UNSUPPORTED);
  EXPECT_EQ(cn->GetControllerName(cn, nic_->controller, child_.handle, eng, &name), EFI_UNSUPPORTED);
  EXPECT_EQ(name, nullptr);
}

}  // namespace
}  // namespace orvale_test
