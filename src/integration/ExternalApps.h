#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlavonix {

// Starts the first web browser of a fixed list that is found in the search
// path, with URL, without waiting. -1 when none was found, else 0.
int32_t OpenURL(const std::string& URL);

// Whether an executable regular file Name is found through PATH.
bool FindInPath(const std::string& Name);

// Starts Program (searched through PATH) with Args in a child process that
// inherits only standard input, output and error. With Wait, returns the
// child's wait status; otherwise 0 at once, and the child is never left
// behind as a zombie of this process.
int32_t RunProgram(const std::string& Program, bool Wait, const std::vector<std::string>& Args);

} // namespace orlavonix
