#include "app/RecordStore.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <limits>
#include <unordered_set>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>

namespace stillnook {

using keel::Dictionary;
using keel::ErrorPtr;
using keel::Value;

namespace {

std::string quoted(std::string_view name) {
  std::string q = "\"";
  q += name;
  q += '"';
  return q;
}

ErrorPtr storeError(long code, const std::string& message) {
  return keel::Error::make(kRecordStoreErrorDomain, code,
                           Dictionary{{keel::kLocalizedDescriptionKey, Value(message)}});
}

void setError(ErrorPtr* out, ErrorPtr error) {
  if (out) *out = std::move(error);
}

void bindValue(platform::Statement& statement, int index, const Value& value) {
  if (value.isString()) {
    statement.bind(index, std::string_view(value.stringValue()));
  } else if (value.isNumber() && value.isIntegerNumber()) {
    statement.bind(index, value.int64Value());
  } else if (value.isNumber()) {
    statement.bind(index, value.doubleValue());
  } else {
    statement.bindNull(index);
  }
}

bool kindFits(AttributeType type, const Value& value) {
  return type == AttributeType::String ? value.isString() : value.isNumber();
}

// Equality as SQLite decides it for the values a store column and an argument can hold.
bool valuesMatch(const Value& attribute, const Value& argument) {
  if (attribute.isString() && argument.isString()) return attribute.stringValue() == argument.stringValue();
  if (attribute.isNumber() && argument.isNumber()) {
    if (attribute.isIntegerNumber() && argument.isIntegerNumber()) {
      return attribute.int64Value() == argument.int64Value();
    }
    return attribute.doubleValue() == argument.doubleValue();
  }
  return false;
}

// Orders values as SQLite's ORDER BY does for these kinds: nulls first, numbers before text,
// text byte-wise.
int compareValues(const Value& a, const Value& b) {
  auto rank = [](const Value& v) { return v.isNull() ? 0 : v.isNumber() ? 1 : 2; };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (a.isNumber()) {
    if (a.isIntegerNumber() && b.isIntegerNumber()) {
      return a.int64Value() < b.int64Value() ? -1 : a.int64Value() > b.int64Value() ? 1 : 0;
    }
    return a.doubleValue() < b.doubleValue() ? -1 : a.doubleValue() > b.doubleValue() ? 1 : 0;
  }
  if (a.isString()) return a.stringValue().compare(b.stringValue()) < 0 ? -1 : a.stringValue() == b.stringValue() ? 0 : 1;
  return 0;
}

Value int32Sum(std::int64_t sum) {
  // The column is 32 bits wide; a sum beyond it is pinned to its bounds rather than wrapped.
  sum = std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max());
  return Value(static_cast<int>(sum));
}

std::string sumAttribute(const ExpressionDescription& expression) {
  constexpr std::string_view prefix = "@sum.";
  if (expression.expression.rfind(prefix, 0) != 0) {
    throw keel::InvalidArgumentException(
        keel::formatMessage("Unsupported expression \"%@\"; only @sum.<attribute> is known.", expression.expression));
  }
  return expression.expression.substr(prefix.size());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Model

int EntityDescription::attributeIndex(std::string_view attribute) const {
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    if (attributes[i].name == attribute) return static_cast<int>(i);
  }
  return -1;
}

ManagedObjectModel::ManagedObjectModel(std::vector<EntityDescription> entities)
    : entities_(std::move(entities)) {}

const EntityDescription* ManagedObjectModel::entityNamed(std::string_view name) const {
  for (const auto& entity : entities_) {
    if (entity.name == name) return &entity;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Records

ManagedObject::ManagedObject(const EntityDescription* entity)
    : entity_(entity), values_(entity->attributes.size()) {}

Value ManagedObject::valueForKey(std::string_view key) const {
  const int index = entity_->attributeIndex(key);
  if (index < 0) {
    throw keel::InvalidArgumentException(
        keel::formatMessage("The entity %@ has no attribute \"%@\".", entity_->name, std::string(key)));
  }
  if (fault_) fireFault();
  return values_[index];
}

void ManagedObject::fireFault() const {
  fault_ = false;
  if (context_) context_->fulfillFault(*this);
}

void ManagedObject::setValueForKey(const Value& value, std::string_view key) {
  const int index = entity_->attributeIndex(key);
  if (index < 0) {
    throw keel::InvalidArgumentException(
        keel::formatMessage("The entity %@ has no attribute \"%@\".", entity_->name, std::string(key)));
  }
  if (!value.isNull() && !kindFits(entity_->attributes[index].type, value)) {
    throw keel::InvalidArgumentException(keel::formatMessage(
        "The attribute \"%@\" of %@ cannot hold %@.", std::string(key), entity_->name, value.description()));
  }
  setAt(index, value);
}

std::int64_t ManagedObject::integerAt(int index) const {
  if (fault_) fireFault();
  const Value& v = values_[index];
  return v.isNumber() ? v.int64Value() : 0;
}

std::string ManagedObject::stringAt(int index) const {
  if (fault_) fireFault();
  const Value& v = values_[index];
  return v.isString() ? v.stringValue() : std::string();
}

void ManagedObject::setAt(int index, Value value) {
  if (fault_) fireFault();
  if (values_[index] == value && values_[index].isNull() == value.isNull()) return;
  values_[index] = std::move(value);
  if (context_) context_->noteChanged(*this);
}

// ---------------------------------------------------------------------------------------------
// Predicates

struct Predicate::Node {
  enum class Kind { Compare, And, Or } kind = Kind::Compare;
  std::string attribute;
  Value argument;
  std::vector<std::shared_ptr<const Node>> children;
};

namespace {

class PredicateParser {
 public:
  PredicateParser(std::string_view format, std::vector<Value> arguments)
      : text_(format), arguments_(std::move(arguments)) {}

  std::shared_ptr<const Predicate::Node> parse() {
    auto root = parseOr();
    skipSpace();
    if (pos_ != text_.size()) fail("unexpected text");
    if (nextArgument_ != arguments_.size()) {
      throw keel::InvalidArgumentException(keel::formatMessage(
          "The filter \"%@\" has %d placeholders but %d arguments were given.", std::string(text_),
          static_cast<int>(nextArgument_), static_cast<int>(arguments_.size())));
    }
    return root;
  }

 private:
  using NodePtr = std::shared_ptr<const Predicate::Node>;

  NodePtr parseOr() {
    std::vector<NodePtr> terms{parseAnd()};
    while (accept("||") || acceptWord("OR")) terms.push_back(parseAnd());
    return join(Predicate::Node::Kind::Or, std::move(terms));
  }

  NodePtr parseAnd() {
    std::vector<NodePtr> factors{parseFactor()};
    while (accept("&&") || acceptWord("AND")) factors.push_back(parseFactor());
    return join(Predicate::Node::Kind::And, std::move(factors));
  }

  NodePtr parseFactor() {
    if (accept("(")) {
      auto inner = parseOr();
      if (!accept(")")) fail("missing \")\"");
      return inner;
    }
    auto node = std::make_shared<Predicate::Node>();
    node->attribute = identifier();
    if (!accept("==") && !accept("=")) fail("expected \"=\"");
    if (!accept("%@")) fail("expected %@");
    if (nextArgument_ >= arguments_.size()) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The filter \"%@\" has more placeholders than arguments.", std::string(text_)));
    }
    node->argument = arguments_[nextArgument_++];
    return node;
  }

  static NodePtr join(Predicate::Node::Kind kind, std::vector<NodePtr> parts) {
    if (parts.size() == 1) return parts.front();
    auto node = std::make_shared<Predicate::Node>();
    node->kind = kind;
    node->children = std::move(parts);
    return node;
  }

  std::string identifier() {
    skipSpace();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) ++pos_;
    if (start == pos_ || std::isdigit(static_cast<unsigned char>(text_[start]))) fail("expected an attribute name");
    return std::string(text_.substr(start, pos_ - start));
  }

