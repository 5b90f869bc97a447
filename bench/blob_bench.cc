// Throughput of the IR blob writer and reader on a one-million-node store
// with a realistic mix of kinds: mostly parameterised ops, plus sources,
// externals, stages, exchanges and joins.
//
// Usage: blob_bench [nodes] [rounds] [read]   (defaults 1000000 and 5)
// Prints, per phase, the best and median round in MB/s and nodes/s:
//   write   serialize_with: snapshot under the lock, then encoding (into the
//           chunks a caller copies out once, as serialize() does into bytes)
//   encode  encode_blob over an existing snapshot (encoding alone)
//   read    deserialize: checking, decoding and interning into a new store
//   intern  interning the same nodes, already decoded, into a new store: the
//           part of `read` that is the store's own work
// Then the read of a blob that marks every node as an output (one mark a
// node) beside the read of the same nodes with the two outputs above.
//
// With `read`, only the blob is read, `rounds` times, and each read's page
// faults (a fresh page costs microseconds on a VM) and CPU time in user and
// system mode are given too, steadier than the clock on a busy host. A short
// run of this mode under callgrind counts the reader's instructions alone.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>

#include "base/panic.h"
#include "node/node.h"
#include "param/param.h"
#include "serialize/blob.h"
#include "store/store.h"

namespace {

using velmora::NodeId;
using velmora::NodeKey;
using velmora::ParamMap;
using velmora::ParamValue;

NodeKey node_at(uint64_t i) {
  const auto n = static_cast<int64_t>(i);
  if (i == 0 || i % 1000 == 0) {
    return NodeKey::Source("table_" + std::to_string(i), ParamMap({{"rows", ParamValue::Int(n)}}));
  }
  switch (i % 10) {
    case 1:
      return NodeKey::External(
          velmora::PayloadDescriptor{"onnx", "sha256:" + std::to_string(i * 2654435761u), "torch",
                                     "2.3", "f32[n]->f32[n]", std::nullopt},
          {NodeId(i - 1)});
    case 2: return NodeKey::Join({NodeId(i - 1), NodeId(i / 2)}, ParamMap({{"how", ParamValue::Str("inner")}}));
    case 3:
      return NodeKey::Exchange({NodeId(i - 1)}, ParamMap({{"parts", ParamValue::Int(n)},
                                                  {"scheme", ParamValue::Str("hash")}}));
    case 4:
      return NodeKey::Stage(
          {NodeId(i - 1), NodeId(i - 2)},
          {velmora::StageOp{"op|neg", {velmora::StageRef::Input(0)}},
           velmora::StageOp{"op|mul|scalar=f3ff0000000000000;side=sl",
                            {velmora::StageRef::Member(0), velmora::StageRef::Input(1)}},
           velmora::StageOp{"op|abs|k=i" + std::to_string(i), {velmora::StageRef::Member(1)}}});
    default: {
      static const char* const kNames[] = {"add", "mul", "scale", "clip"};
      std::vector<NodeId> inputs{NodeId(i - 1)};
      if (i % 7 == 0 && i >= 3) inputs.push_back(NodeId(i - 3));
      return NodeKey::Op(kNames[i % 4], std::move(inputs),
                         ParamMap({{"scalar", ParamValue::Float(static_cast<double>(i) * 0.5)},
                                   {"side", ParamValue::Str(i % 2 ? "l" : "r")}}));
    }
  }
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void report(const char* phase, std::vector<double> times, std::size_t bytes, uint64_t nodes) {
  std::sort(times.begin(), times.end());
  const double best = times.front(), median = times[times.size() / 2];
  std::printf("%-7s best %8.1f MB/s %10.0f nodes/s   median %8.1f MB/s %10.0f nodes/s  (%.3f s)\n",
              phase, bytes / best / 1e6, nodes / best, bytes / median / 1e6, nodes / median,
              median);
}

rusage usage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u;
}

double cpu_seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Reads `data` `rounds` times; the faults are the read's own, not those of
// dropping the store it made.
void read_only(const std::vector<uint8_t>& data, uint64_t count, int rounds) {
  std::vector<double> times;
  long faults = 0;
  double user = 1e30, system = 1e30;  // the least of any read, each
  for (int r = 0; r < rounds; ++r) {
    const rusage u0 = usage();
    const auto t0 = std::chrono::steady_clock::now();
    auto back = velmora::deserialize(data);
    times.push_back(seconds_since(t0));
    const rusage u1 = usage();
    faults = u1.ru_minflt - u0.ru_minflt;
    user = std::min(user, cpu_seconds(u1.ru_utime) - cpu_seconds(u0.ru_utime));
    system = std::min(system, cpu_seconds(u1.ru_stime) - cpu_seconds(u0.ru_stime));
    if (!back || (*back)->node_count() != count) velmora::panic("the blob did not read back");
  }
  std::printf("blob of %llu nodes: %zu bytes (%.1f bytes/node), %d rounds\n",
              static_cast<unsigned long long>(count), data.size(), double(data.size()) / count,
              rounds);
  report("read", times, data.size(), count);
  std::printf("page faults of the last read: %ld (%.1f KiB of blob a fault); least CPU of a read: "
              "%.3f s user, %.3f s system\n",
              faults, faults > 0 ? double(data.size()) / 1024.0 / double(faults) : 0.0, user, system);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const bool only_read = argc > 3 && std::string_view(argv[3]) == "read";
  if (count == 0 || rounds <= 0 || (argc > 3 && !only_read) || argc > 4) {
    std::fprintf(stderr, "usage: blob_bench [nodes>0] [rounds>0] [read]\n");
    return 2;
  }

  velmora::GraphStore store;
  for (uint64_t i = 0; i < count; ++i) {
    auto id = store.intern(node_at(i));
    if (!id || *id != NodeId(i)) velmora::panic("the bench graph must intern densely");
  }
  const std::vector<NodeId> outputs{NodeId(count - 1), NodeId(count / 2)};
  const velmora::Snapshot snap = store.snapshot();
  if (only_read) {
    read_only(velmora::serialize_with(store, outputs).value().bytes(), count, rounds);
    return 0;
  }

  std::vector<double> write_t, encode_t, read_t, intern_t;
  std::size_t bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    auto blob = velmora::serialize_with(store, outputs);
    write_t.push_back(seconds_since(t0));
    if (!blob) velmora::panic(blob.error().message);
    bytes = blob->size();

    t0 = std::chrono::steady_clock::now();
    auto encoded = velmora::encode_blob(snap.nodes, outputs);
    encode_t.push_back(seconds_since(t0));
    const std::vector<uint8_t> data = blob->bytes();
    if (!encoded || encoded->bytes() != data) velmora::panic("encode_blob differs from serialize_with");

    t0 = std::chrono::steady_clock::now();
    auto back = velmora::deserialize(data);
    read_t.push_back(seconds_since(t0));
    if (!back || (*back)->node_count() != count) velmora::panic("the blob did not read back");

    std::vector<NodeKey> copies = snap.nodes.keys();
    t0 = std::chrono::steady_clock::now();
    velmora::GraphStore fresh;
    for (NodeKey& key : copies) {
      if (!fresh.intern(std::move(key))) velmora::panic("interning failed");
    }
    intern_t.push_back(seconds_since(t0));
  }

