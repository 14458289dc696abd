#pragma once

#include <string>
#include <vector>

namespace orlavonix {

// Opens the first of the candidate files that loads (dlopen with immediate
// binding); nullptr when none does.
void* OpenFirstLibrary(const std::vector<std::string>& Candidates);
// dlsym; nullptr when missing.
void* LibrarySymbol(void* Handle, const char* Name);
// dlclose; false when it reported an error.
bool CloseLibrary(void* Handle);
// Directory of the running program, empty when unknown.
std::string ProgramDirectory();

} // namespace orlavonix
