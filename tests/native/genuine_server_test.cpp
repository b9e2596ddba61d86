#include "sdk/src/genuine_server.h"

#include <gtest/gtest.h>

namespace tamsu {
namespace {

TEST(GenuineServer, TheTable) {
  struct Row {
    ServerFacts facts;  // in declaration order: id readable, ids, sessions, allowed, running
    bool accepted;
  };
  const Row rows[] = {
      {{true, 500, 500, true, true, 0, 0, false, true}, true},    // the published monitor in the services' session
      {{true, 501, 500, true, true, 0, 0, false, true}, false},   // another program in session 0, whatever its path
      {{true, 500, 0, true, true, 0, 0, false, true}, false},     // nothing published
      {{true, 0, 0, true, true, 0, 0, false, true}, false},       // nothing published, the server's id unread
      {{true, 500, 500, true, true, 1, 0, false, true}, false},   // the published id in a user's session
      {{true, 500, 500, true, false, 0, 0, false, true}, false},  // the server's session unread
      {{true, 500, 500, true, true, 1, 1, false, true}, true},    // Wine: every process in session 1
      {{true, 500, 500, false, true, 1, 0, false, true}, true},   // before 6.0 with the id readable: no sessions
      {{true, 501, 500, false, true, 0, 0, false, true}, false},  // ... but the id still
      {{false, 0, 0, true, false, 0, 0, false, true}, true},      // before Vista no id can be read
      {{true, 501, 500, true, true, 0, 0, true, true}, false},    // a stray allowance while the service runs
      {{true, 501, 0, true, true, 1, 0, true, false}, true},      // allowed, the service stopped or absent
      {{true, 501, 0, true, true, 0, 0, false, false}, false},    // the service stopped, not allowed
      {{true, 500, 500, true, true, 0, 0, false, false}, false},  // an id left by a service process that died
  };
  for (const Row& row : rows) EXPECT_EQ(row.accepted, GenuineServer(row.facts)) << &row - rows;
}

}  // namespace
}  // namespace tamsu
