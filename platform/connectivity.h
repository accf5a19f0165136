// Whether the machine has a network connection, as the job downloaders'
// once-a-second check asks it: a non-loopback interface that is up and has
// an address. TLX_NETWORK=up or TLX_NETWORK=down forces the answer (for
// tests, and for machines whose only route is unusual).
#pragma once

namespace plat {

bool IsNetworkUp();

// Test seam: forces the answer (1 up, 0 down); -1 asks the system again.
void SetNetworkStateForTesting(int state);

}  // namespace plat
