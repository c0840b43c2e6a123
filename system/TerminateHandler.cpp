// The handler std::terminate calls, compiled into every image that carries its own copy of
// libstdc++ (halvicourt_private_cxx_runtime in cmake/Halvicourt.cmake): it says what was
// thrown, by its mangled name, and aborts. libstdc++'s own handler demangles the name, which
// would link its demangler into each image, for the loader to relocate at every start
// (docs/benchmarks.md, "Start-up tricks"), for a message that should never be printed.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    std::fprintf(stderr, "terminate called after throwing an instance of '%s'\n", type->name());
    try {
      throw;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "  what():  %s\n", e.what());
    } catch (...) {
    }
  } else {
    std::fputs("terminate called without an active exception\n", stderr);
  }
  std::abort();
}

}  // namespace __gnu_cxx
