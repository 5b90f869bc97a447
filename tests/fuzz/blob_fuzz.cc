// libFuzzer target over the blob reader: any input reads as a store, which
// rewrites to bytes that read back equal and rewrite identically, or as a
// DecodeError. `blob_fuzz --write-corpus=DIR` writes the seed corpus.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "blob_seeds.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "blob_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  constexpr const char kFlag[] = "--write-corpus=";
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], kFlag, sizeof kFlag - 1) != 0) continue;
    for (const auto& seed : velmora::blob_seeds::all()) {
      const std::string path = std::string((*argv)[i] + sizeof kFlag - 1) + "/" + seed.name;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
      require(static_cast<bool>(out), "cannot write the corpus");
      std::printf("wrote %s (%zu bytes)\n", path.c_str(), seed.bytes.size());
    }
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora;
  auto first = deserialize(std::span<const uint8_t>(data, size));
  if (!first) {
    require(!first.error().message().empty(), "empty error message");
    return 0;
  }
  const Snapshot snap = (*first)->snapshot();
  require((*first)->node_map().empty(), "a read store has a node_map");
  auto bytes = serialize_with(**first, snap.outputs);
  require(bytes.ok(), "a decoded store does not serialize");
  auto second = deserialize(*bytes);
  require(second.ok(), "a written blob does not read back");
  const Snapshot again = (*second)->snapshot();
  require(again.nodes == snap.nodes && again.outputs == snap.outputs, "a round trip changed the store");
  auto rewritten = serialize_with(**second, again.outputs);
  require(rewritten.ok() && *rewritten == *bytes, "re-serialization is not byte-identical");
  return 0;
}
