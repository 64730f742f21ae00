// Facts about this process and host: resident memory and hardware address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pf::host {

// Resident memory of this process in bytes, or -1 when it cannot be read.
int64_t residentBytes();

// The hardware address ("xx:xx:xx:xx:xx:xx") of the first interface that is not
// a loopback and has a non-zero address, interfaces that are up first; false
// when there is none.
bool primaryHardwareAddress(char* out, size_t capacity);

}  // namespace pf::host
