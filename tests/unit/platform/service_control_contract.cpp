#include "unit/platform/service_control_contract.h"

#include <tuple>

#include "platform/win_values.h"

namespace fenra::testing {
namespace {

constexpr uint32_t kAll = win::kServiceAllAccess;

}  // namespace

void ServiceControlContractTest::SetUp() {
  harness_ = GetParam().make();
  manager_ = sc().OpenSCManager(win::kScManagerAllAccess);
  ASSERT_NE(manager_, nullptr) << Error();
  go_ = kernel().CreateEvent(true, false, kContractGoEvent);
  user_control_ = kernel().CreateEvent(true, false, kContractUserControlEvent);
  main_end_ = kernel().CreateEvent(true, false, kContractMainEndEvent);
  ASSERT_TRUE(go_ && user_control_ && main_end_);
  kernel().ResetEvent(go_);
  kernel().ResetEvent(main_end_);
  TearDown();  // a service left by an earlier run goes first
  manager_ = sc().OpenSCManager(win::kScManagerAllAccess);
}

void ServiceControlContractTest::TearDown() {
  if (!manager_) return;
  if (ScHandlePtr service = Open(kAll)) {
    kernel().SetEvent(go_);
    ServiceStatus status;
    for (int polls = 0; polls < 300 && sc().QueryServiceStatus(*service, &status); ++polls) {
      if (status.current_state == win::kServiceStopped) break;
      if (status.current_state == win::kServiceRunning)
        sc().ControlService(*service, win::kServiceControlStop, &status);
      kernel().Sleep(100);
    }
    sc().DeleteService(*service);
  }
  // Stopped, deleted and closed, it goes; Wine's manager at times keeps it
  // a few seconds longer, marked for deletion, where the next test would
  // fail to install it again.
  for (int polls = 0; polls < 100 && Open(win::kServiceQueryStatus); ++polls) kernel().Sleep(100);
  kernel().ResetEvent(go_);
  manager_.reset();
}

ServiceConfig ServiceControlContractTest::Config() {
  ServiceConfig config;
  config.service_type = win::kServiceWin32OwnProcess;
  config.start_type = win::kServiceDemandStart;
  config.error_control = win::kServiceErrorNormal;
  config.binary_path_name = harness_->ContractServiceImage();
  config.dependencies = {"RPCSS"};
  config.display_name = "FENRA contract test";
  return config;
}

ScHandlePtr ServiceControlContractTest::Install() {
  ScHandlePtr service = sc().CreateService(manager(), kContractServiceName, kAll, Config());
  EXPECT_NE(service, nullptr) << Error();
  return service;
}

ScHandlePtr ServiceControlContractTest::Open(uint32_t access) {
  return sc().OpenService(manager(), kContractServiceName, access);
}

bool ServiceControlContractTest::AwaitState(ScHandle& service, uint32_t state) {
  ServiceStatus status;
  for (int polls = 0; polls < 300; ++polls) {
    if (!sc().QueryServiceStatus(service, &status)) return false;
    if (status.current_state == state) return true;
    kernel().Sleep(100);
  }
  return false;
}

TEST_P(ServiceControlContractTest, AnInstalledServiceKeepsItsConfigurationAndItsAccessRights) {
  ASSERT_NE(Install(), nullptr);
  ScHandlePtr query = sc().OpenService(manager(), "FENRACONTRACTTEST", win::kServiceQueryConfig);
  ASSERT_NE(query, nullptr) << "names are found in any case";
  ServiceConfig config;
  ASSERT_TRUE(sc().QueryServiceConfig(*query, &config)) << Error();
  ServiceConfig expected = Config();
  // Wine's manager gives no dependencies back.
  if (on_wine()) expected.dependencies.clear();
  EXPECT_EQ(std::tie(config.service_type, config.start_type, config.error_control, config.binary_path_name,
                     config.dependencies, config.display_name),
            std::tie(expected.service_type, expected.start_type, expected.error_control, expected.binary_path_name,
                     expected.dependencies, expected.display_name));
  EXPECT_EQ(config.service_start_name, "LocalSystem");

  ServiceStatus status;
  EXPECT_EQ(Refusal(sc().ControlService(*query, win::kServiceControlStop, &status)), win::kErrorAccessDenied);
  EXPECT_EQ(Refusal(sc().DeleteService(*query)), win::kErrorAccessDenied);
  EXPECT_EQ(Refusal(sc().OpenService(*query, kContractServiceName, kAll)), win::kErrorInvalidHandle)
      << "a service handle is no manager";
  ScHandlePtr connect_only = sc().OpenSCManager(win::kScManagerConnect);
  EXPECT_EQ(Refusal(sc().CreateService(*connect_only, "FenraContractOther", kAll, Config())), win::kErrorAccessDenied);

  EXPECT_EQ(Refusal(sc().CreateService(manager(), "FENRACONTRACTTEST", kAll, Config())), win::kErrorServiceExists);
  EXPECT_EQ(Refusal(sc().CreateService(manager(), "Fenra\\Contract", kAll, Config())), win::kErrorInvalidName);
  EXPECT_EQ(Refusal(sc().OpenService(manager(), "FenraContractMissing", kAll)), win::kErrorServiceDoesNotExist);
}

TEST_P(ServiceControlContractTest, ControlsFollowTheServiceState) {
  ScHandlePtr service = Install();
  ASSERT_NE(service, nullptr);
  ServiceStatus status;
  EXPECT_EQ(Refusal(sc().ControlService(*service, win::kServiceControlStop, &status)), win::kErrorServiceNotActive);
  EXPECT_EQ(status.current_state, win::kServiceStopped);
  EXPECT_EQ(Refusal(sc().ControlService(*service, 0, &status)), win::kErrorInvalidParameter);

  ASSERT_TRUE(sc().StartService(*service, {})) << Error();
  ASSERT_TRUE(sc().QueryServiceStatus(*service, &status));
  EXPECT_EQ(status.current_state, win::kServiceStartPending);
  // A control while the service starts is refused, and the sender hears
  // so; a stop too, except on Wine, whose manager hands it on.
  for (uint32_t control : {kContractUserControl, win::kServiceControlStop}) {
    if (control == win::kServiceControlStop && on_wine()) continue;
    EXPECT_EQ(Refusal(sc().ControlService(*service, control, &status)), win::kErrorServiceCannotAcceptCtrl) << control;
  }
  EXPECT_EQ(Refusal(sc().StartService(*service, {})), win::kErrorServiceAlreadyRunning);

  kernel().SetEvent(go_);
  ASSERT_TRUE(AwaitState(*service, win::kServiceRunning));
  EXPECT_EQ(Refusal(sc().ControlService(*service, win::kServiceControlPause, &status)),
            win::kErrorInvalidServiceControl);
  // The handler has run when ControlService returns, and its answer is the
  // sender's (Wine's manager reports success whatever the handler answers).
  EXPECT_TRUE(sc().ControlService(*service, kContractUserControl, &status)) << Error();
  EXPECT_EQ(kernel().WaitForSingleObject(user_control_, 0), win::kWaitObject0);
  EXPECT_EQ(Refusal(sc().ControlService(*service, kContractUserControl + 1, &status)),
            on_wine() ? 0u : win::kErrorCallNotImplemented);
  EXPECT_TRUE(sc().ControlService(*service, win::kServiceControlInterrogate, &status)) << Error();
  EXPECT_EQ(status.current_state, win::kServiceRunning);
  EXPECT_TRUE(sc().ControlService(*service, win::kServiceControlStop, &status)) << Error();
  EXPECT_NE(status.current_state, win::kServiceRunning);
  ASSERT_TRUE(AwaitState(*service, win::kServiceStopped));
  // Its process does not end under a ServiceMain that runs on after the
  // report.
  EXPECT_EQ(kernel().WaitForSingleObject(main_end_, 5000), win::kWaitObject0);
  EXPECT_EQ(Refusal(sc().ControlService(*service, win::kServiceControlStop, &status)), win::kErrorServiceNotActive);
}

TEST_P(ServiceControlContractTest, ADeletedServiceGoesOnceStoppedAndClosed) {
  ScHandlePtr service = Install();
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(sc().StartService(*service, {})) << Error();
  kernel().SetEvent(go_);
  ASSERT_TRUE(AwaitState(*service, win::kServiceRunning));

  ASSERT_TRUE(sc().DeleteService(*service));
  EXPECT_EQ(Refusal(sc().DeleteService(*service)), win::kErrorServiceMarkedForDelete);
  ScHandlePtr again = Open(win::kServiceQueryStatus);
  EXPECT_NE(again, nullptr) << "a running service stays until it stops";
  EXPECT_EQ(Refusal(sc().CreateService(manager(), kContractServiceName, kAll, Config())),
            win::kErrorServiceMarkedForDelete);

  ServiceStatus status;
  EXPECT_TRUE(sc().ControlService(*service, win::kServiceControlStop, &status));
  ASSERT_TRUE(AwaitState(*service, win::kServiceStopped));
  service.reset();
  EXPECT_NE(Open(win::kServiceQueryStatus), nullptr) << "an open handle keeps it";
  again.reset();
  ScHandlePtr left = Open(kAll);
  if (left && on_wine()) {
    // Wine's manager at times keeps it a while longer (seconds), marked
    // for deletion.
    EXPECT_EQ(Refusal(sc().DeleteService(*left)), win::kErrorServiceMarkedForDelete);
    return;
  }
  EXPECT_EQ(left, nullptr);
  EXPECT_EQ(Error(), win::kErrorServiceDoesNotExist);
}

}  // namespace fenra::testing
