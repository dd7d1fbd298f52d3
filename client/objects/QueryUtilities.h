// QueryUtilities: helpers of the query builders — the literal form of a text inside a regular
// expression, and the normal form of a predicate that Query maps onto its builders.
//
// Normal form: no NOT left where a comparison can be inverted instead, BETWEEN written as >= and
// <=, key paths on the left, then an OR of ANDs of comparisons with the comparisons every term
// shares pulled in front: AND(common..., OR(term...)). The OR may have at most four terms (a
// query's or-subqueries are each a separate scan on the server).
//
// Bringing a predicate to an OR of ANDs multiplies terms — (a OR b) AND (c OR d) AND ... doubles
// with every factor — so the expansion stops as soon as it holds more terms than kMaxTerms
// ever needed to reach a result of four, and reports the query as too complex instead of
// spending exponential time and memory.
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <string>

#include <keel/objects/Predicate.h>

namespace keel {

class QueryUtilities {
 public:
  // The most OR terms a normalised predicate may have.
  static constexpr std::size_t kMaxOrTerms = 4;
  // The most terms the expansion holds at any step; beyond this it gives up.
  static constexpr std::size_t kMaxTerms = 64;
  // The most comparisons and the deepest nesting a predicate may have: the steps compare terms
  // pairwise and recurse over the tree, so both stay bounded whatever the caller builds.
  static constexpr std::size_t kMaxComparisons = 512;
  static constexpr std::size_t kMaxDepth = 256;

  // Returns `text` quoted so that a regular expression matches it literally: "\Q" + text +
  // "\E", with every "\E" inside written as "\E\\E\Q".
  static std::string regexStringForString(const std::string& text);

  // Returns the normal form of `predicate` (see the file comment). Throws
  // InvalidArgumentException "This query is too complex. It had an OR with >4 subpredicates
  // after normalization." when the OR would have more terms (or the expansion more than
  // kMaxTerms, the tree more than kMaxComparisons or kMaxDepth), and "This predicate must have a key
  // path and a constant. %@" for a BETWEEN without a key path and a two-element array.
  static PredicatePtr normalizedPredicate(const PredicatePtr& predicate);

  // The steps of normalizedPredicate, each usable alone.
  static PredicatePtr removeNegation(const PredicatePtr& predicate);
  static PredicatePtr expandBetween(const PredicatePtr& predicate);
  static PredicatePtr keyPathsFirst(const PredicatePtr& predicate);
  // Returns the OR of ANDs, terms holding another term dropped, the shared part hoisted.
  static PredicatePtr disjunctiveNormalForm(const PredicatePtr& predicate);
};

}  // namespace keel
