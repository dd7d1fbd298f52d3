#include <keel/objects/RESTQueryCommand.h>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/Query.h>

namespace keel {

namespace {

std::string joined(const std::set<std::string>& keys) {
  std::string out;
  for (const auto& k : keys) {
    if (!out.empty()) out += ',';
    out += k;
  }
  return out;
}

Dictionary encodeConditions(const Dictionary& conditions);

// Queries nest through their operands; a query placed inside itself would nest forever.
constexpr int kMaxNestedQueries = 32;
thread_local int nestedQueries = 0;

struct NestingGuard {
  NestingGuard() {
    if (++nestedQueries > kMaxNestedQueries) {
      --nestedQueries;
      throw InvalidArgumentException(
          formatMessage("Queries are nested more than %d deep; is a query inside itself?", kMaxNestedQueries));
    }
  }
  ~NestingGuard() { --nestedQueries; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
};

// Returns `value` with every query inside replaced by its find parameters and "className", the
// form the server reads for $inQuery and $select.
Value replacingQueries(const Value& value) {
  if (auto query = value.as<Query>()) {
    NestingGuard guard;
    QueryStatePtr state = query->state();
    checkQueryClassName(state->className());
    Dictionary parameters = RESTQueryCommand::findCommandParametersForQueryState(*state);
    parameters.set("className", Value(state->className()));
    return Value(std::move(parameters));
  }
  if (value.isDictionary()) {
    Dictionary out;
    out.reserve(value.dictionaryValue().size());
    for (const auto& [k, v] : value.dictionaryValue()) out.set(k, replacingQueries(v));
    return Value(std::move(out));
  }
  if (value.isArray()) {
    Array out;
    out.reserve(value.arrayValue().size());
    for (const auto& v : value.arrayValue()) out.push_back(replacingQueries(v));
    return Value(std::move(out));
  }
  return value;
}

Value encodeOrSubqueries(const Value& subqueries) {
  Array wheres;
  for (const auto& element : subqueries.arrayValue()) {
    auto query = element.as<Query>();
    parameterAssert(query != nullptr, "All elements should be instances of `Query` class.");
    NestingGuard guard;
    QueryStatePtr state = query->state();
    parameterAssert(state->limit() < 0, "OR queries do not support sub queries with limits");
    parameterAssert(state->skip() == 0, "OR queries do not support sub queries with skip");
    parameterAssert(state->sortKeys().empty(), "OR queries do not support sub queries with order");
    parameterAssert(state->includedKeys().empty(), "OR queries do not support sub-queries with includes");
    parameterAssert(!state->selectedKeys(), "OR queries do not support sub-queries with selectKeys");
    // The subquery's own "where" goes in whole, so nothing but its conditions can reach the
    // server: no limit, no order, no extra options.
    wheres.push_back(Value(encodeConditions(state->conditions())));
  }
  return Value(std::move(wheres));
}

Dictionary encodeConditions(const Dictionary& conditions) {
  Dictionary out;
  out.reserve(conditions.size());
  for (const auto& [key, condition] : conditions) {
    if (key == "$or") {
      out.set(key, encodeOrSubqueries(condition));
    } else {
      out.set(key, PointerObjectEncoder::objectEncoder()->encodeObject(replacingQueries(condition)));
    }
  }
  return out;
}

}  // namespace

Dictionary RESTQueryCommand::findCommandParametersWithOrder(const std::string& order, const Dictionary& conditions,
                                                            const std::optional<std::set<std::string>>& selectedKeys,
                                                            const std::set<std::string>& includedKeys,
                                                            std::int64_t limit, std::int64_t skip,
                                                            const Dictionary& extraOptions, bool tracingEnabled) {
  Dictionary parameters;
  if (!order.empty()) parameters.set("order", Value(order));
  if (selectedKeys) parameters.set("keys", Value(joined(*selectedKeys)));
  if (!includedKeys.empty()) parameters.set("include", Value(joined(includedKeys)));
  // Written in 64 bits: a limit of 2^32 must not reach the server as "0".
  if (limit >= 0) parameters.set("limit", Value(std::to_string(limit)));
  if (skip >= 1) parameters.set("skip", Value(std::to_string(skip)));
  if (tracingEnabled) parameters.set("trace", Value("1"));
  for (const auto& [k, v] : extraOptions) parameters.set(k, v);
  if (!conditions.empty()) parameters.set("where", Value(encodeConditions(conditions)));
  return parameters;
}

Dictionary RESTQueryCommand::findCommandParametersForQueryState(const QueryState& state) {
  return findCommandParametersWithOrder(state.sortOrderString(), state.conditions(), state.selectedKeys(),
                                        state.includedKeys(), state.limit(), state.skip(), state.extraOptions(),
                                        state.trace());
}

std::shared_ptr<RESTQueryCommand> RESTQueryCommand::findCommandForQueryState(const QueryState& state,
                                                                            std::optional<std::string> sessionToken) {
  checkQueryClassName(state.className());
  return commandWithHTTPPath<RESTQueryCommand>("classes/" + state.className(), "GET",
                                               findCommandParametersForQueryState(state), std::nullopt,
                                               std::move(sessionToken));
}

std::shared_ptr<RESTQueryCommand> RESTQueryCommand::countCommandFromFindCommand(const RESTCommand& findCommand) {
  Dictionary parameters = findCommand.parameters().value_or(Dictionary{});
  parameters.set("count", Value("1"));
  parameters.set("limit", Value("0"));
  parameters.remove("skip");
  return commandWithHTTPPath<RESTQueryCommand>(findCommand.httpPath(), findCommand.httpMethod(), std::move(parameters),
                                               std::nullopt, findCommand.sessionToken());
}

}  // namespace keel
