#include <keel/objects/Predicate.h>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>

namespace keel {

// ---- Expressions -----------------------------------------------------------------------------

PredicateExpression PredicateExpression::keyPath(std::string keyPath) {
  PredicateExpression e;
  e.kind_ = Kind::KeyPath;
  e.text_ = std::move(keyPath);
  return e;
}

PredicateExpression PredicateExpression::constant(Value value) {
  PredicateExpression e;
  e.kind_ = Kind::Constant;
  e.constant_ = std::move(value);
  return e;
}

PredicateExpression PredicateExpression::evaluated(std::string text) {
  PredicateExpression e;
  e.kind_ = Kind::Evaluated;
  e.text_ = std::move(text);
  return e;
}

bool PredicateExpression::operator==(const PredicateExpression& o) const {
  if (kind_ != o.kind_) return false;
  return kind_ == Kind::Constant ? constant_ == o.constant_ : text_ == o.text_;
}

std::string PredicateExpression::description() const {
  switch (kind_) {
    case Kind::KeyPath:
    case Kind::Evaluated:
      return text_;
    case Kind::Constant:
      if (constant_.isString()) return "\"" + constant_.stringValue() + "\"";
      if (constant_.isNull()) return "nil";
      return constant_.description();
  }
  return text_;
}

// ---- Predicates ------------------------------------------------------------------------------

PredicatePtr Predicate::comparison(PredicateExpression left, Operator op, PredicateExpression right,
                                   Modifier modifier, unsigned options) {
  auto p = std::make_shared<Predicate>();
  p->type_ = Type::Comparison;
  p->left_ = std::move(left);
  p->op_ = op;
  p->right_ = std::move(right);
  p->modifier_ = modifier;
  p->options_ = options;
  return p;
}

PredicatePtr Predicate::customSelectorComparison(PredicateExpression left, std::string selector,
                                                 PredicateExpression right) {
  auto p = std::make_shared<Predicate>();
  p->type_ = Type::Comparison;
  p->left_ = std::move(left);
  p->op_ = Operator::CustomSelector;
  p->selector_ = std::move(selector);
  p->right_ = std::move(right);
  return p;
}

PredicatePtr Predicate::andPredicate(std::vector<PredicatePtr> subpredicates) {
  return compound(Type::And, std::move(subpredicates));
}

PredicatePtr Predicate::orPredicate(std::vector<PredicatePtr> subpredicates) {
  return compound(Type::Or, std::move(subpredicates));
}

PredicatePtr Predicate::notPredicate(PredicatePtr subpredicate) {
  return compound(Type::Not, {std::move(subpredicate)});
}

PredicatePtr Predicate::truePredicate() {
  static const PredicatePtr p = compound(Type::True, {});
  return p;
}

PredicatePtr Predicate::falsePredicate() {
  static const PredicatePtr p = compound(Type::False, {});
  return p;
}

Predicate::~Predicate() {
  std::vector<PredicatePtr> pending = std::move(subpredicates_);
  while (!pending.empty()) {
    PredicatePtr p = std::move(pending.back());
    pending.pop_back();
    // Only the last owner takes the children apart; a shared subtree stays whole.
    if (p.use_count() == 1) {
      auto& children = const_cast<Predicate&>(*p).subpredicates_;
      for (auto& child : children) pending.push_back(std::move(child));
      children.clear();
    }
  }
}

bool Predicate::isEqual(const Predicate& o) const {
  if (this == &o) return true;
  if (type_ != o.type_) return false;
  if (type_ == Type::Comparison) {
    return op_ == o.op_ && modifier_ == o.modifier_ && options_ == o.options_ && selector_ == o.selector_ &&
           left_ == o.left_ && right_ == o.right_;
  }
  if (subpredicates_.size() != o.subpredicates_.size()) return false;
  for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
    if (!subpredicates_[i]->isEqual(*o.subpredicates_[i])) return false;
  }
  return true;
}

namespace {

const char* operatorText(Predicate::Operator op) {
  using Op = Predicate::Operator;
  switch (op) {
    case Op::LessThan: return "<";
    case Op::LessThanOrEqualTo: return "<=";
    case Op::GreaterThan: return ">";
    case Op::GreaterThanOrEqualTo: return ">=";
    case Op::EqualTo: return "==";
    case Op::NotEqualTo: return "!=";
    case Op::Matches: return "MATCHES";
    case Op::Like: return "LIKE";
    case Op::BeginsWith: return "BEGINSWITH";
    case Op::EndsWith: return "ENDSWITH";
    case Op::In: return "IN";
    case Op::CustomSelector: return "";
    case Op::Contains: return "CONTAINS";
    case Op::Between: return "BETWEEN";
  }
  return "?";
}

}  // namespace