  bool accept(std::string_view token) {
    skipSpace();
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }

  bool acceptWord(std::string_view word) {
    skipSpace();
    if (text_.substr(pos_, word.size()) != word) return false;
    const std::size_t end = pos_ + word.size();
    if (end < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[end])) || text_[end] == '_')) return false;
    pos_ = end;
    return true;
  }

  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  [[noreturn]] void fail(const char* what) {
    throw keel::InvalidArgumentException(keel::formatMessage(
        "Unable to parse the filter \"%@\" at offset %d: %s.", std::string(text_), static_cast<int>(pos_), what));
  }

  std::string_view text_;
  std::vector<Value> arguments_;
  std::size_t pos_ = 0;
  std::size_t nextArgument_ = 0;
};

bool evaluateNode(const Predicate::Node& node, const ManagedObject& object) {
  switch (node.kind) {
    case Predicate::Node::Kind::Compare:
      return valuesMatch(object.valueForKey(node.attribute), node.argument);
    case Predicate::Node::Kind::And:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const auto& c) { return evaluateNode(*c, object); });
    case Predicate::Node::Kind::Or:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const auto& c) { return evaluateNode(*c, object); });
  }
  return false;
}

void appendNodeSql(const Predicate::Node& node, const EntityDescription& entity, std::string& sql,
                   std::vector<Value>& binds) {
  if (node.kind == Predicate::Node::Kind::Compare) {
    const int index = entity.attributeIndex(node.attribute);
    if (index < 0) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The entity %@ has no attribute \"%@\".", entity.name, node.attribute));
    }
    if (!kindFits(entity.attributes[index].type, node.argument)) {
      sql += "0";  // as in memory: a value of another kind matches nothing
      return;
    }
    sql += quoted(node.attribute) + " = ?";
    binds.push_back(node.argument);
    return;
  }
  const char* joiner = node.kind == Predicate::Node::Kind::And ? " AND " : " OR ";
  sql += '(';
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    if (i) sql += joiner;
    appendNodeSql(*node.children[i], entity, sql, binds);
  }
  sql += ')';
}

}  // namespace

