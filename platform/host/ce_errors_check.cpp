// The host layers' names for the platform's error numbers
// (common/ce_errors.h) against the stand-in's declarations of them, which
// product code sees: a value changed on one side only stops the build here.
#include "ce_host.h"
#include "common/ce_errors.h"

static_assert(ce_error::kFileNotFound == ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND");
static_assert(ce_error::kPathNotFound == ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND");
static_assert(ce_error::kAccessDenied == ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED");
static_assert(ce_error::kGenFailure == ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE");
static_assert(ce_error::kSharingViolation == ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION");
static_assert(ce_error::kNotSupported == ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED");
static_assert(ce_error::kInvalidParameter == ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER");
static_assert(ce_error::kInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER");
static_assert(ce_error::kInvalidName == ERROR_INVALID_NAME, "ERROR_INVALID_NAME");
static_assert(ce_error::kFilenameTooLong == ERROR_FILENAME_EXCED_RANGE, "ERROR_FILENAME_EXCED_RANGE");