std::string Predicate::description() const {
  switch (type_) {
    case Type::True: return "TRUEPREDICATE";
    case Type::False: return "FALSEPREDICATE";
    case Type::Not: return "NOT " + subpredicates_[0]->description();
    case Type::And:
    case Type::Or: {
      std::string out = "(";
      for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
        if (i) out += type_ == Type::And ? " AND " : " OR ";
        out += subpredicates_[i]->description();
      }
      return out + ")";
    }
    case Type::Comparison: {
      std::string out;
      if (modifier_ == Modifier::Any) out += "ANY ";
      if (modifier_ == Modifier::All) out += "ALL ";
      out += left_.description();
      if (op_ == Operator::CustomSelector) {
        out += selector_ == kNotContainedInSelector ? " NOT IN " : " " + selector_ + " ";
      } else {
        out += " ";
        out += operatorText(op_);
        if (options_) {
          out += '[';
          if (options_ & kCaseInsensitive) out += 'c';
          if (options_ & kDiacriticInsensitive) out += 'd';
          if (options_ & kNormalized) out += 'n';
          out += ']';
        }
        out += " ";
      }
      return out + right_.description();
    }
  }
  return "";
}

PredicatePtr Predicate::compound(Type type, std::vector<PredicatePtr> subpredicates) {
  for (const auto& sub : subpredicates) parameterAssert(sub != nullptr, "A compound predicate needs its subpredicates.");
  auto p = std::make_shared<Predicate>();
  p->type_ = type;
  p->subpredicates_ = std::move(subpredicates);
  return p;
}

// ---- Parser ----------------------------------------------------------------------------------

namespace {

enum class Tok {
  End, Name, String, Number, Argument, KeyArgument, LParen, RParen, LBrace, RBrace, LBracket, RBracket,
  Comma, Dot, Eq, Ne, Lt, Le, Gt, Ge, Not, And, Or,
};

struct Token {
  Tok kind = Tok::End;
  std::size_t offset = 0;
  std::string text;  // a name as written, or a string's decoded text
  Value number;
};

class Parser {
 public:
  Parser(std::string_view format, const std::vector<Value>& arguments) : text_(format), args_(arguments) {}

  PredicatePtr parse() {
    if (text_.size() > Predicate::kMaxFormatLength) {
      fail(formatMessage("the format is longer than %zu bytes", Predicate::kMaxFormatLength), 0);
    }
    advance();
    PredicatePtr p = parseOr();
    if (tok_.kind != Tok::End) fail("unexpected text after the predicate", tok_.offset);
    if (nextArgument_ != args_.size()) {
      fail(formatMessage("%zu arguments were given and the format uses %zu", args_.size(), nextArgument_),
           text_.size());
    }
    return p;
  }

 private:
  [[noreturn]] void fail(const std::string& why, std::size_t offset) const {
    throw InvalidArgumentException(formatMessage("Unable to parse the format string \"%@\": %@ (at offset %zu)",
                                                 std::string(text_), why, offset));
  }

  // A guard per nesting level: parentheses, NOT and arrays recurse, so the depth is bounded by
  // the input's own nesting, capped here.
  struct Depth {
    explicit Depth(Parser& p) : parser(p) {
      if (++parser.depth_ > Predicate::kMaxNestingDepth) {
        parser.fail(formatMessage("the predicate is nested more than %d levels deep", Predicate::kMaxNestingDepth),
                    parser.tok_.offset);
      }
    }
    ~Depth() { --parser.depth_; }
    Parser& parser;
  };

  // No "$": a key starting with it would read as an operator ("$or", "$relatedTo") on the wire.
  static bool nameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
  static bool nameChar(char c) { return nameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }

  // Returns true iff `text` is names joined with ".", as a key path written in the format is.
  static bool isKeyPath(const std::string& text) {
    bool atStart = true;
    for (char c : text) {
      if (c == '.') {
        if (atStart) return false;
        atStart = true;
      } else if (atStart ? nameStart(c) : nameChar(c)) {
        atStart = false;
      } else {
        return false;
      }
    }
    return !atStart;
  }