PredicatePtr Predicate::predicateWithFormat(std::string_view format, std::vector<Value> arguments) {
  return std::make_shared<const Predicate>(PredicateParser(format, std::move(arguments)).parse());
}

bool Predicate::evaluateWithObject(const ManagedObject& object) const { return evaluateNode(*root_, object); }

void Predicate::appendSql(const EntityDescription& entity, std::string& sql, std::vector<Value>& binds) const {
  appendNodeSql(*root_, entity, sql, binds);
}

// ---------------------------------------------------------------------------------------------
// Coordinator

PersistentStoreCoordinator::PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model)
    : model_(std::move(model)) {}

platform::Database& PersistentStoreCoordinator::database() {
  if (!db_) throw keel::InternalInconsistencyException("The record store has no store attached.");
  return *db_;
}

bool PersistentStoreCoordinator::addSQLiteStore(const std::string& path, ErrorPtr* error) {
  try {
    auto db = std::make_unique<platform::Database>(path);
    db->setBusyTimeout(250);
    db->exec("PRAGMA journal_mode=WAL");
    db->exec("PRAGMA synchronous=FULL");
    platform::Transaction transaction(*db);
    for (const auto& entity : model_->entities()) {
      std::string create = "CREATE TABLE IF NOT EXISTS " + quoted(entity.name) + " (\"id\" INTEGER PRIMARY KEY";
      for (const auto& a : entity.attributes) {
        create += ", " + quoted(a.name) + (a.type == AttributeType::Integer ? " INTEGER" : " TEXT");
      }
      create += ")";
      db->exec(create);

      // A table made by another model cannot be read as this one.
      auto info = db->prepare("PRAGMA table_info(" + quoted(entity.name) + ")");
      std::unordered_map<std::string, std::string> columns;
      while (info.step()) columns[info.getText(1)] = info.getText(2);
      for (const auto& a : entity.attributes) {
        auto it = columns.find(a.name);
        const char* want = a.type == AttributeType::Integer ? "INTEGER" : "TEXT";
        if (it == columns.end() || it->second != want) {
          setError(error, storeError(134100, keel::formatMessage(
                                                 "The store at %@ was made for another model: table %@ "
                                                 "lacks the %s column \"%@\".",
                                                 path, entity.name, want, a.name)));
          return false;
        }
      }
      for (const auto& index : entity.indexes) {
        std::string name = entity.name, cols;
        for (const auto& c : index) {
          name += "_" + c;
          cols += (cols.empty() ? "" : ", ") + quoted(c);
        }
        db->exec("CREATE INDEX IF NOT EXISTS " + quoted(name) + " ON " + quoted(entity.name) + " (" + cols + ")");
      }
    }
    transaction.commit();
    db_ = std::move(db);
    return true;
  } catch (const platform::SqliteError& e) {
    setError(error, storeError(e.code(), e.what()));
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Context

ManagedObjectContext::ManagedObjectContext() : owner_(std::this_thread::get_id()) {}

ManagedObjectContext::~ManagedObjectContext() {
  // Records may outlive the context; they must not point back at it.
  for (auto& [entity, rows] : registered_) {
    for (auto& [id, weak] : rows) {
      if (auto object = weak.lock()) object->context_ = nullptr;
    }
  }
  for (auto* list : {&inserted_, &updated_, &deleted_}) {
    for (auto& object : *list) object->context_ = nullptr;
  }
}

void ManagedObjectContext::setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator) {
  checkThread();
  coordinator_ = std::move(coordinator);
}

void ManagedObjectContext::checkThread() const {
  if (std::this_thread::get_id() != owner_) {
    throw keel::InternalInconsistencyException(
        "A record context was used on a thread other than the one it belongs to.");
  }
}

ManagedObjectPtr ManagedObjectContext::insertNewObjectForEntityForName(std::string_view entityName) {
  checkThread();
  const EntityDescription* entity = coordinator_ ? coordinator_->model().entityNamed(entityName) : nullptr;
  if (!entity) {
    throw keel::InvalidArgumentException(
        keel::formatMessage("The record model has no entity named \"%@\".", std::string(entityName)));
  }
  ManagedObjectPtr object = entity->makeObject(entity);
  object->context_ = this;
  object->inserted_ = true;
  inserted_.push_back(object);
  return object;
}

void ManagedObjectContext::deleteObject(const ManagedObjectPtr& object) {
  checkThread();
  if (!object || object->context_ != this || object->deleted_) return;
  if (object->inserted_) {
    inserted_.erase(std::find(inserted_.begin(), inserted_.end(), object));
    object->inserted_ = false;
    object->context_ = nullptr;
    return;
  }
  object->deleted_ = true;
  deleted_.push_back(object);
}

void ManagedObjectContext::noteChanged(ManagedObject& object) {
  if (object.inserted_ || object.updated_ || object.deleted_) return;
  object.updated_ = true;
  updated_.push_back(object.shared_from_this());
}

bool ManagedObjectContext::hasChanges() const {
  return !inserted_.empty() || !updated_.empty() || !deleted_.empty();
}

bool ManagedObjectContext::hasPendingChangesFor(const EntityDescription& entity) const {
  auto ofEntity = [&](const ManagedObjectPtr& o) { return &o->entity() == &entity; };
  return std::any_of(inserted_.begin(), inserted_.end(), ofEntity) ||
         std::any_of(updated_.begin(), updated_.end(), ofEntity) ||
         std::any_of(deleted_.begin(), deleted_.end(), ofEntity);
}

const EntityDescription& ManagedObjectContext::entityForRequest(const FetchRequest& request) const {
  const EntityDescription* entity = coordinator_ ? coordinator_->model().entityNamed(request.entityName) : nullptr;
  if (!entity) {
    throw keel::InvalidArgumentException(
        keel::formatMessage("The record model has no entity named \"%@\".", request.entityName));
  }
  return *entity;
}

void ManagedObjectContext::readValues(const ManagedObject& object, platform::Statement& row, int firstColumn) const {
  const EntityDescription& entity = object.entity();
  for (std::size_t i = 0; i < entity.attributes.size(); ++i) {
    const int column = static_cast<int>(i) + firstColumn;
    if (row.isNull(column)) {
      object.values_[i] = Value();
    } else {
      object.values_[i] = entity.attributes[i].type == AttributeType::Integer ? Value(row.getInt64(column))
                                                                              : Value(row.getText(column));
    }
  }
  object.fault_ = false;
}

void ManagedObjectContext::fulfillFault(const ManagedObject& object) {
  const EntityDescription& entity = object.entity();
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < entity.attributes.size(); ++i) sql += (i ? ", " : "") + quoted(entity.attributes[i].name);
  sql += " FROM " + quoted(entity.name) + " WHERE \"id\" = ?";
  try {
    auto statement = coordinator_->database().prepare(sql);
    statement.bind(1, object.rowId_);
    if (statement.step()) readValues(object, statement, 0);
  } catch (const platform::SqliteError& e) {
    // A record whose values cannot be read shows none; the store's trouble shows at the next save.
    std::fprintf(stderr, "Could not read a %s record: %s\n", entity.name.c_str(), e.what());
  }
}

