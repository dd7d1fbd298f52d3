#include <keel/objects/QueryUtilities.h>

#include <algorithm>
#include <iterator>
#include <set>
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
//
// Literals (comparisons, negated comparisons, TRUE/FALSE) are interned once, so that terms are
// sorted lists of small ids: merging, comparing and testing containment are linear merges, not
// pairwise predicate comparisons.

using Term = std::vector<int>;  // sorted, without repeats

class Literals {
 public:
  int idOf(const PredicatePtr& p) {
    for (std::size_t i = 0; i < all_.size(); ++i) {
      if (all_[i]->isEqual(*p)) return static_cast<int>(i);
    }
    all_.push_back(p);
    return static_cast<int>(all_.size() - 1);
  }
  const PredicatePtr& operator[](int id) const { return all_[static_cast<std::size_t>(id)]; }

 private:
  std::vector<PredicatePtr> all_;
};

// Collects distinct terms in first-seen order; throws once there are more than any
// normalisation needs.
class TermList {
 public:
  void add(Term term) {
    if (!seen_.insert(term).second) return;
    terms_.push_back(std::move(term));
    if (terms_.size() > QueryUtilities::kMaxTerms) throw InvalidArgumentException(kTooComplex);
  }
  std::vector<Term> take() { return std::move(terms_); }

 private:
  std::set<Term> seen_;
  std::vector<Term> terms_;
};

// Drops every term that holds another term: a OR (a AND b) is a.
void absorb(std::vector<Term>& terms) {
  std::vector<bool> absorbed(terms.size(), false);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    for (std::size_t j = 0; j < terms.size() && !absorbed[i]; ++j) {
      // Terms are distinct, so a term of the same size never holds another.
      absorbed[i] = terms[j].size() < terms[i].size() &&
                    std::includes(terms[i].begin(), terms[i].end(), terms[j].begin(), terms[j].end());
    }
  }
  std::vector<Term> kept;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (!absorbed[i]) kept.push_back(std::move(terms[i]));
  }
  terms = std::move(kept);
}

std::vector<Term> toTerms(const PredicatePtr& p, Literals& literals) {
  std::vector<Term> out;
  switch (p->type()) {
    case Type::Or: {
      TermList list;
      for (const auto& s : p->subpredicates()) {
        for (auto& t : toTerms(s, literals)) list.add(std::move(t));
      }
      out = list.take();
      break;
    }
    case Type::And: {
      out.push_back({});
      for (const auto& s : p->subpredicates()) {
        const std::vector<Term> factor = toTerms(s, literals);
        TermList product;
        for (const auto& a : out) {
          for (const auto& b : factor) {
            Term t;
            t.reserve(a.size() + b.size());
            std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(t));
            product.add(std::move(t));
          }
        }
        out = product.take();
      }
      break;
    }
    default:
      out.push_back({literals.idOf(p)});
      break;
  }
  absorb(out);
  return out;
}

PredicatePtr fromTerm(const Term& term, const Literals& literals) {
  if (term.size() == 1) return literals[term[0]];
  std::vector<PredicatePtr> subs;
  for (int id : term) subs.push_back(literals[id]);
  return Predicate::andPredicate(std::move(subs));
}

// Returns the OR of `terms`, with the literals every term shares pulled in front:
// AND(common..., OR(rest...)).
PredicatePtr hoisted(const std::vector<Term>& terms, const Literals& literals) {
  // Every leaf makes one term and a product of non-empty factors is not empty.
  if (terms.size() == 1) return fromTerm(terms[0], literals);
  Term common = terms[0];
  for (const auto& t : terms) {
    Term both;
    std::set_intersection(common.begin(), common.end(), t.begin(), t.end(), std::back_inserter(both));
    common = std::move(both);
  }
  std::vector<PredicatePtr> rest;
  for (const auto& t : terms) {
    Term left;
    std::set_difference(t.begin(), t.end(), common.begin(), common.end(), std::back_inserter(left));
    // Absorption removed every term that holds another, so no term is the common part alone.
    rest.push_back(fromTerm(left, literals));
  }
  PredicatePtr either = Predicate::orPredicate(std::move(rest));
  if (common.empty()) return either;
  std::vector<PredicatePtr> out;
  for (int id : common) out.push_back(literals[id]);
  out.push_back(either);
  return Predicate::andPredicate(std::move(out));
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
  Literals literals;
  return hoisted(toTerms(p, literals), literals);
}

PredicatePtr QueryUtilities::normalizedPredicate(const PredicatePtr& predicate) {
  parameterAssert(predicate != nullptr, "A query needs a predicate.");
  checkSize(predicate);
  PredicatePtr p = expandBetween(predicate);
  p = removeNegation(p);
  p = keyPathsFirst(p);
  p = disjunctiveNormalForm(p);
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
