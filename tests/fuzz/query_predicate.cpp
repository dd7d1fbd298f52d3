// Fuzz target: predicate text (+ arguments) -> Predicate -> Query -> find parameters.
//
// Input: the first line is the format; every further line is one argument, read as JSON text
// when it is JSON and as a plain string otherwise (so "%@" and "%K" get strings, numbers, arrays
// and dictionaries).
//
// For any input:
//  - parsing throws nothing but InvalidArgumentException "Unable to parse the format string ...";
//  - parsing the same input twice gives equal predicates, and a parsed predicate describes
//    itself;
//  - turning it into a query throws nothing but InvalidArgumentException (predicates a query
//    cannot express are refused with a reason, never crash or hang);
//  - a query that is made has find parameters that are JSON text and read back equal, with at
//    most four or-subqueries; parameters that cannot be JSON text (a string that is not UTF-8)
//    make the query refuse to run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/objects/Predicate.h>
#include <keel/objects/Query.h>
#include <keel/objects/QueryUtilities.h>
#include <keel/objects/RESTQueryCommand.h>

namespace {

using keel::Value;

[[noreturn]] void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "query_predicate: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size()), input.data());
  std::abort();
}

std::vector<Value> argumentsOf(std::string_view rest) {
  std::vector<Value> arguments;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (auto json = keel::JSONSerialization::JSONObjectFromString(line)) {
      arguments.push_back(*json);
    } else {
      arguments.push_back(Value(std::string(line)));
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return arguments;
}

keel::PredicatePtr parse(std::string_view format, const std::vector<Value>& arguments, std::string_view input) {
  try {
    return keel::Predicate::predicateWithFormat(format, arguments);
  } catch (const keel::InvalidArgumentException& e) {
    if (e.reason().rfind("Unable to parse the format string ", 0) != 0) fail("unexpected refusal " + e.reason(), input);
    return nullptr;
  } catch (const std::exception& e) {
    fail(std::string("parsing threw ") + e.what(), input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keel::Logger::sharedLogger().setLogLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  std::string_view format = input.substr(0, newline);
  std::vector<Value> arguments =
      newline == std::string_view::npos ? std::vector<Value>{} : argumentsOf(input.substr(newline + 1));

  keel::PredicatePtr predicate = parse(format, arguments, input);
  if (!predicate) return 0;
  keel::PredicatePtr again = parse(format, arguments, input);
  if (!again || !predicate->isEqual(*again)) fail("parsing twice gave different predicates", input);
  if (predicate->description().empty()) fail("a predicate without a description", input);

  keel::QueryPtr query;
  try {
    query = keel::Query::queryWithClassNamePredicate("Video", predicate);
  } catch (const keel::InvalidArgumentException&) {
    return 0;
  } catch (const std::exception& e) {
    fail(std::string("making the query threw ") + e.what(), input);
  }

  Value parameters;
  try {
    parameters = Value(keel::RESTQueryCommand::findCommandParametersForQueryState(*query->state()));
  } catch (const keel::InvalidArgumentException&) {
    // An operand the encoder refuses is refused here, before anything runs.
    return 0;
  } catch (const std::exception& e) {
    fail(std::string("building the parameters threw ") + e.what(), input);
  }
  std::string text;
  try {
    text = keel::JSONSerialization::stringFromJSONObject(parameters);
  } catch (const keel::InvalidArgumentException&) {
    // Text that cannot be sent (not UTF-8) must be refused before the query runs.
    try {
      query->_beginRun();
    } catch (const keel::InvalidArgumentException&) {
      return 0;
    }
    fail("a query whose parameters are not JSON text was allowed to run", input);
  }
  auto back = keel::JSONSerialization::JSONObjectFromString(text);
  if (!back || !(*back == parameters)) fail("the parameters do not survive JSON text: " + text, input);
  const Value& orTerms = parameters.get("where").get("$or");
  if (orTerms.arrayValue().size() > keel::QueryUtilities::kMaxOrTerms) fail("more than four or-subqueries", input);
  return 0;
}