ManagedObjectPtr ManagedObjectContext::objectForRow(const EntityDescription& entity, platform::Statement& row,
                                                    bool withValues) {
  const std::int64_t id = row.getInt64(0);
  auto& rows = registered_[&entity];
  if (auto it = rows.find(id); it != rows.end()) {
    if (auto known = it->second.lock()) {  // its values are the context's view
      if (known->fault_ && withValues) readValues(*known, row, 1);
      return known;
    }
  }
  ManagedObjectPtr object = entity.makeObject(&entity);
  if (withValues) {
    readValues(*object, row, 1);
  } else {
    object->fault_ = true;
  }
  object->rowId_ = id;
  object->context_ = this;
  rows[id] = object;
  return object;
}

std::optional<std::vector<ManagedObjectPtr>> ManagedObjectContext::executeFetchRequest(const FetchRequest& request,
                                                                                       ErrorPtr* error) {
  checkThread();
  const EntityDescription& entity = entityForRequest(request);
  for (const auto& sort : request.sortDescriptors) {
    if (entity.attributeIndex(sort.key) < 0) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The entity %@ has no attribute \"%@\" to sort by.", entity.name, sort.key));
    }
  }
  const bool withValues = request.includesPropertyValues || !request.sortDescriptors.empty();
  std::string sql = "SELECT \"id\"";
  if (withValues) {
    for (const auto& a : entity.attributes) sql += ", " + quoted(a.name);
  }
  sql += " FROM " + quoted(entity.name);
  std::vector<Value> binds;
  if (request.predicate) {
    sql += " WHERE ";
    request.predicate->appendSql(entity, sql, binds);
  }
  sql += " ORDER BY ";
  for (const auto& sort : request.sortDescriptors) sql += quoted(sort.key) + (sort.ascending ? " ASC, " : " DESC, ");
  sql += "\"id\"";

  std::vector<ManagedObjectPtr> result;
  std::unordered_set<std::int64_t> seen;
  try {
    auto statement = coordinator_->database().prepare(sql);
    for (std::size_t i = 0; i < binds.size(); ++i) bindValue(statement, static_cast<int>(i) + 1, binds[i]);
    while (statement.step()) {
      ManagedObjectPtr object = objectForRow(entity, statement, withValues);
      seen.insert(object->rowId_);
      if (object->deleted_) continue;
      if (object->updated_ && request.predicate && !request.predicate->evaluateWithObject(*object)) continue;
      result.push_back(std::move(object));
    }
  } catch (const platform::SqliteError& e) {
    setError(error, storeError(e.code(), e.what()));
    return std::nullopt;
  }

  if (!hasPendingChangesFor(entity)) return result;
  auto matches = [&](const ManagedObjectPtr& o) {
    return &o->entity() == &entity && (!request.predicate || request.predicate->evaluateWithObject(*o));
  };
  bool movedIn = false;
  for (const auto& object : updated_) {
    if (!object->deleted_ && !seen.count(object->rowId_) && matches(object)) {
      result.push_back(object);
      movedIn = true;
    }
  }
  if (movedIn && request.sortDescriptors.empty()) {
    // Saved records keep the store's order (by identity), whatever changed them into the result.
    std::stable_sort(result.begin(), result.end(),
                     [](const ManagedObjectPtr& a, const ManagedObjectPtr& b) { return a->rowId_ < b->rowId_; });
  }
  for (const auto& object : inserted_) {
    if (matches(object)) result.push_back(object);
  }
  if (!request.sortDescriptors.empty()) {
    std::vector<int> indexes;
    for (const auto& sort : request.sortDescriptors) indexes.push_back(entity.attributeIndex(sort.key));
    for (const auto& object : result) {
      if (object->fault_) object->fireFault();
    }
    std::stable_sort(result.begin(), result.end(), [&](const ManagedObjectPtr& a, const ManagedObjectPtr& b) {
      for (std::size_t i = 0; i < indexes.size(); ++i) {
        const int c = compareValues(a->values_[indexes[i]], b->values_[indexes[i]]);
        if (c != 0) return request.sortDescriptors[i].ascending ? c < 0 : c > 0;
      }
      return false;
    });
  }
  return result;
}

