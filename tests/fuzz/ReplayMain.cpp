// Runs a fuzz entry point once over every file of the given folders or files,
// so that builds without libFuzzer still exercise the corpus.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int Runs = 0;
  auto RunFile = [&](const fs::path& P) {
    std::ifstream In(P, std::ios::binary);
    std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)), {});
    LLVMFuzzerTestOneInput(Bytes.data(), Bytes.size());
    ++Runs;
  };
  for (int I = 1; I < argc; ++I) {
    fs::path P = argv[I];
    if (fs::is_directory(P)) {
      for (const auto& E : fs::recursive_directory_iterator(P))
        if (E.is_regular_file())
          RunFile(E.path());
    } else if (fs::exists(P)) {
      RunFile(P);
    }
  }
  LLVMFuzzerTestOneInput(nullptr, 0);
  std::printf("replayed %d inputs\n", Runs);
  return Runs > 0 ? 0 : 1;
}