  bool isKeyword(const char* word) const {
    if (tok_.kind != Tok::Name || tok_.text.size() != std::char_traits<char>::length(word)) return false;
    for (std::size_t i = 0; i < tok_.text.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(tok_.text[i])) != word[i]) return false;
    }
    return true;
  }

  void advance() {
    std::size_t& i = pos_;
    while (i < text_.size() && std::isspace(static_cast<unsigned char>(text_[i]))) ++i;
    tok_ = Token{};
    tok_.offset = i;
    if (i >= text_.size()) return;
    const char c = text_[i];
    const char n = i + 1 < text_.size() ? text_[i + 1] : '\0';
    auto single = [&](Tok kind, std::size_t length = 1) {
      tok_.kind = kind;
      i += length;
    };
    switch (c) {
      case '(': return single(Tok::LParen);
      case ')': return single(Tok::RParen);
      case '{': return single(Tok::LBrace);
      case '}': return single(Tok::RBrace);
      case '[': return single(Tok::LBracket);
      case ']': return single(Tok::RBracket);
      case ',': return single(Tok::Comma);
      case '.': return single(Tok::Dot);
      case '=':
        if (n == '=') return single(Tok::Eq, 2);
        if (n == '<') return single(Tok::Le, 2);
        if (n == '>') return single(Tok::Ge, 2);
        return single(Tok::Eq);
      case '!':
        if (n == '=') return single(Tok::Ne, 2);
        return single(Tok::Not);
      case '<':
        if (n == '=') return single(Tok::Le, 2);
        if (n == '>') return single(Tok::Ne, 2);
        return single(Tok::Lt);
      case '>':
        if (n == '=') return single(Tok::Ge, 2);
        return single(Tok::Gt);
      case '&':
        if (n == '&') return single(Tok::And, 2);
        fail("a single \"&\"", i);
      case '|':
        if (n == '|') return single(Tok::Or, 2);
        fail("a single \"|\"", i);
      case '%':
        if (n == '@') return single(Tok::Argument, 2);
        if (n == 'K') return single(Tok::KeyArgument, 2);
        fail("only %@ and %K take arguments", i);
      case '\'':
      case '"':
        return lexString(c);
      case '#':
        ++i;
        if (i >= text_.size() || !nameStart(text_[i])) fail("\"#\" must be followed by a name", i);
        [[fallthrough]];
      default:
        break;
    }
    if (nameStart(text_[i])) {
      const std::size_t start = i;
      while (i < text_.size() && nameChar(text_[i])) ++i;
      tok_.kind = Tok::Name;
      tok_.text = std::string(text_.substr(start, i - start));
      // A name escaped with "#" is never a keyword.
      if (start > 0 && text_[start - 1] == '#') tok_.text.insert(0, "#");
      return;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || (c == '-' && std::isdigit(static_cast<unsigned char>(n)))) {
      return lexNumber();
    }
    fail(formatMessage("unexpected character \"%c\"", c), i);
  }

  void lexString(char quote) {
    std::size_t& i = pos_;
    const std::size_t start = i++;
    std::string out;
    while (true) {
      if (i >= text_.size()) fail("a string is not closed", start);
      char c = text_[i++];
      if (c == quote) break;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i >= text_.size()) fail("a string is not closed", start);
      const char e = text_[i++];
      switch (e) {
        case '\\': out += '\\'; break;
        case '\'': out += '\''; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '0': out += '\0'; break;
        case 'u': {
          if (i + 4 > text_.size()) fail("\\u needs four hex digits", i - 2);
          unsigned code = 0;
          auto [end, ec] = std::from_chars(text_.data() + i, text_.data() + i + 4, code, 16);
          if (ec != std::errc() || end != text_.data() + i + 4) fail("\\u needs four hex digits", i - 2);
          if (code >= 0xD800 && code <= 0xDFFF) fail("\\u names a surrogate, not a character", i - 2);
          i += 4;
          appendUtf8(out, code);
          break;
        }
        default:
          fail(formatMessage("unknown escape \"\\%c\"", e), i - 2);
      }
    }
    tok_.kind = Tok::String;
    tok_.text = std::move(out);
  }

  static void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  void lexNumber() {
    std::size_t& i = pos_;
    const std::size_t start = i;
    if (text_[i] == '-') ++i;
    auto digits = [&] {
      const std::size_t from = i;
      while (i < text_.size() && std::isdigit(static_cast<unsigned char>(text_[i]))) ++i;
      return i > from;
    };
    digits();
    bool integral = true;
    // "1.name" is not a number; a fraction needs digits after the point.
    if (i + 1 < text_.size() && text_[i] == '.' && std::isdigit(static_cast<unsigned char>(text_[i + 1]))) {
      ++i;
      digits();
      integral = false;
    }
    if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
      ++i;
      if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
      if (!digits()) fail("an exponent needs digits", start);
      integral = false;
    }
    if (i < text_.size() && nameChar(text_[i])) fail("a number runs into a name", start);
    const char* first = text_.data() + start;
    const char* last = text_.data() + i;
    tok_.kind = Tok::Number;
    if (integral) {
      std::int64_t v = 0;
      auto [end, ec] = std::from_chars(first, last, v);
      if (ec == std::errc() && end == last) {
        tok_.number = Value(static_cast<long long>(v));
        return;
      }
    }
    double d = 0;
    auto [end, ec] = std::from_chars(first, last, d);
    if (ec != std::errc() || end != last) fail("a number is out of range", start);
    tok_.number = Value(d);
  }

  void expect(Tok kind, const char* what) {
    if (tok_.kind != kind) fail(formatMessage("expected %s", what), tok_.offset);
    advance();
  }

  PredicatePtr parseOr() {
    std::vector<PredicatePtr> terms{parseAnd()};
    while (tok_.kind == Tok::Or || isKeyword("OR")) {
      advance();
      terms.push_back(parseAnd());
    }
    return terms.size() == 1 ? terms[0] : Predicate::orPredicate(std::move(terms));
  }

  PredicatePtr parseAnd() {
    std::vector<PredicatePtr> terms{parseNot()};
    while (tok_.kind == Tok::And || isKeyword("AND")) {
      advance();
      terms.push_back(parseNot());
    }
    return terms.size() == 1 ? terms[0] : Predicate::andPredicate(std::move(terms));
  }

  PredicatePtr parseNot() {
    Depth depth(*this);
    if (tok_.kind == Tok::Not || isKeyword("NOT")) {
      advance();
      return Predicate::notPredicate(parseNot());
    }
    if (tok_.kind == Tok::LParen) {
      advance();
      PredicatePtr p = parseOr();
      expect(Tok::RParen, "\")\"");
      return p;
    }
    if (isKeyword("TRUEPREDICATE")) {
      advance();
      return Predicate::truePredicate();
    }
    if (isKeyword("FALSEPREDICATE")) {
      advance();
      return Predicate::falsePredicate();
    }
    return parseComparison();
  }

  PredicatePtr parseComparison() {
    using Op = Predicate::Operator;
    Predicate::Modifier modifier = Predicate::Modifier::Direct;
    bool none = false;
    if (isKeyword("ANY") || isKeyword("SOME")) {
      modifier = Predicate::Modifier::Any;
      advance();
    } else if (isKeyword("ALL")) {
      modifier = Predicate::Modifier::All;
      advance();
    } else if (isKeyword("NONE")) {
      modifier = Predicate::Modifier::Any;
      none = true;
      advance();
    }
    PredicateExpression left = parseExpression();

    const std::size_t opOffset = tok_.offset;
    std::optional<Op> op;
    bool notIn = false;
    switch (tok_.kind) {
      case Tok::Eq: op = Op::EqualTo; break;
      case Tok::Ne: op = Op::NotEqualTo; break;
      case Tok::Lt: op = Op::LessThan; break;
      case Tok::Le: op = Op::LessThanOrEqualTo; break;
      case Tok::Gt: op = Op::GreaterThan; break;
      case Tok::Ge: op = Op::GreaterThanOrEqualTo; break;
      case Tok::Not:
        notIn = true;
        break;
      case Tok::Name:
        if (isKeyword("IN")) op = Op::In;
        else if (isKeyword("NOT")) notIn = true;
        else if (isKeyword("BETWEEN")) op = Op::Between;
        else if (isKeyword("BEGINSWITH")) op = Op::BeginsWith;
        else if (isKeyword("ENDSWITH")) op = Op::EndsWith;
        else if (isKeyword("CONTAINS")) op = Op::Contains;
        else if (isKeyword("LIKE")) op = Op::Like;
        else if (isKeyword("MATCHES")) op = Op::Matches;
        break;
      default:
        break;
    }
    if (!op && !notIn) fail("expected a comparison operator", opOffset);
    advance();
    if (notIn) {
      if (!isKeyword("IN")) fail("\"NOT\" here must be followed by \"IN\"", tok_.offset);
      advance();
    }
    unsigned options = Predicate::kNoOptions;
    if (tok_.kind == Tok::LBracket) {
      const std::size_t at = pos_;
      std::size_t close = text_.find(']', at);
      if (close == std::string_view::npos) fail("\"[\" is not closed", tok_.offset);
      for (std::size_t k = at; k < close; ++k) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[k])));
        if (c == 'c') options |= Predicate::kCaseInsensitive;
        else if (c == 'd') options |= Predicate::kDiacriticInsensitive;
        else if (c == 'n') options |= Predicate::kNormalized;
        else fail("comparison options are c, d and n", k);
      }
      pos_ = close + 1;
      advance();
    }
    PredicateExpression right = parseExpression();
    PredicatePtr p;
    if (notIn) {
      if (modifier != Predicate::Modifier::Direct || options) {
        // Keep what was written visible to the query's checks instead of dropping it.
        p = Predicate::notPredicate(Predicate::comparison(std::move(left), Op::In, std::move(right), modifier, options));
      } else {
        p = Predicate::customSelectorComparison(std::move(left), Predicate::kNotContainedInSelector, std::move(right));
      }
    } else {
      p = Predicate::comparison(std::move(left), *op, std::move(right), modifier, options);
    }
    return none ? Predicate::notPredicate(p) : p;
  }

  PredicateExpression parseExpression() {
    switch (tok_.kind) {
      case Tok::Argument: {
        if (nextArgument_ >= args_.size()) fail("the format uses more arguments than were given", tok_.offset);
        Value v = args_[nextArgument_++];
        advance();
        return PredicateExpression::constant(std::move(v));
      }
      case Tok::KeyArgument: {
        if (nextArgument_ >= args_.size()) fail("the format uses more arguments than were given", tok_.offset);
        const Value& v = args_[nextArgument_++];
        if (!v.isString() || !isKeyPath(v.stringValue())) fail("a %K argument must be a key name", tok_.offset);
        std::string key = v.stringValue();
        advance();
        return PredicateExpression::keyPath(std::move(key));
      }
      case Tok::String: {
        std::string s = std::move(tok_.text);
        advance();
        return PredicateExpression::constant(Value(std::move(s)));
      }
      case Tok::Number: {
        Value v = tok_.number;
        advance();
        return PredicateExpression::constant(std::move(v));
      }
      case Tok::LBrace: {
        Depth depth(*this);
        advance();
        Array elements;
        if (tok_.kind != Tok::RBrace) {
          while (true) {
            PredicateExpression e = parseExpression();
            if (e.kind() != PredicateExpression::Kind::Constant) fail("an array holds constants only", tok_.offset);
            elements.push_back(e.constantValue());
            if (tok_.kind != Tok::Comma) break;
            advance();
          }
        }
        expect(Tok::RBrace, "\"}\"");
        return PredicateExpression::constant(Value(std::move(elements)));
      }
      case Tok::Name:
        break;
      default:
        fail("expected a key path or a constant", tok_.offset);
    }
    if (isKeyword("TRUE") || isKeyword("YES")) return keywordConstant(Value(true));
    if (isKeyword("FALSE") || isKeyword("NO")) return keywordConstant(Value(false));
    if (isKeyword("NULL") || isKeyword("NIL")) return keywordConstant(Value());
    if (isKeyword("SELF")) {
      advance();
      return PredicateExpression::evaluated("SELF");
    }
    static const char* const reserved[] = {"AND", "OR", "NOT", "IN", "BETWEEN", "BEGINSWITH", "ENDSWITH",
                                           "CONTAINS", "LIKE", "MATCHES", "ANY", "SOME", "ALL", "NONE",
                                           "TRUEPREDICATE", "FALSEPREDICATE"};
    for (const char* word : reserved) {
      if (isKeyword(word)) fail(formatMessage("\"%s\" is a keyword; write #%s for a key of that name", word, word),
                                tok_.offset);
    }
    std::string path = nameText();
    advance();
    while (tok_.kind == Tok::Dot) {
      advance();
      if (tok_.kind != Tok::Name) fail("expected a name after \".\"", tok_.offset);
      path += '.';
      path += nameText();
      advance();
    }
    return PredicateExpression::keyPath(std::move(path));
  }

  std::string nameText() const { return tok_.text.starts_with('#') ? tok_.text.substr(1) : tok_.text; }

  PredicateExpression keywordConstant(Value v) {
    advance();
    return PredicateExpression::constant(std::move(v));
  }

  std::string_view text_;
  const std::vector<Value>& args_;
  std::size_t pos_ = 0;
  std::size_t nextArgument_ = 0;
  int depth_ = 0;
  Token tok_;
};

}  // namespace

PredicatePtr Predicate::predicateWithFormat(std::string_view format, const std::vector<Value>& arguments) {
  return Parser(format, arguments).parse();
}

}  // namespace keel
