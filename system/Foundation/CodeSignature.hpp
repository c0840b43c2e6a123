// The bundle's detached ad hoc signature: _CodeSignature/CodeResources, an XML property list
// that a build step writes beside the executable. It names the signing identifier (the
// bundle identifier), carries no team identifier, and holds the SHA-256 of the executable, of
// Info.plist and, for an extension inside an app, of the app's resources that the platform
// reads for it (every file at the top of the app's folder and in its .lproj folders, keyed
// "../../<path>"). Stateless and thread-safe. Only the extension runner checks signatures, so
// none of this is exported.
#pragma once

#include <optional>
#include <string>

#include "Foundation/NSBundle.hpp"
#include "Foundation/NSError.hpp"

inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
// NSOSStatusErrorDomain codes: a bundle without a signature, and one whose signature does not
// hold (a changed file, a signature that covers too little or names someone else).
inline constexpr long errSecCSUnsigned = -67062;
inline constexpr long errSecCSSignatureFailed = -67061;

namespace foundation {

inline constexpr const char* kCodeSignaturePath = "_CodeSignature/CodeResources";

// Checks the bundle's signature: success when it holds, otherwise what is wrong.
Status verifyCodeSignature(const NSBundle& bundle);

// The lowercase hex SHA-256 of a file's bytes, or the POSIX error that kept it from being read.
Result<std::string> fileSHA256(const std::string& path);

}  // namespace foundation
