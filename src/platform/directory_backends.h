// The two directory back ends behind OpenDirectory.
#ifndef NEXORAL_PLATFORM_DIRECTORY_BACKENDS_H
#define NEXORAL_PLATFORM_DIRECTORY_BACKENDS_H

#include <memory>
#include <string>

#include "platform/directory.h"

namespace nexoral::platform {

std::shared_ptr<Directory> MakeLdapDirectory(const DirectoryConfig& config, std::string* error);
std::shared_ptr<Directory> MakeLdifDirectory(const DirectoryConfig& config, std::string* error);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_DIRECTORY_BACKENDS_H