  std::vector<NodeId> every(count);
  for (uint64_t i = 0; i < count; ++i) every[i] = NodeId(i);
  const std::vector<uint8_t> all_marked = velmora::serialize_with(store, every).value().bytes();
  const std::vector<uint8_t> two_marked = velmora::serialize_with(store, outputs).value().bytes();
  double marked_best = 1e30, plain_best = 1e30;
  for (int r = 0; r < rounds; ++r) {  // interleaved, so both see the same host
    auto t0 = std::chrono::steady_clock::now();
    auto back = velmora::deserialize(all_marked);
    marked_best = std::min(marked_best, seconds_since(t0));
    if (!back || (*back)->outputs().size() != count) velmora::panic("the marks did not read back");
    t0 = std::chrono::steady_clock::now();
    back = velmora::deserialize(two_marked);
    plain_best = std::min(plain_best, seconds_since(t0));
  }

  std::printf("blob of %llu nodes: %zu bytes (%.1f bytes/node), %d rounds\n",
              static_cast<unsigned long long>(count), bytes, double(bytes) / count, rounds);
  report("write", write_t, bytes, count);
  report("encode", encode_t, bytes, count);
  report("read", read_t, bytes, count);
  report("intern", intern_t, bytes, count);
  std::printf("read with every node an output: best %.3f s against %.3f s with two outputs "
              "(%.2f us a mark)\n",
              marked_best, plain_best, (marked_best - plain_best) / 1e-6 / static_cast<double>(count));
  return 0;
}
