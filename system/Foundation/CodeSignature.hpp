// The bundle's detached ad hoc signature: _CodeSignature/CodeResources, an XML property list
// that a build step writes beside the executable. It names the signing identifier (the
// bundle identifier), carries no team identifier, and holds the SHA-256 of the executable and
// of Info.plist. Stateless and thread-safe.
#pragma once

#include <optional>
#include <string>

#include "Foundation/NSBundle.hpp"

inline constexpr const char* kCodeSignaturePath = "_CodeSignature/CodeResources";

// Checks the bundle's signature; returns what is wrong, or absent when it holds.
std::optional<std::string> NSBundleVerifyCodeSignature(const NSBundle& bundle);

// The lowercase hex SHA-256 of a file's bytes; absent when it cannot be read.
std::optional<std::string> NSFileSHA256(const std::string& path);
