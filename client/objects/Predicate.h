// Predicate: a filter written as text, parsed into a tree that Query maps onto its builders.
//
//   Predicate::predicateWithFormat("Mins >= %@ AND Type IN %@", {Value(10), Value(Array{"Relax"})})
//
// Grammar (keywords are case-insensitive):
//
//   predicate  := or
//   or         := and { ("OR" | "||") and }
//   and        := not { ("AND" | "&&") not }
//   not        := ("NOT" | "!") not | "(" predicate ")" | "TRUEPREDICATE" | "FALSEPREDICATE"
//               | comparison
//   comparison := [ "ANY" | "SOME" | "ALL" | "NONE" ] expression operator expression
//   operator   := ("=" | "==" | "!=" | "<>" | "<" | "<=" | "=<" | ">" | ">=" | "=>"
//                  | "IN" | "NOT" "IN" | "BETWEEN" | "BEGINSWITH" | "ENDSWITH" | "CONTAINS"
//                  | "LIKE" | "MATCHES") [ "[" options "]" ]      options: letters c, d, n
//   expression := keypath | "%K" | "%@" | string | number | "TRUE" | "YES" | "FALSE" | "NO"
//               | "NULL" | "NIL" | "SELF" | "{" [ expression { "," expression } ] "}"
//   keypath    := name { "." name }      name: [A-Za-z_][A-Za-z0-9_]*, or "#" + a keyword
//   string     := '...' | "..."          escapes \\ \' \" \n \t \r \0 \uXXXX
//   number     := [-] digits [ "." digits ] [ ("e" | "E") [+-] digits ]
//
// "%@" takes the next argument as a constant (any Value: a string, number, date, array, object,
// geo point or query) and "%K" the next argument, which must be a key path as the grammar writes
// one (so an argument cannot name an operator such as "$or"). Arguments are never turned into text: a string argument holding quotes or
// keywords stays one constant. The format must use every argument exactly once.
//
// Limits: a format of at most 64 KiB, nesting (parentheses, NOT, arrays) at most 64 deep. Input
// beyond them is refused, never followed into deep recursion.
//
// Thread-safety: predicates are immutable once built; share them freely (PredicatePtr).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <keel/base/Value.h>

namespace keel {

class Predicate;
using PredicatePtr = std::shared_ptr<const Predicate>;

// One side of a comparison.
class PredicateExpression {
 public:
  enum class Kind { KeyPath, Constant, Evaluated };

  static PredicateExpression keyPath(std::string keyPath);
  static PredicateExpression constant(Value value);
  // Anything a query cannot read as a key path or a constant (SELF, functions).
  static PredicateExpression evaluated(std::string text);

  Kind kind() const { return kind_; }
  const std::string& keyPathValue() const { return text_; }
  const Value& constantValue() const { return constant_; }
  bool operator==(const PredicateExpression& other) const;
  std::string description() const;

 private:
  Kind kind_ = Kind::Constant;
  std::string text_;
  Value constant_;
};

class Predicate {
 public:
  enum class Type { Comparison, And, Or, Not, True, False };
  // Operator numbers appear in messages ("This comparison predicate is not supported. (%zd)").
  enum class Operator : int {
    LessThan = 0,
    LessThanOrEqualTo = 1,
    GreaterThan = 2,
    GreaterThanOrEqualTo = 3,
    EqualTo = 4,
    NotEqualTo = 5,
    Matches = 6,
    Like = 7,
    BeginsWith = 8,
    EndsWith = 9,
    In = 10,
    CustomSelector = 11,
    Contains = 99,
    Between = 100,
  };
  enum class Modifier : int { Direct = 0, All = 1, Any = 2 };
  // Comparison options ([c], [d], [n]).
  enum Options : unsigned { kNoOptions = 0, kCaseInsensitive = 1, kDiacriticInsensitive = 2, kNormalized = 4 };

  // The selector of the "NOT IN" comparison ("key NOT IN %@").
  static constexpr const char* kNotContainedInSelector = "notContainedIn:";

  // Parses `format`. Throws InvalidArgumentException "Unable to parse the format string
  // \"%@\": %@ (at offset %zd)" for text outside the grammar, an argument of the wrong kind, or
  // a count of arguments that does not match the format.
  static PredicatePtr predicateWithFormat(std::string_view format, const std::vector<Value>& arguments = {});

  static PredicatePtr comparison(PredicateExpression left, Operator op, PredicateExpression right,
                                 Modifier modifier = Modifier::Direct, unsigned options = kNoOptions);
  static PredicatePtr customSelectorComparison(PredicateExpression left, std::string selector,
                                               PredicateExpression right);
  static PredicatePtr andPredicate(std::vector<PredicatePtr> subpredicates);
  static PredicatePtr orPredicate(std::vector<PredicatePtr> subpredicates);
  static PredicatePtr notPredicate(PredicatePtr subpredicate);
  static PredicatePtr truePredicate();
  static PredicatePtr falsePredicate();

  Type type() const { return type_; }
  // Comparison parts. REQUIRES: type() == Comparison.
  const PredicateExpression& left() const { return left_; }
  const PredicateExpression& right() const { return right_; }
  Operator op() const { return op_; }
  Modifier modifier() const { return modifier_; }
  unsigned options() const { return options_; }
  const std::string& customSelector() const { return selector_; }
  // And, Or: the terms; Not: the one negated predicate.
  const std::vector<PredicatePtr>& subpredicates() const { return subpredicates_; }

  // Structural equality: same shape, operators and expressions (constants compare as values).
  bool isEqual(const Predicate& other) const;
  // Returns the predicate as format text, constants shown with their descriptions.
  std::string description() const;

  // The limits of the parser; see the file comment.
  static constexpr std::size_t kMaxFormatLength = 64 * 1024;
  static constexpr int kMaxNestingDepth = 64;

  Predicate() = default;
  Predicate(const Predicate&) = delete;
  Predicate& operator=(const Predicate&) = delete;
  // Releases the tree without recursion: a predicate built in code may be deeper than the
  // stack.
  ~Predicate();

 private:
  static PredicatePtr compound(Type type, std::vector<PredicatePtr> subpredicates);

  Type type_ = Type::True;
  PredicateExpression left_;
  PredicateExpression right_;
  Operator op_ = Operator::EqualTo;
  Modifier modifier_ = Modifier::Direct;
  unsigned options_ = kNoOptions;
  std::string selector_;
  std::vector<PredicatePtr> subpredicates_;
};

}  // namespace keel
