// The costs that every launch and every request pays on the device: a keychain read and
// write, an atomic data-item write (with its fsync), and taking an uncontended file lock.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <keel/storage/KeychainStore.h>
#include <keel/storage/MultiProcessFileLock.h>
#include <keel/platform/FileSystem.h>
#include <keel/platform/Keychain.h>

namespace {

std::string makeRoot() {
  char pattern[] = "/tmp/keel-bench-XXXXXX";
  return mkdtemp(pattern);
}

void KeychainRead(benchmark::State& state) {
  const std::string root = makeRoot();
  platform::Keychain::setDirectory(root);
  keel::KeychainStore store("bench.com.keel.sdk");
  store.setObject(keel::Value("r:0123456789abcdef"), "session");
  for (auto _ : state) benchmark::DoNotOptimize(store.objectForKey("session"));
  platform::Keychain::setDirectory("");
  std::filesystem::remove_all(root);
}
BENCHMARK(KeychainRead);

void KeychainWrite(benchmark::State& state) {
  const std::string root = makeRoot();
  platform::Keychain::setDirectory(root);
  keel::KeychainStore store("bench.com.keel.sdk");
  for (auto _ : state) benchmark::DoNotOptimize(store.setObject(keel::Value("r:0123456789abcdef"), "session"));
  platform::Keychain::setDirectory("");
  std::filesystem::remove_all(root);
}
BENCHMARK(KeychainWrite)->Unit(benchmark::kMicrosecond);

void AtomicDataItemWrite(benchmark::State& state) {
  const std::string root = makeRoot();
  const keel::Bytes data(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(platform::writeFileAtomically(root + "/item", data, 0600));
  std::filesystem::remove_all(root);
}
BENCHMARK(AtomicDataItemWrite)->Arg(36)->Arg(64 << 10)->Unit(benchmark::kMicrosecond);

void UncontendedFileLock(benchmark::State& state) {
  const std::string root = makeRoot();
  auto& controller = keel::MultiProcessFileLockController::sharedController();
  for (auto _ : state) {
    controller.beginLockedContentAccessForFileAtPath(root + "/item");
    controller.endLockedContentAccessForFileAtPath(root + "/item");
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(UncontendedFileLock)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
