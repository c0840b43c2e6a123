#include "Foundation/NSExtensionMain.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Foundation/CodeSignature.hpp"
#include "Foundation/NSBundle.hpp"
#include "objc/ImageSections.hpp"

namespace {

void collectPoints(const void* start, std::size_t size, void* context) {
  auto* found = static_cast<std::vector<const foundation::ExtensionPoint*>*>(context);
  const auto* entries = static_cast<const foundation::ExtensionPoint* const*>(start);
  for (std::size_t i = 0; i < size / sizeof(entries[0]); ++i) {
    if (entries[i] != nullptr) found->push_back(entries[i]);
  }
}

int refuse(const std::string& why) {
  std::fprintf(stderr, "HalvicourtNotificationService: cannot start the extension: %s\n",
               why.c_str());
  return foundation::kExtensionConfigurationError;
}

// The platform's runner does not return: the process ends with the host's run. It ends
// without the exit-time clean-up of the forty-odd libraries that libcurl brings in (OpenSSL,
// GnuTLS, Kerberos and the rest), which frees only what the kernel takes back anyway
// (docs/benchmarks.md, "Page faults and the cold start"). The host writes its lines with
// write(2); stdio is flushed here. Sanitized builds keep exit(), whose handlers run the leak check.
[[noreturn]] void endProcess(int status) {
  std::fflush(nullptr);
#ifdef HALVICOURT_SANITIZED
  std::exit(status);
#else
  _exit(status);
#endif
}

}  // namespace

Class NSClassFromString(std::string_view name) {
  std::size_t dot = name.find('.');
  if (dot != std::string_view::npos && dot > 0 && dot + 1 < name.size() &&
      name.find('.', dot + 1) == std::string_view::npos) {
    std::string_view module = name.substr(0, dot);
    std::string_view cls = name.substr(dot + 1);
    std::string mangled = "_TtC" + std::to_string(module.size()) + std::string(module) +
                          std::to_string(cls.size()) + std::string(cls);
    return objc_getClass(mangled);
  }
  return objc_getClass(name);
}

namespace foundation {

const foundation::ExtensionPoint* extensionPoint(std::string_view identifier) {
  std::vector<const foundation::ExtensionPoint*> points;
  objc::forEachImageSection("nsextension_points", &collectPoints, &points);
  for (const foundation::ExtensionPoint* p : points) {
    if (identifier == p->identifier) return p;
  }
  return nullptr;
}

}  // namespace foundation

int NSExtensionMain(int argc, char** argv) noexcept {
  const NSBundle& bundle = NSBundle::mainBundle();
  if (!bundle.hasInfoDictionary()) return refuse(bundle.infoDictionaryError()->description);
  // The identifier names the extension's directories: one that is not reverse DNS could name
  // any other place.
  if (const std::optional<std::string> identifier = bundle.bundleIdentifier();
      !identifier || !foundation::isBundleIdentifier(*identifier)) {
    return refuse("Info.plist's CFBundleIdentifier \"" + identifier.value_or("") +
                  "\" is not a reverse-DNS identifier (letters, digits, hyphens, periods)");
  }
  if (foundation::Status signature = foundation::verifyCodeSignature(bundle); !signature.ok()) {
    return refuse("code signature: " + signature.error().description);
  }
  std::optional<std::string> pointName =
      bundle.stringForKeyPath("NSExtension.NSExtensionPointIdentifier");
  std::optional<std::string> className =
      bundle.stringForKeyPath("NSExtension.NSExtensionPrincipalClass");
  if (!pointName) return refuse("Info.plist names no NSExtensionPointIdentifier");
  if (!className) return refuse("Info.plist names no NSExtensionPrincipalClass");
  const foundation::ExtensionPoint* point = foundation::extensionPoint(*pointName);
  if (point == nullptr) return refuse("no host for the extension point " + *pointName);
  Class principal = NSClassFromString(*className);
  if (principal == nullptr) return refuse("no class named " + *className);
  Class required = objc_getClass(point->requiredSuperclass);
  if (required == nullptr || principal == required || !objc::isSubclass(principal, required)) {
    return refuse(*className + " is not a subclass of " + point->requiredSuperclass);
  }
  endProcess(point->run(principal, argc, argv));
}

// The extension executable defines no main of its own: the process enters the runner. The
// runner is built apart from the rest of Foundation's objects (CMakeLists.txt) so that the
// tests that link those objects keep their own main.
extern "C" FOUNDATION_EXPORT int main(int argc, char** argv) noexcept
    __attribute__((alias("NSExtensionMain")));
