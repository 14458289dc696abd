#include "voice/LibraryLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace orlavonix {

void* OpenFirstLibrary(const std::vector<std::string>& Candidates) {
  for (const auto& Name : Candidates) {
    if (Name.empty())
      continue;
    if (void* H = dlopen(Name.c_str(), RTLD_NOW))
      return H;
  }
  return nullptr;
}

void* LibrarySymbol(void* Handle, const char* Name) {
  return dlsym(Handle, Name);
}

bool CloseLibrary(void* Handle) {
  return dlclose(Handle) == 0;
}

std::string ProgramDirectory() {
  char Path[PATH_MAX];
  ssize_t N = readlink("/proc/self/exe", Path, sizeof(Path) - 1);
  if (N <= 0)
    return {};
  std::string S(Path, static_cast<size_t>(N));
  auto Slash = S.rfind('/');
  return Slash == std::string::npos ? std::string() : S.substr(0, Slash);
}

} // namespace orlavonix
