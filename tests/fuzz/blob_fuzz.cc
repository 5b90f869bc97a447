// libFuzzer target: the blob reader agrees with the independent decoder on any
// input (blob_decoder.h). `blob_fuzz --write-corpus=DIR` writes the seeds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "blob_decoder.h"
#include "blob_seeds.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  constexpr const char kFlag[] = "--write-corpus=";
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], kFlag, sizeof kFlag - 1) != 0) continue;
    for (const auto& seed : velmora::blob_seeds::all()) {
      const std::string path = std::string((*argv)[i] + sizeof kFlag - 1) + "/" + seed.name;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
      std::printf("%s %s (%zu bytes)\n", out ? "wrote" : "cannot write", path.c_str(), seed.bytes.size());
      if (!out) std::exit(1);
    }
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string differs = velmora::blob_decoder::disagreement(std::span<const uint8_t>(data, size));
  if (differs.empty()) return 0;
  std::fprintf(stderr, "blob_fuzz: %s\n", differs.c_str());
  std::abort();
}
