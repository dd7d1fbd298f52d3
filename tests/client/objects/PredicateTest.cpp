#include <keel/objects/Predicate.h>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/Query.h>
#include <keel/objects/QueryUtilities.h>
#include <keel/objects/RESTQueryCommand.h>

#include "client/objects/ObjectTestSupport.h"

namespace keel {

namespace {

using testing::sameValue;

using testing::parse;

// Returns the "where" the query of `format` sends.
Value where(std::string_view format, const std::vector<Value>& arguments = {}) {
  auto query = Query::queryWithClassNamePredicate("Video", format, arguments);
  return Value(RESTQueryCommand::findCommandParametersForQueryState(*query->state())).get("where");
}

std::string refusal(std::string_view format, const std::vector<Value>& arguments = {}) {
  try {
    Query::queryWithClassNamePredicate("Video", format, arguments);
  } catch (const InvalidArgumentException& e) {
    return e.reason();
  }
  return "no exception";
}

TEST(PredicateQueryTest, ComparisonsMapOntoTheBuilders) {
  EXPECT_TRUE(sameValue(where("Mins >= %@ AND Type == 'Relax' AND Title BEGINSWITH \"Calm\"", {Value(10)}),
            parse(R"({"Mins": {"$gte": 10}, "Type": "Relax", "Title": {"$regex": "^\\QCalm\\E"}})")));
  EXPECT_TRUE(sameValue(where("a < 1 && b <= 2.5 && c > -3 && d =< 4 && e => 5 && f <> 6 && g != nil && h = NULL"),
            parse(R"({"a": {"$lt": 1}, "b": {"$lte": 2.5}, "c": {"$gt": -3}, "d": {"$lte": 4}, "e": {"$gte": 5},
                      "f": {"$ne": 6}, "g": {"$exists": true}, "h": {"$exists": false}})")));
  EXPECT_TRUE(sameValue(where("%K IN %@ AND Type NOT IN {'a', 'b'} AND author.name == TRUE", {Value("Mins"), Value(Array{5, 10})}),
            parse(R"({"Mins": {"$in": [5, 10]}, "Type": {"$nin": ["a", "b"]}, "author.name": true})")));

  auto authors = Query::queryWithClassName("Author");
  authors->whereKeyEqualTo("name", "Ann");
  EXPECT_TRUE(sameValue(where("author IN %@ AND NOT (editor IN %@)", {Value(authors), Value(authors)}),
            parse(R"({"author": {"$inQuery": {"where": {"name": "Ann"}, "className": "Author"}},
                      "editor": {"$notInQuery": {"where": {"name": "Ann"}, "className": "Author"}}})")));
}

TEST(PredicateQueryTest, ArgumentsStayConstantsWhateverTheyHold) {
  const std::string hostile = "x' OR Type != 'y";
  EXPECT_TRUE(sameValue(where("Title = %@", {Value(hostile)}), Value(Dictionary{{"Title", Value(hostile)}})));
  EXPECT_TRUE(sameValue(where("Title = %@ AND Type = \"%@\"", {Value("%K")}), parse(R"({"Title": "%K", "Type": "%@"})")));
  EXPECT_TRUE(sameValue(where("#IN = 'it\\'s' AND Body = 'caf\\u00e9'"), parse(R"({"IN": "it's", "Body": "café"})")));
}

TEST(PredicateQueryTest, NegationBetweenAndConstantFirstAreRewritten) {
  EXPECT_TRUE(sameValue(where("Mins BETWEEN {5, 15}"), parse(R"({"Mins": {"$gte": 5, "$lte": 15}})")));
  EXPECT_TRUE(sameValue(where("5 < Mins AND 'Relax' = Type"), parse(R"({"Mins": {"$gt": 5}, "Type": "Relax"})")));
  EXPECT_TRUE(sameValue(where("NOT (Mins < 5 OR Type != 'Relax')"), parse(R"({"Mins": {"$gte": 5}, "Type": "Relax"})")));
  EXPECT_TRUE(sameValue(where("!(NOT (a = 1))"), parse(R"({"a": 1})")));
  EXPECT_TRUE(sameValue(where("NOT a IN {1}"), parse(R"({"a": {"$nin": [1]}})")));
  EXPECT_TRUE(sameValue(where("NOT a NOT IN {1}"), parse(R"({"a": {"$in": [1]}})")));
}

TEST(PredicateQueryTest, OrsBecomeOrQueriesWithTheirCommonPartHoisted) {
  EXPECT_TRUE(sameValue(where("Type = 'Relax' OR Mins > 30"), parse(R"({"$or": [{"Type": "Relax"}, {"Mins": {"$gt": 30}}]})")));
  EXPECT_TRUE(sameValue(where("(a = 1 AND b = 2) OR (c = 3 AND a = 1)"), parse(R"({"a": 1, "$or": [{"b": 2}, {"c": 3}]})")));
  EXPECT_TRUE(sameValue(where("a = 1 AND (b = 2 OR c = 3)"), parse(R"({"a": 1, "$or": [{"b": 2}, {"c": 3}]})")));
  // Absorbed: a OR (a AND b) is a.
  EXPECT_TRUE(sameValue(where("a = 1 OR (a = 1 AND b = 2)"), parse(R"({"a": 1})")));
  // Four terms after expansion are allowed; the products of two ORs give exactly four.
  EXPECT_TRUE(sameValue(where("(a = 1 OR b = 1) AND (c = 1 OR d = 1)"),
            parse(R"({"$or": [{"a": 1, "c": 1}, {"a": 1, "d": 1}, {"b": 1, "c": 1}, {"b": 1, "d": 1}]})")));
}

TEST(PredicateQueryTest, ASecondConstraintOnAKeyIsKeptInsteadOfReplacingTheFirst) {
  EXPECT_TRUE(sameValue(where("Type != 'a' AND Type != 'b'"), parse(R"({"Type": {"$ne": "a"}, "$and": [{"Type": {"$ne": "b"}}]})")));
  EXPECT_TRUE(sameValue(where("Mins = 5 AND Mins > 10"), parse(R"({"Mins": 5, "$and": [{"Mins": {"$gt": 10}}]})")));
  EXPECT_TRUE(sameValue(where("Mins > 1 AND Mins < 9"), parse(R"({"Mins": {"$gt": 1, "$lt": 9}})")));
}

TEST(PredicateQueryTest, PredicatesAQueryCannotExpressAreRefusedWithTheirReason) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Title LIKE 'a*'", "LIKE is not supported by Query."},
      {"Title MATCHES 'a.*'",
       "Regex queries are not supported with [Query queryWithClassName:predicate:]. Please try to structure your "
       "data so that you can use an equalTo or containedIn query."},
      {"Title CONTAINS 'a'", "This comparison predicate is not supported. (99)"},
      {"Title ENDSWITH 'a'", "This comparison predicate is not supported. (9)"},
      {"ANY tags = 'a'", "Unsupported comparison predicate modifier 2."},
      {"ALL tags = 'a'", "Unsupported comparison predicate modifier 1."},
      {"Title ==[c] 'a'", "Comparison options ([c], [d], [n]) are not supported by Query. Title ==[c] \"a\""},
      {"Title = Type", "This predicate must have a key path and a constant. Title == Type"},
      {"SELF = 'a'", "This predicate must have a key path and a constant. SELF == \"a\""},
      {"Title BEGINSWITH 5", "This predicate must have a key path and a constant. Title BEGINSWITH 5"},
      {"'a' IN tags", "An IN predicate must have a key path and a constant."},
      {"a IN 5", "An IN predicate must have a key path and a constant."},
      {"a NOT IN 'x'", "A NOT IN predicate must have a key path and a constant array."},
      {"a BETWEEN {1}", "This predicate must have a key path and a constant. a BETWEEN (1)"},
      {"NOT Title BEGINSWITH 'a'", "A predicate had a NOT after normalization. NOT Title BEGINSWITH \"a\""},
      {"TRUEPREDICATE", "Unknown predicate type."},
      {"a = 1 AND FALSEPREDICATE", "Unknown predicate type."},
      {"a = 1 OR b = 1 OR c = 1 OR d = 1 OR e = 1",
       "This query is too complex. It had an OR with >4 subpredicates after normalization."},
      {"a < {1}", "Cannot do a query that requires ordering for type: Array"},
  };
  for (const auto& [format, message] : cases) EXPECT_EQ(refusal(format), message) << format;
}

TEST(PredicateQueryTest, ExpansionThatWouldExplodeStopsEarly) {
  // 2^40 terms if expanded in full; a hang here is the fault (the test's timeout reports it).
  std::string format;
  for (int i = 0; i < 40; ++i) {
    if (i) format += " AND ";
    format += "(a" + std::to_string(i) + " = 1 OR b" + std::to_string(i) + " = 1)";
  }
  EXPECT_EQ(refusal(format), "This query is too complex. It had an OR with >4 subpredicates after normalization.");

  // Hundreds of comparisons in every term stay cheap: the shared part is hoisted once.
  std::string wide = "(a = 1 OR b = 1) AND (c = 1 OR d = 1)";
  for (int i = 0; i < 400; ++i) wide += " AND k" + std::to_string(i) + " > " + std::to_string(i);
  auto query = Query::queryWithClassNamePredicate("Video", wide);
  const Value w = Value(RESTQueryCommand::findCommandParametersForQueryState(*query->state())).get("where");
  EXPECT_EQ(w.get("$or").arrayValue().size(), 4u);
  EXPECT_EQ(w.dictionaryValue().size(), 401u);
  EXPECT_EQ(refusal(wide + " AND " + wide.substr(wide.find("k0"))),
            "This query is too complex. It has more than 512 comparisons.");

  // A tree built in code is measured without recursing into it.
  PredicatePtr deep = Predicate::comparison(PredicateExpression::keyPath("a"), Predicate::Operator::EqualTo,
                                            PredicateExpression::constant(1));
  for (int i = 0; i < 100000; ++i) deep = Predicate::notPredicate(Predicate::notPredicate(deep));
  EXPECT_THROW(QueryUtilities::normalizedPredicate(deep), InvalidArgumentException);
}

TEST(PredicateParserTest, MalformedTextIsRefusedWithItsOffset) {
  auto reason = [](std::string_view format, std::vector<Value> arguments = {}) -> std::string {
    try {
      Predicate::predicateWithFormat(format, arguments);
    } catch (const InvalidArgumentException& e) {
      return e.reason();
    }
    return "no exception";
  };
  EXPECT_EQ(reason("a = 'open"), "Unable to parse the format string \"a = 'open\": a string is not closed (at offset 4)");
  EXPECT_EQ(reason("a = %@"), "Unable to parse the format string \"a = %@\": the format uses more arguments than were "
                              "given (at offset 4)");
  EXPECT_EQ(reason("a = 1", {Value(2)}),
            "Unable to parse the format string \"a = 1\": 1 arguments were given and the format uses 0 (at offset 5)");
  EXPECT_EQ(reason("%K = 1", {Value(5)}),
            "Unable to parse the format string \"%K = 1\": a %K argument must be a key name (at offset 0)");
  EXPECT_EQ(reason("%K = 1", {Value("$or")}),
            "Unable to parse the format string \"%K = 1\": a %K argument must be a key name (at offset 0)");
  EXPECT_NO_THROW(Predicate::predicateWithFormat("%K = 1", {Value("author.name_2")}));
  EXPECT_EQ(reason("a = 1 b"), "Unable to parse the format string \"a = 1 b\": unexpected text after the predicate "
                               "(at offset 6)");
  EXPECT_EQ(reason("AND = 1"), "Unable to parse the format string \"AND = 1\": \"AND\" is a keyword; write #AND for a "
                               "key of that name (at offset 0)");
  for (const char* bad : {"", "a", "a =", "a = 1 AND", "(a = 1", "a = {1, 2", "a = 1e", "a = 12abc", "a & b",
                          "a = '\\x'", "a = '\\uD800'", "a NOT b", "a ==[q] 1", "a = %d", "$or = 1",
                          "a..b = 1"}) {
    EXPECT_THROW(Predicate::predicateWithFormat(bad), InvalidArgumentException) << bad;
  }
  const std::string nested = std::string(100, '(') + "a = 1" + std::string(100, ')');
  EXPECT_THROW(Predicate::predicateWithFormat(nested), InvalidArgumentException);
  const std::string shallow = std::string(30, '(') + "a = 1" + std::string(30, ')');
  EXPECT_NO_THROW(Predicate::predicateWithFormat(shallow));
  EXPECT_THROW(Predicate::predicateWithFormat(std::string(Predicate::kMaxFormatLength + 1, ' ')), InvalidArgumentException);
}

TEST(PredicateParserTest, NumbersKeepTheirKindAndRange) {
  auto constant = [](std::string_view format) {
    return Predicate::predicateWithFormat(format)->right().constantValue();
  };
  EXPECT_EQ(constant("a = 9007199254740993").int64Value(), 9007199254740993);
  EXPECT_TRUE(constant("a = -7").isIntegerNumber());
  EXPECT_DOUBLE_EQ(constant("a = 1.5e3").doubleValue(), 1500.0);
  EXPECT_FALSE(constant("a = 1.0").isIntegerNumber());
  // Beyond 64 bits an integer is read as the nearest double instead of wrapping.
  EXPECT_DOUBLE_EQ(constant("a = 18446744073709551616").doubleValue(), 18446744073709551616.0);
}

}  // namespace
}  // namespace keel
