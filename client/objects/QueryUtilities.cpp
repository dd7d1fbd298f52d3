#include <keel/objects/QueryUtilities.h>

#include <algorithm>
#include <optional>
#include <vector>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>

namespace keel {

namespace {

using Type = Predicate::Type;
using Op = Predicate::Operator;
using Kind = PredicateExpression::Kind;

constexpr const char* kTooComplex =
    "This query is too complex. It had an OR with >4 subpredicates after normalization.";

// Returns the children of `p` passed through `f`, or no change when none changed.
template <typename F>
PredicatePtr mapChildren(const PredicatePtr& p, F&& f) {
  if (p->type() != Type::And && p->type() != Type::Or) return p;
  std::vector<PredicatePtr> subs;
  subs.reserve(p->subpredicates().size());
  bool changed = false;
  for (const auto& s : p->subpredicates()) {
    subs.push_back(f(s));
    changed = changed || subs.back() != s;
  }
  if (!changed) return p;
  return p->type() == Type::And ? Predicate::andPredicate(std::move(subs)) : Predicate::orPredicate(std::move(subs));
}

std::optional<Op> inverse(Op op) {
  switch (op) {
    case Op::LessThan: return Op::GreaterThanOrEqualTo;
    case Op::LessThanOrEqualTo: return Op::GreaterThan;
    case Op::GreaterThan: return Op::LessThanOrEqualTo;
    case Op::GreaterThanOrEqualTo: return Op::LessThan;
    case Op::EqualTo: return Op::NotEqualTo;
    case Op::NotEqualTo: return Op::EqualTo;
    default: return std::nullopt;
  }
}

std::optional<Op> mirrored(Op op) {
  switch (op) {
    case Op::LessThan: return Op::GreaterThan;
    case Op::LessThanOrEqualTo: return Op::GreaterThanOrEqualTo;
    case Op::GreaterThan: return Op::LessThan;
    case Op::GreaterThanOrEqualTo: return Op::LessThanOrEqualTo;
    case Op::EqualTo: return Op::EqualTo;
    case Op::NotEqualTo: return Op::NotEqualTo;
    default: return std::nullopt;
  }
}

PredicatePtr negated(const PredicatePtr& p) {
  switch (p->type()) {
    case Type::Not:
      return QueryUtilities::removeNegation(p->subpredicates()[0]);
    case Type::And:
    case Type::Or: {
      std::vector<PredicatePtr> subs;
      for (const auto& s : p->subpredicates()) subs.push_back(negated(s));
      return p->type() == Type::And ? Predicate::orPredicate(std::move(subs)) : Predicate::andPredicate(std::move(subs));
    }
    case Type::True:
      return Predicate::falsePredicate();
    case Type::False:
      return Predicate::truePredicate();
    case Type::Comparison:
      break;
  }
  // Only a plain comparison has an exact opposite: NOT (ANY tags = 1) is not ANY tags != 1.
  if (p->modifier() == Predicate::Modifier::Direct) {
    if (p->op() == Op::In) {
      return Predicate::customSelectorComparison(p->left(), Predicate::kNotContainedInSelector, p->right());
    }
    if (p->op() == Op::CustomSelector && p->customSelector() == Predicate::kNotContainedInSelector) {
      return Predicate::comparison(p->left(), Op::In, p->right());
    }
    if (auto op = inverse(p->op())) return Predicate::comparison(p->left(), *op, p->right(), p->modifier(), p->options());
  }
  return Predicate::notPredicate(p);
}

// ---- Disjunctive normal form: an OR of terms, each an AND of literals -------------------------

using Term = std::vector<PredicatePtr>;

bool contains(const Term& term, const PredicatePtr& literal) {
  return std::any_of(term.begin(), term.end(), [&](const PredicatePtr& l) { return l->isEqual(*literal); });
}

// Returns true iff every literal of `a` is in `b`.
bool isSubset(const Term& a, const Term& b) {
  return std::all_of(a.begin(), a.end(), [&](const PredicatePtr& l) { return contains(b, l); });
}

void addLiteral(Term& term, const PredicatePtr& literal) {
  if (!contains(term, literal)) term.push_back(literal);
}

// Adds `term` unless an equal one is there; throws once the OR holds more terms than any
// normalisation needs.
void addTerm(std::vector<Term>& terms, Term term) {
  for (const auto& t : terms) {
    if (t.size() == term.size() && isSubset(t, term)) return;
  }
  terms.push_back(std::move(term));
  if (terms.size() > QueryUtilities::kMaxTerms) throw InvalidArgumentException(kTooComplex);
}

// Drops every term that holds another term: a OR (a AND b) is a.
void absorb(std::vector<Term>& terms) {
  std::vector<bool> absorbed(terms.size(), false);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    for (std::size_t j = 0; j < terms.size() && !absorbed[i]; ++j) {
      // Equal terms were merged already; of two equal-sized terms neither absorbs the other.
      absorbed[i] = i != j && terms[j].size() < terms[i].size() && isSubset(terms[j], terms[i]);
    }
  }
  std::vector<Term> kept;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (!absorbed[i]) kept.push_back(std::move(terms[i]));
  }
  terms = std::move(kept);
}

