// Ports on 127.0.0.1, the only address the local servers listen on.
#pragma once

#include <array>

namespace korvane::test {

// Ports that are free now; all are held until each has been found, so they differ.
std::array<int, 2> FreePorts();

// True when something on 127.0.0.1:`APort` takes a connection now.
bool AcceptsConnections(int APort);

}  // namespace korvane::test