std::vector<Dictionary> ManagedObjectContext::groupInMemory(const FetchRequest& request,
                                                            const std::vector<ManagedObjectPtr>& objects) const {
  std::vector<Dictionary> rows;
  std::vector<std::vector<Value>> groupKeys;
  std::vector<std::vector<std::int64_t>> sums;
  const bool aggregate = !request.propertiesToGroupBy.empty() || !request.expressions.empty();
  std::vector<std::string> summed;
  for (const auto& e : request.expressions) summed.push_back(sumAttribute(e));

  for (const auto& object : objects) {
    if (!aggregate) {
      Dictionary row;
      for (const auto& p : request.propertiesToFetch) row.set(p, object->valueForKey(p));
      rows.push_back(std::move(row));
      continue;
    }
    std::vector<Value> key;
    for (const auto& g : request.propertiesToGroupBy) key.push_back(object->valueForKey(g));
    auto it = std::find(groupKeys.begin(), groupKeys.end(), key);
    std::size_t group = static_cast<std::size_t>(it - groupKeys.begin());
    if (it == groupKeys.end()) {
      groupKeys.push_back(key);
      sums.emplace_back(summed.size(), 0);
    }
    for (std::size_t i = 0; i < summed.size(); ++i) {
      const Value v = object->valueForKey(summed[i]);
      if (v.isNumber()) sums[group][i] += v.int64Value();
    }
  }
  if (!aggregate) return rows;
  if (groupKeys.empty() && request.propertiesToGroupBy.empty()) {
    groupKeys.emplace_back();
    sums.emplace_back(summed.size(), 0);
  }
  for (std::size_t g = 0; g < groupKeys.size(); ++g) {
    Dictionary row;
    for (const auto& p : request.propertiesToFetch) {
      auto pos = std::find(request.propertiesToGroupBy.begin(), request.propertiesToGroupBy.end(), p);
      if (pos != request.propertiesToGroupBy.end()) {
        row.set(p, groupKeys[g][pos - request.propertiesToGroupBy.begin()]);
      }
    }
    for (std::size_t i = 0; i < summed.size(); ++i) row.set(request.expressions[i].name, int32Sum(sums[g][i]));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<std::vector<Dictionary>> ManagedObjectContext::executeDictionaryFetchRequest(const FetchRequest& request,
                                                                                          ErrorPtr* error) {
  checkThread();
  const EntityDescription& entity = entityForRequest(request);
  std::vector<std::string> columns = request.propertiesToFetch;
  for (const auto& p : request.propertiesToFetch) {
    if (entity.attributeIndex(p) < 0) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The entity %@ has no attribute \"%@\" to fetch.", entity.name, p));
    }
  }
  for (const auto& g : request.propertiesToGroupBy) {
    if (std::find(columns.begin(), columns.end(), g) == columns.end()) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The grouping attribute \"%@\" must also be fetched.", g));
    }
  }
  for (const auto& e : request.expressions) {
    if (entity.attributeIndex(sumAttribute(e)) < 0) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("The entity %@ has no attribute \"%@\" to sum.", entity.name, sumAttribute(e)));
    }
    columns.push_back(e.name);
  }
  std::vector<int> sortColumns;
  for (const auto& sort : request.sortDescriptors) {
    auto it = std::find(columns.begin(), columns.end(), sort.key);
    if (it == columns.end()) {
      throw keel::InvalidArgumentException(
          keel::formatMessage("Rows can only be sorted by a fetched property, not \"%@\".", sort.key));
    }
    sortColumns.push_back(static_cast<int>(it - columns.begin()));
  }

  std::vector<Dictionary> rows;
  if (hasPendingChangesFor(entity)) {
    FetchRequest objects(request.entityName);
    objects.predicate = request.predicate;
    auto matching = executeFetchRequest(objects, error);
    if (!matching) return std::nullopt;
    rows = groupInMemory(request, *matching);
    std::stable_sort(rows.begin(), rows.end(), [&](const Dictionary& a, const Dictionary& b) {
      for (std::size_t i = 0; i < sortColumns.size(); ++i) {
        const std::string& key = columns[sortColumns[i]];
        const int c = compareValues(a[key], b[key]);
        if (c != 0) return request.sortDescriptors[i].ascending ? c < 0 : c > 0;
      }
      return false;
    });
    return rows;
  }

  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < request.propertiesToFetch.size(); ++i) {
    sql += (i ? ", " : "") + quoted(request.propertiesToFetch[i]);
  }
  for (std::size_t i = 0; i < request.expressions.size(); ++i) {
    sql += (request.propertiesToFetch.empty() && i == 0 ? "" : ", ");
    sql += "TOTAL(" + quoted(sumAttribute(request.expressions[i])) + ")";
  }
  sql += " FROM " + quoted(entity.name);
  std::vector<Value> binds;
  if (request.predicate) {
    sql += " WHERE ";
    request.predicate->appendSql(entity, sql, binds);
  }
  if (!request.propertiesToGroupBy.empty()) {
    sql += " GROUP BY ";
    for (std::size_t i = 0; i < request.propertiesToGroupBy.size(); ++i) {
      sql += (i ? ", " : "") + quoted(request.propertiesToGroupBy[i]);
    }
  }
  if (!sortColumns.empty()) {
    sql += " ORDER BY ";
    for (std::size_t i = 0; i < sortColumns.size(); ++i) {
      sql += (i ? ", " : "") + std::to_string(sortColumns[i] + 1) +
             (request.sortDescriptors[i].ascending ? " ASC" : " DESC");
    }
  }
  try {
    auto statement = coordinator_->database().prepare(sql);
    for (std::size_t i = 0; i < binds.size(); ++i) bindValue(statement, static_cast<int>(i) + 1, binds[i]);
    while (statement.step()) {
      Dictionary row;
      for (std::size_t i = 0; i < request.propertiesToFetch.size(); ++i) {
        const int column = static_cast<int>(i);
        const auto type = entity.attributes[entity.attributeIndex(request.propertiesToFetch[i])].type;
        if (statement.isNull(column)) {
          row.set(request.propertiesToFetch[i], Value());
        } else {
          row.set(request.propertiesToFetch[i], type == AttributeType::Integer ? Value(statement.getInt64(column))
                                                                               : Value(statement.getText(column)));
        }
      }
      for (std::size_t i = 0; i < request.expressions.size(); ++i) {
        const int column = static_cast<int>(request.propertiesToFetch.size() + i);
        row.set(request.expressions[i].name, int32Sum(static_cast<std::int64_t>(statement.getDouble(column))));
      }
      rows.push_back(std::move(row));
    }
  } catch (const platform::SqliteError& e) {
    setError(error, storeError(e.code(), e.what()));
    return std::nullopt;
  }
  return rows;
}