std::vector<Term> toTerms(const PredicatePtr& p) {
  std::vector<Term> out;
  switch (p->type()) {
    case Type::Or:
      for (const auto& s : p->subpredicates()) {
        for (auto& t : toTerms(s)) addTerm(out, std::move(t));
      }
      break;
    case Type::And: {
      out.push_back({});
      for (const auto& s : p->subpredicates()) {
        std::vector<Term> factor = toTerms(s);
        std::vector<Term> product;
        for (const auto& a : out) {
          for (const auto& b : factor) {
            Term t = a;
            for (const auto& l : b) addLiteral(t, l);
            addTerm(product, std::move(t));
          }
        }
        out = std::move(product);
      }
      break;
    }
    default:
      out.push_back({p});
      break;
  }
  absorb(out);
  return out;
}

// Walks the tree without recursion, so that a predicate built in code, however deep, is
// measured before the recursive steps run on it.
void checkSize(const PredicatePtr& root) {
  std::vector<std::pair<const Predicate*, std::size_t>> stack{{root.get(), 1}};
  std::size_t comparisons = 0;
  while (!stack.empty()) {
    auto [p, depth] = stack.back();
    stack.pop_back();
    if (depth > QueryUtilities::kMaxDepth) {
      throw InvalidArgumentException(
          formatMessage("This query is too complex. It nests more than %zu levels.", QueryUtilities::kMaxDepth));
    }
    if (p->type() == Type::Comparison && ++comparisons > QueryUtilities::kMaxComparisons) {
      throw InvalidArgumentException(formatMessage("This query is too complex. It has more than %zu comparisons.",
                                                   QueryUtilities::kMaxComparisons));
    }
    for (const auto& s : p->subpredicates()) stack.emplace_back(s.get(), depth + 1);
  }
}

PredicatePtr fromTerm(const Term& term) {
  return term.size() == 1 ? term[0] : Predicate::andPredicate(term);
}

}  // namespace

std::string QueryUtilities::regexStringForString(const std::string& text) {
  std::string out = "\\Q";
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find("\\E", start);
    if (at == std::string::npos) break;
    out.append(text, start, at - start);
    out += "\\E\\\\E\\Q";
    start = at + 2;
  }
  out.append(text, start, std::string::npos);
  return out + "\\E";
}

PredicatePtr QueryUtilities::removeNegation(const PredicatePtr& p) {
  if (p->type() == Type::Not) return negated(p->subpredicates()[0]);
  return mapChildren(p, [](const PredicatePtr& s) { return removeNegation(s); });
}

