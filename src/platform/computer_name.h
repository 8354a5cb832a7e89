// The computer's name as the network knows it: the DNS host name, without the domain.
#ifndef NEXORAL_PLATFORM_COMPUTER_NAME_H
#define NEXORAL_PLATFORM_COMPUTER_NAME_H

#include <string>

namespace nexoral::platform {

// The host name up to its first "."; false with the last error set when the system has none.
bool GetDnsHostName(std::string* name);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_COMPUTER_NAME_H