bool ManagedObjectContext::save(ErrorPtr* error) {
  checkThread();
  if (!hasChanges()) return true;
  std::vector<std::int64_t> newIds;
  try {
    platform::Database& db = coordinator_->database();
    platform::Transaction transaction(db);
    std::unordered_map<const EntityDescription*, platform::Statement> updates, inserts;
    // Deletes go by identity, many to a statement: a catalogue replacement deletes thousands.
    std::unordered_map<const EntityDescription*, std::vector<std::int64_t>> deletedIds;
    for (const auto& object : deleted_) deletedIds[&object->entity()].push_back(object->rowId_);
    for (const auto& [entity, ids] : deletedIds) {
      // Deleting every record of an entity (a catalogue replacement) empties the table at once.
      auto count = db.prepare("SELECT COUNT(*) FROM " + quoted(entity->name));
      if (count.step() && static_cast<std::size_t>(count.getInt64(0)) == ids.size()) {
        db.exec("DELETE FROM " + quoted(entity->name));
        continue;
      }
      constexpr std::size_t kChunk = 500;
      for (std::size_t start = 0; start < ids.size(); start += kChunk) {
        const std::size_t count = std::min(kChunk, ids.size() - start);
        std::string sql = "DELETE FROM " + quoted(entity->name) + " WHERE \"id\" IN (?";
        for (std::size_t i = 1; i < count; ++i) sql += ", ?";
        sql += ")";
        auto statement = db.prepare(sql);
        for (std::size_t i = 0; i < count; ++i) statement.bind(static_cast<int>(i) + 1, ids[start + i]);
        statement.run();
      }
    }
    for (const auto& object : updated_) {
      if (object->deleted_) continue;
      const EntityDescription* entity = &object->entity();
      auto it = updates.find(entity);
      if (it == updates.end()) {
        std::string sql = "UPDATE " + quoted(entity->name) + " SET ";
        for (std::size_t i = 0; i < entity->attributes.size(); ++i) {
          sql += (i ? ", " : "") + quoted(entity->attributes[i].name) + " = ?";
        }
        sql += " WHERE \"id\" = ?";
        it = updates.emplace(entity, db.prepare(sql)).first;
      }
      for (std::size_t i = 0; i < object->values_.size(); ++i) {
        bindValue(it->second, static_cast<int>(i) + 1, object->values_[i]);
      }
      it->second.bind(static_cast<int>(object->values_.size()) + 1, object->rowId_);
      it->second.run();
      it->second.reset();
    }
    for (const auto& object : inserted_) {
      const EntityDescription* entity = &object->entity();
      auto it = inserts.find(entity);
      if (it == inserts.end()) {
        std::string sql = "INSERT INTO " + quoted(entity->name) + " (", marks;
        for (std::size_t i = 0; i < entity->attributes.size(); ++i) {
          sql += (i ? ", " : "") + quoted(entity->attributes[i].name);
          marks += i ? ", ?" : "?";
        }
        sql += ") VALUES (" + marks + ")";
        it = inserts.emplace(entity, db.prepare(sql)).first;
      }
      for (std::size_t i = 0; i < object->values_.size(); ++i) {
        bindValue(it->second, static_cast<int>(i) + 1, object->values_[i]);
      }
      it->second.run();
      it->second.reset();
      newIds.push_back(db.lastInsertRowId());
    }
    transaction.commit();
  } catch (const platform::SqliteError& e) {
    // The transaction has rolled back: the file is as it was and every change is still pending.
    setError(error, storeError(e.code(), e.what()));
    return false;
  }

  for (std::size_t i = 0; i < inserted_.size(); ++i) {
    auto& object = inserted_[i];
    object->rowId_ = newIds[i];
    object->inserted_ = false;
    registered_[&object->entity()][object->rowId_] = object;
  }
  for (auto& object : updated_) object->updated_ = false;
  for (auto& object : deleted_) {
    registered_[&object->entity()].erase(object->rowId_);
    object->context_ = nullptr;
  }
  inserted_.clear();
  updated_.clear();
  deleted_.clear();
  return true;
}

}  // namespace stillnook
