// Line speeds beyond the fixed B-constants of termios: any rate in bits per
// second through the kernel's termios2 interface (BOTHER). Kept apart because
// the kernel's termios definitions cannot share a source file with <termios.h>.
#pragma once

#include <cstdint>

namespace varolan::serial::detail {

// Sets input and output speed of the tty on `fd` to `rate` bits per second,
// leaving every other setting as it is. Returns false when the driver refuses.
bool set_custom_speed(int fd, std::uint32_t rate);

// The output speed in force, in bits per second, as the driver reports it.
bool get_speed(int fd, std::uint32_t* rate);

}  // namespace varolan::serial::detail
