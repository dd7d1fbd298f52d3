// JSON text: decoding a find reply of 10,000 objects ("results", ~3.4 MB, with dates, pointers
// and floating numbers as keel-server writes them) and writing it, each beside Boost.JSON doing
// the same job into and from its own document. The ratios of the times are the figures to
// watch; run with --benchmark_repetitions and --benchmark_enable_random_interleaving on this
// shared machine and compare medians.
//
// The whole decode goes on from the Values to what the decoder makes of them: dates, and
// pointers as shells from an object factory.
//
// Each decode benchmark also counts the heap blocks it takes per reply object ("allocs/object"):
// operator new is replaced in this program by one that counts (a thread-local increment).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <random>

#include <boost/json.hpp>
#include <fmt/format.h>

#include <keel/base/JSONSerialization.h>
#include <keel/objects/BackendObject.h>
#include <keel/objects/Decoder.h>

// GCC takes the replaced operator new for malloc's own and warns about the matching free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int kObjects = 10000;

// A find reply as keel-server sends it: plain fields, dates, a pointer, and floating numbers
// of every length, in its number form.
const std::string& reply() {
  static const std::string text = [] {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    keel::Array results;
    for (int i = 0; i < kObjects; ++i) {
      const auto date = fmt::format("2026-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", i % 12 + 1, i % 28 + 1,
                                    i % 24, i % 60, (i * 7) % 60, i % 1000);
      results.push_back(keel::Value(keel::Dictionary{
          {"objectId", keel::Value(fmt::format("v{:09}", i))},
          {"createdAt", keel::Value(date)},
          {"updatedAt", keel::Value(date)},
          {"Title", keel::Value(fmt::format("Exercise number {} ({} min)", i, 5 * (i % 12 + 1)))},
          {"Type", keel::Value(i % 2 ? "Relax" : "Energize")},
          {"Mins", keel::Value(5 * (i % 12 + 1))},
          {"score", keel::Value(unit(random))},
          {"done", keel::Value(i % 3 != 0)},
          {"lastPlayed", keel::Value(keel::Dictionary{{"__type", keel::Value("Date")}, {"iso", keel::Value(date)}})},
          {"owner", keel::Value(keel::Dictionary{{"__type", keel::Value("Pointer")},
                                                 {"className", keel::Value("_User")},
                                                 {"objectId", keel::Value(fmt::format("u{:06}", i % 500))}})},
      }));
    }
    return keel::JSONSerialization::stringFromJSONObject(keel::Value(keel::Dictionary{{"results", keel::Value(std::move(results))}}));
  }();
  return text;
}

// A shell as a pointer decodes to: class name and id, no data.
class Shell : public keel::BackendObject {
 public:
  Shell(std::string className, std::string objectId)
      : className_(std::move(className)), objectId_(std::move(objectId)) {}
  std::string className() const override { return className_; }
  std::optional<std::string> objectId() const override { return objectId_; }
  std::string getOrCreateLocalId() override { return "local_0000000000000001"; }

 private:
  std::string className_;
  std::string objectId_;
};

class ShellFactory : public keel::ObjectFactory {
 public:
  keel::BackendObjectPtr objectWithoutDataWithClassNameObjectId(const std::string& className,
                                                                const std::string& objectId) override {
    return std::make_shared<Shell>(className, objectId);
  }
  keel::BackendObjectPtr objectWithoutDataWithClassNameLocalId(const std::string& className,
                                                               const std::string&) override {
    return std::make_shared<Shell>(className, "");
  }
  keel::BackendObjectPtr objectFromDictionary(const keel::Dictionary&, const std::string&, bool,
                                              const keel::Decoder&) override {
    return nullptr;
  }
};

// Decodes the reply with `decode`, a function from text to the decoded value.
template <typename Decode>
void BM_DecodeReply(benchmark::State& state, Decode decode) {
  const std::string& text = reply();
  keel::ObjectFactory::installFactory(std::make_shared<ShellFactory>());
  std::size_t taken = 0;
  for (auto _ : state) {
    const std::size_t before = allocations;
    {
      auto v = decode(text);
      benchmark::DoNotOptimize(v);
    }
    taken += allocations - before;
  }
  keel::ObjectFactory::installFactory(nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
  state.counters["allocs/object"] = static_cast<double>(taken) / static_cast<double>(state.iterations()) / kObjects;
}
BENCHMARK_CAPTURE(BM_DecodeReply, text_to_values,
                  [](const std::string& text) { return keel::JSONSerialization::JSONObjectFromString(text); })
    ->Unit(benchmark::kMillisecond);
// The reply as a query hands it on: special values decoded, pointers made into shells.
BENCHMARK_CAPTURE(BM_DecodeReply, text_to_decoded_values,
                  [](const std::string& text) {
                    auto values = keel::JSONSerialization::JSONObjectFromString(text);
                    return keel::Decoder::objectDecoder()->decodeObject(*values);
                  })
    ->Unit(benchmark::kMillisecond);
// What the decoding is measured against.
BENCHMARK_CAPTURE(BM_DecodeReply, boost_document, [](const std::string& text) { return boost::json::parse(text); })
    ->Unit(benchmark::kMillisecond);

void BM_WriteReply(benchmark::State& state) {
  const keel::Value values = *keel::JSONSerialization::JSONObjectFromString(reply());
  for (auto _ : state) {
    auto out = keel::JSONSerialization::stringFromJSONObject(values);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_WriteReply)->Unit(benchmark::kMillisecond);

// keel-server writes its replies and stored documents from Boost.JSON documents.
void BM_WriteBoostDocument(benchmark::State& state) {
  const boost::json::value document = boost::json::parse(reply());
  for (auto _ : state) {
    auto out = keel::JSONSerialization::stringFromBoost(document);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_WriteBoostDocument)->Unit(benchmark::kMillisecond);

// What both writers are measured against.
void BM_BoostSerializer(benchmark::State& state) {
  const boost::json::value document = boost::json::parse(reply());
  for (auto _ : state) {
    auto out = boost::json::serialize(document);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_BoostSerializer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
