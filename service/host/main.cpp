// TamsuSerB: installs and controls its service, runs as the service, and with "-m" as its monitor.
#include <windows.h>

#include "command_line.h"
#include "monitor_child.h"
#include "monitor_window.h"
#include "service_control.h"
#include "service_host.h"

namespace {

constexpr DWORD kExtraAcceptFlags = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showCommand) {
  using namespace tamsu;
  const CommandLineOptions options = ParseCommandLine(arguments);
  if (options.monitor) return static_cast<int>(RunMonitor(instance, showCommand));

  if (!options.install && !options.start && !options.stop && !options.uninstall) {
    ServiceHost& host = ServiceHost::Instance(kServiceName, StartMonitorChild, WatchMonitorChild);
    host.RegisterControlHandler(SERVICE_CONTROL_STOP, StopMonitorChild);
    host.RegisterControlHandler(SERVICE_CONTROL_SHUTDOWN, StopMonitorChild);
    host.Run(kExtraAcceptFlags);  // fails at once outside the service control manager
    return 0;
  }

  // Fixed order, each whatever the one before gave; nothing is reported, except a program path too
  // long to run the service from, which is never installed.
  int exitCode = 0;
  if (options.stop) StopService(kServiceName);
  if (options.uninstall) RemoveService(kServiceName);
  if (options.install) {
    wchar_t path[MAX_PATH];
    const DWORD error = OwnProgramPath(path);
    if (error == 0) {
      InstallService(kServiceName, path);
    } else {
      exitCode = static_cast<int>(error);
    }
  }
  if (options.start) StartInstalledService(kServiceName);
  return exitCode;
}
