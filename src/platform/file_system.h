// Paths and folders: splitting a path, and making the folders a file is about to go into.
#ifndef NEXORAL_PLATFORM_FILE_SYSTEM_H
#define NEXORAL_PLATFORM_FILE_SYSTEM_H

#include <string>

namespace nexoral::platform {

// "/a/b/c.log" -> "/a/b"; "c.log" -> ""; "/c.log" -> "/".
std::string ParentFolder(const std::string& path);
// "/a/b/c.log" -> "c.log".
std::string FileNameOf(const std::string& path);

// True when something exists at path; otherwise false with the last error 2 or 3.
bool PathExists(const std::string& path);

// Creates folder and any missing parent (mode 0755). True when it exists afterwards.
bool CreateFolders(const std::string& folder);

// Opens path with the open(2) flags, creating a missing parent folder when the flags create
// the file. A descriptor, or -1 with errno set.
int OpenCreatingFolders(const std::string& path, int flags, int mode);

// Writes all of data at offset (at the end when offset is negative and the file appends).
// False when a write fails; what was written stays written.
bool WriteAll(int descriptor, const void* data, size_t length, long long offset);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_FILE_SYSTEM_H
