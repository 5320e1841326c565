// A loopback port for tests that start servers. Any thread.
#pragma once

namespace velto::test {

// A port on 127.0.0.1 that nothing listens on right now; 0 when none could be found.
int freePort();

} // namespace velto::test
