// Translation of C library errors into the system error codes the rest of the code reports.
#include "platform/error_codes.h"

#include <cerrno>

namespace nexoral {

DWORD ErrorCodeFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOSPC:
    case EFBIG:
      return kErrorDiskFull;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EINVAL:
      return kErrorInvalidParameter;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace nexoral
