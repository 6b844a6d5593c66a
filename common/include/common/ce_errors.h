// The platform's error numbers that the host layers return and compare,
// named once.  The stand-in declares the same values for product code
// (ERROR_* in ce_host.h); platform/host/ce_errors_check.cpp stops the build
// when the two differ.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code has no host helpers: it calls the platform (platform/platform.h)"
#endif

#include <cstdint>

namespace ce_error {

constexpr uint32_t kFileNotFound = 2;         // ERROR_FILE_NOT_FOUND
constexpr uint32_t kPathNotFound = 3;         // ERROR_PATH_NOT_FOUND
constexpr uint32_t kAccessDenied = 5;         // ERROR_ACCESS_DENIED
constexpr uint32_t kGenFailure = 31;          // ERROR_GEN_FAILURE
constexpr uint32_t kSharingViolation = 32;    // ERROR_SHARING_VIOLATION
constexpr uint32_t kNotSupported = 50;        // ERROR_NOT_SUPPORTED
constexpr uint32_t kInvalidParameter = 87;    // ERROR_INVALID_PARAMETER
constexpr uint32_t kInsufficientBuffer = 122; // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kInvalidName = 123;        // ERROR_INVALID_NAME
constexpr uint32_t kFilenameTooLong = 206;    // ERROR_FILENAME_EXCED_RANGE

}  // namespace ce_error
