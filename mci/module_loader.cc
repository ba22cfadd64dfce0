// Loading of the modules beside this one, by absolute path and ABI version.
#include "mci/module_loader.h"

#include <dlfcn.h>

#include <string>

namespace quorwind::mci {

namespace {

/// The directory of this module, with its final slash; empty when unknown.
std::string ThisModuleDirectory() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&ThisModuleDirectory), &info) || !info.dli_fname) return "";
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || path[0] != '/' ? "" : path.substr(0, slash + 1);
}

}  // namespace

void* LoadModuleEntry(const char* name, const char* symbol) {
  const std::string directory = ThisModuleDirectory();
  if (directory.empty()) return nullptr;
  // RTLD_NODELETE: what a module made may outlive any handle to it.
  // RTLD_LAZY: a missing library still fails here, but the functions of the
  // dozens a decoder library pulls in are bound when first called, if ever
  // (a few ms of FluidSynth's start).
  void* module = dlopen((directory + name).c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
  if (!module) return nullptr;
  const auto* abi = static_cast<const std::uint32_t*>(dlsym(module, "QuorwindModuleAbi"));
  void* entry = abi && *abi == kModuleAbiVersion ? dlsym(module, symbol) : nullptr;
  dlclose(module);  // stays mapped: RTLD_NODELETE
  return entry;
}

}  // namespace quorwind::mci
