// Finds libmosquitto's functions with the dynamic loader (see mosquitto_library.h).
#include "cli/mosquitto_library.h"

#include <dlfcn.h>

namespace cli {
namespace {

// Sets `function` to the library's symbol `name`; "" or why it is not there.
template <typename Function>
std::string find(void* handle, const char* name, Function& function) {
  ::dlerror();
  void* symbol = ::dlsym(handle, name);
  if (const char* why = ::dlerror(); why != nullptr || symbol == nullptr) {
    return std::string(kMosquittoLibrary) + " has no " + name + " (" +
           (why != nullptr ? why : "a null symbol") + ")";
  }
  function = reinterpret_cast<Function>(symbol);
  return {};
}

}  // namespace

std::string load_mosquitto(MosquittoLibrary& library) {
  void* handle = ::dlopen(kMosquittoLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return std::string("cannot load ") + kMosquittoLibrary +
           " (package libmosquitto1): " + (why != nullptr ? why : "no reason given");
  }
  std::string why;
#define MMFCAST_MOSQUITTO_FIND(name) \
  if (why.empty()) why = find(handle, #name, library.name);
  MMFCAST_MOSQUITTO_FUNCTIONS(MMFCAST_MOSQUITTO_FIND)
#undef MMFCAST_MOSQUITTO_FIND
  return why;
}

}  // namespace cli
