// Hosts a list server with simulated keys in a process of its own, as a monitor process would:
//   monitor_host.exe STOP_EVENT_NAME [KEY_PATH ...]
// Serves until the named event is set (the test makes it), then stops the list server and exits 0.
#include <windows.h>

#include <string>

#include "common/win/unique_resource.h"
#include "service/pipes/pipe_server.h"
#include "simkey/sim_key.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  for (int i = 2; i < argc; ++i) {
    const std::wstring wide(argv[i]);
    tamsu::sim::SimKeyBus::Instance().Add(std::string(wide.begin(), wide.end())).SetResponder(tamsu::sim::Echo());
  }
  tamsu::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, argv[1]));
  if (!stop) return 3;
  {
    tamsu::ListPipeServer server;
    server.Start(nullptr);
    WaitForSingleObject(stop.get(), INFINITE);
    server.Stop();
  }
  return 0;
}
