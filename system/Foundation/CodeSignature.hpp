// The bundle's detached ad hoc signature: _CodeSignature/CodeResources, an XML property list
// that a build step writes beside the executable (platform/Sign.cmake). It names the signing
// identifier (the bundle identifier), carries no team identifier, and holds the SHA-256 of
// every file of the extension's folder and of the app outside PlugIns/, its frameworks among
// them. It is a checksum the build writes, not a key: it tells a bundle changed after the
// build (a library replaced or patched, a file added or removed) from the one that was built,
// not a bundle made by someone else from one made by us. Stateless and thread-safe. Only the
// extension runner checks signatures, so none of this is exported.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Foundation/NSBundle.hpp"
#include "Foundation/NSError.hpp"

inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
// NSOSStatusErrorDomain codes: a bundle without a signature, and one whose signature does not
// hold (a changed file, a signature that covers too little or names someone else).
inline constexpr long errSecCSUnsigned = -67062;
inline constexpr long errSecCSSignatureFailed = -67061;

namespace foundation {

inline constexpr const char* kCodeSignaturePath = "_CodeSignature/CodeResources";

// Checks the signature of the extension `bundle`, inside its app: success when it holds,
// otherwise what is wrong.
Status verifyCodeSignature(const NSBundle& bundle);

// Whether `identifier` is a bundle identifier: reverse DNS, components of letters, digits and
// hyphens between periods ("com.halvicourt.app.HalvicourtNotificationService"). Directories
// are named after it, so nothing else may pass: "..", a slash, an empty component.
bool isBundleIdentifier(std::string_view identifier);

// The lowercase hex SHA-256 of a file's bytes, or the POSIX error that kept it from being read.
Result<std::string> fileSHA256(const std::string& path);

}  // namespace foundation
