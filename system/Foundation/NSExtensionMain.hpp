// The extension runner. NSExtensionMain is the extension executable's entry point: it reads the
// bundle's Info.plist, checks the bundle (its identifier and its signature), resolves the
// principal class through the object runtime and hands the process to the host of the
// extension point that Info.plist names. Hosts are constant records (foundation::ExtensionPoint)
// that the point's library lists in its section "nsextension_points", found the way the runtime
// finds classes, so nothing registers at load and Foundation does not depend on any point's
// library. Once the host has run, NSExtensionMain ends the process with the host's status and
// does not return; it returns only to refuse a bundle it cannot run.
#pragma once

#include <string_view>

#include "Foundation/Export.hpp"
#include "objc/runtime.hpp"

namespace foundation {

// The host of one extension point.
struct ExtensionPoint {
  const char* identifier;          // e.g. "com.apple.usernotifications.service"
  const char* requiredSuperclass;  // the principal class must be a subclass of this class
  // Runs the process for `principalClass`; returns the exit status.
  int (*run)(Class principalClass, int argc, char** argv);
};

// EX_CONFIG: the bundle is unusable (Info.plist, identifier, signature, principal class).
inline constexpr int kExtensionConfigurationError = 78;

// The point's record by identifier; null when no loaded library lists it.
const ExtensionPoint* extensionPoint(std::string_view identifier);

}  // namespace foundation

// Lists `record`, a constinit foundation::ExtensionPoint, in the defining image's section of
// extension points. Use once per point, at namespace scope.
#define FOUNDATION_EXTENSION_POINT(record)                                                   \
  [[gnu::used,                                                                               \
    gnu::section("nsextension_points")]] constinit const ::foundation::ExtensionPoint* const \
      nsextension_point_entry_##record = &(record);                                          \
  OBJC_IMAGE_LINKS_RUNTIME(record)

// The class for a name: "Module.Class" is formed into its runtime name
// ("_TtC" + length + module + length + class); any other name is looked up as it stands.
Class NSClassFromString(std::string_view name);

extern "C" FOUNDATION_EXPORT int NSExtensionMain(int argc, char** argv) noexcept;