PredicatePtr QueryUtilities::expandBetween(const PredicatePtr& p) {
  if (p->type() == Type::Not) return Predicate::notPredicate(expandBetween(p->subpredicates()[0]));
  if (p->type() != Type::Comparison) return mapChildren(p, [](const PredicatePtr& s) { return expandBetween(s); });
  if (p->op() != Op::Between) return p;
  const bool valid = p->left().kind() == Kind::KeyPath && p->right().kind() == Kind::Constant &&
                     p->right().constantValue().isArray() && p->right().constantValue().arrayValue().size() == 2;
  parameterAssert(valid, "This predicate must have a key path and a constant. %@", p->description());
  const Array& bounds = p->right().constantValue().arrayValue();
  return Predicate::andPredicate(
      {Predicate::comparison(p->left(), Op::GreaterThanOrEqualTo, PredicateExpression::constant(bounds[0]),
                             p->modifier(), p->options()),
       Predicate::comparison(p->left(), Op::LessThanOrEqualTo, PredicateExpression::constant(bounds[1]),
                             p->modifier(), p->options())});
}

PredicatePtr QueryUtilities::keyPathsFirst(const PredicatePtr& p) {
  if (p->type() == Type::Not) return Predicate::notPredicate(keyPathsFirst(p->subpredicates()[0]));
  if (p->type() != Type::Comparison) return mapChildren(p, [](const PredicatePtr& s) { return keyPathsFirst(s); });
  if (p->left().kind() != Kind::Constant || p->right().kind() != Kind::KeyPath) return p;
  auto op = p->op() == Op::CustomSelector ? std::nullopt : mirrored(p->op());
  if (!op) return p;
  return Predicate::comparison(p->right(), *op, p->left(), p->modifier(), p->options());
}

PredicatePtr QueryUtilities::disjunctiveNormalForm(const PredicatePtr& p) {
  std::vector<Term> terms = toTerms(p);
  // An OR of no terms cannot come from a predicate: every leaf makes one term and a product of
  // non-empty factors is not empty.
  if (terms.size() == 1) return fromTerm(terms[0]);
  std::vector<PredicatePtr> subs;
  for (const auto& t : terms) subs.push_back(fromTerm(t));
  return Predicate::orPredicate(std::move(subs));
}

PredicatePtr QueryUtilities::hoistCommonTerms(const PredicatePtr& p) {
  if (p->type() != Type::Or) return p;
  std::vector<Term> terms;
  for (const auto& s : p->subpredicates()) {
    terms.push_back(s->type() == Type::And ? s->subpredicates() : Term{s});
  }
  Term common;
  for (const auto& l : terms[0]) {
    const bool everywhere =
        std::all_of(terms.begin() + 1, terms.end(), [&](const Term& t) { return contains(t, l); });
    if (everywhere) addLiteral(common, l);
  }
  if (common.empty()) return p;
  std::vector<PredicatePtr> rest;
  for (const auto& t : terms) {
    Term left;
    for (const auto& l : t) {
      if (!contains(common, l)) left.push_back(l);
    }
    // (c AND x) OR c is c: one term with nothing beyond the common part makes the rest moot.
    if (left.empty()) return fromTerm(common);
    rest.push_back(fromTerm(left));
  }
  Term out = common;
  out.push_back(Predicate::orPredicate(std::move(rest)));
  return Predicate::andPredicate(std::move(out));
}

PredicatePtr QueryUtilities::normalizedPredicate(const PredicatePtr& predicate) {
  parameterAssert(predicate != nullptr, "A query needs a predicate.");
  checkSize(predicate);
  PredicatePtr p = expandBetween(predicate);
  p = removeNegation(p);
  p = keyPathsFirst(p);
  p = disjunctiveNormalForm(p);
  p = hoistCommonTerms(p);
  const PredicatePtr* orNode = nullptr;
  if (p->type() == Type::Or) orNode = &p;
  if (p->type() == Type::And) {
    for (const auto& s : p->subpredicates()) {
      if (s->type() == Type::Or) orNode = &s;
    }
  }
  if (orNode && (*orNode)->subpredicates().size() > kMaxOrTerms) throw InvalidArgumentException(kTooComplex);
  return p;
}

}  // namespace keel
