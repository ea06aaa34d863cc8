// loopback.h: TCP ports on 127.0.0.1 for the tests that start a real receiver (rsyslogd).
#pragma once

namespace kx::test {

// A TCP port on 127.0.0.1 that was free a moment ago (bound, read back and released).
int FreeLoopbackPort();

// Whether something accepts TCP connections on 127.0.0.1:port.
bool TcpPortOpen(int port);

}  // namespace kx::test
