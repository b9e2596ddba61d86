// Whether TamsuClient may send on a connection: the rule alone, from what the platform side found
// out about the pipe's server (no platform calls, no allocation).
#pragma once

#include <cstdint>

namespace tamsu {

struct ServerFacts {
  bool idReadable;       // the system names a pipe's server process (Vista on)
  uint32_t serverId;     // that process; 0 when it could not be read
  uint32_t publishedId;  // the monitor the service published; 0 when none is
  bool sessionRequired;  // services have a session of their own (major version 6 on)
  bool sessionKnown;     // the server's session could be read
  uint32_t serverSession;
  uint32_t servicesSession;  // the service process's session where readable, else 0
  bool anyServerAllowed;     // TAMSU_ALLOW_ANY_SERVER=1, for development against TamsuKeySim
  bool serviceRunning;       // installed and not stopped (also when its state cannot be read)
};

// The server must be the monitor the running service published, in the services' session. The id
// is enough: the service holds its monitor's process until it has withdrawn the id, so while the
// service runs the id names no other process (a service process that died leaves its last id
// behind). A developer's setting counts only while no service runs, so a stray one never turns the
// check off against the installed service. Before Vista nothing can be checked.
inline bool GenuineServer(const ServerFacts& f) {
  if (f.anyServerAllowed && !f.serviceRunning) return true;
  if (!f.idReadable) return true;
  if (!f.serviceRunning || f.serverId == 0 || f.serverId != f.publishedId) return false;
  return !f.sessionRequired || (f.sessionKnown && f.serverSession == f.servicesSession);
}

}  // namespace tamsu
