// Sends whole Ethernet frames, built by the test, out of a device of the
// calling thread's network namespace: for frames no socket of the kernel
// would make (802.1Q and 802.1ad tags on a device without VLANs).
#pragma once

#include <string>

#include "tests/support/packets.h"

// "" on success, else what failed.
std::string frame_send(const std::string& device, const bytes& frame);

// The frame with a VLAN tag (tag protocol `tpid`, VLAN `id`) after its two
// hardware addresses.
bytes vlan_tagged(const bytes& frame, uint16_t tpid, uint16_t id);
