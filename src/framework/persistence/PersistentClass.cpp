#include "framework/persistence/PersistentClass.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "framework/persistence/PersistentNaming.h"
#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

std::mutex gRegistryMutex;
std::map<std::string, const PersistentClass*>& registry() {
  // Never destroyed: jobs still running at exit use it.
  static auto& classes = *new std::map<std::string, const PersistentClass*>();
  return classes;
}

std::mutex gCheckedMutex;
std::set<std::string>& checkedTables() {
  // Never destroyed: jobs still running at exit use it.
  static auto& checked = *new std::set<std::string>();
  return checked;
}

sqlite3* database() { return SQLiteInstanceManager::sharedManager()->database(); }

bool contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

bool isOneOf(const std::string& code, const char* letters) {
  return code.size() == 1 && std::string(letters).find(code[0]) != std::string::npos;
}

// The declared type of a property's column, or empty when the property has no column.
// Migration differs from creation only for scalars without a conversion (TEXT).
std::string columnType(const PersistentProperty& property, bool forMigration) {
  const std::string& code = property.typeCode;
  if (isOneOf(code, "ilqsBILQS")) return "INTEGER";
  if (isOneOf(code, "fd")) return "REAL";
  if (isOneOf(code, "cC")) return "TEXT";
  if (property.isEntity()) return "INTEGER";
  const std::string className = property.className();
  if (className == "NSString") return "TEXT";
  if (className == "NSData" || className == "NSMutableData") return "BLOB";
  if (className.empty()) return forMigration ? "TEXT" : "";
  return "";
}

// Runs one statement of the table set-up; failures are logged with the database's text.
bool runSetUpStatement(const std::string& sql, const std::vector<std::string>& parameters = {}) {
  SQLiteStatement statement(database(), sql);
  if (statement.ok()) {
    int position = 1;
    for (const std::string& parameter : parameters) statement.bindText(position++, parameter);
    if (statement.step() == SQLITE_DONE) return true;
  }
  QoLog("Error Message: {}", statement.errorMessage());
  return false;
}

void bindParameters(SQLiteStatement& statement, const std::optional<PersistentClass::Parameters>& parameters) {
  if (!parameters) return;
  int position = 1;
  for (const std::string& parameter : *parameters) statement.bindText(position++, parameter);
}

std::string numberText(const PersistentValue& value, const std::string& typeCode) {
  if (const auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (const auto* u = std::get_if<uint64_t>(&value)) return std::to_string(*u);
  if (const auto* d = std::get_if<double>(&value)) {
    return typeCode == "f" ? fmt::format("{}", static_cast<float>(*d)) : fmt::format("{}", *d);
  }
  return {};
}

// A value read back from a column by the property's type; nullopt leaves the property as is.
std::optional<PersistentValue> readColumn(const SQLiteStatement& statement, int index,
                                          const PersistentProperty& property) {
  const std::string& code = property.typeCode;
  if (isOneOf(code, "ilqsB")) return PersistentValue(statement.columnInt64(index));
  if (isOneOf(code, "ILQS")) return PersistentValue(static_cast<uint64_t>(statement.columnInt64(index)));
  if (isOneOf(code, "fd")) {
    return PersistentValue(static_cast<double>(static_cast<float>(statement.columnDouble(index))));
  }
  if (isOneOf(code, "cC")) {
    if (statement.columnIsNull(index)) return std::nullopt;
    const std::string text = statement.columnText(index);
    if (PersistentNaming::holdsFloatingPointValue(text)) return PersistentValue(std::strtod(text.c_str(), nullptr));
    if (PersistentNaming::holdsIntegerValue(text)) {
      return PersistentValue(static_cast<int64_t>(static_cast<int32_t>(std::strtoll(text.c_str(), nullptr, 10))));
    }
    return PersistentValue(text);
  }
  if (property.isEntity()) {
    const int32_t key = statement.columnInt(index);
    if (key == 0) return std::nullopt;
    PersistentClass::ObjectPtr referenced = property.entityClass().findByPK(key);
    if (!referenced) return PersistentValue(std::monostate{});
    return PersistentValue(referenced);
  }
  const std::string className = property.className();
  if (className == "NSString") {
    if (statement.columnIsNull(index)) return PersistentValue(std::monostate{});
    return PersistentValue(statement.columnText(index));
  }
  if (className == "NSData" || className == "NSMutableData") {
    std::string bytes = statement.columnBlob(index);
    if (bytes.empty()) return PersistentValue(std::monostate{});
    return PersistentValue(std::move(bytes));
  }
  return std::nullopt;
}

}  // namespace

PersistentClass::PersistentClass(Declaration declaration)
    : declaration_(std::move(declaration)),
      tableName_(PersistentNaming::tableNameForClassName(declaration_.className)) {
  std::lock_guard<std::mutex> guard(gRegistryMutex);
  registry()[declaration_.className] = this;
}

const PersistentClass* PersistentClass::classNamed(const std::string& className) {
  std::lock_guard<std::mutex> guard(gRegistryMutex);
  auto found = registry().find(className);
  return found != registry().end() ? found->second : nullptr;
}

void PersistentClass::clearCache() {
  std::lock_guard<std::mutex> guard(gCheckedMutex);
  checkedTables().clear();
}

const std::vector<PersistentProperty>& PersistentClass::propertiesWithEncodedTypes() const {
  static std::mutex buildMutex;
  // Never destroyed: jobs still running at exit use it.
  static auto& built = *new std::map<const PersistentClass*, std::vector<PersistentProperty>>();
  std::lock_guard<std::mutex> guard(buildMutex);
  auto found = built.find(this);
  if (found == built.end()) found = built.emplace(this, declaration_.propertiesWithEncodedTypes()).first;
  return found->second;
}

const PersistentProperty* PersistentClass::propertyNamed(const std::string& name) const {
  for (const PersistentProperty& property : propertiesWithEncodedTypes()) {
    if (property.name == name) return &property;
  }
  return nullptr;
}

int PersistentClass::propertiesOrderedArrayCount() const {
  return static_cast<int>(propertiesOrderedArray().size()) + 1;
}

void PersistentClass::tableCheck() const {
  {
    std::lock_guard<std::mutex> guard(gCheckedMutex);
    // Counted as made before any statement runs: a failing statement is not retried.
    if (!checkedTables().insert(className()).second) return;
  }
  // Referenced tables first, so that loads holding the statement lock never need to make one.
  for (const PersistentProperty& property : propertiesWithEncodedTypes()) {
    if (property.isEntity()) property.entityClass().tableCheck();
  }
  LockerGuard transaction(WriteTransaction::locker());
  Lock lock(PersistentObject::getLocker());
  createTable();
  migrate();
}

void PersistentClass::createTable() const {
  const std::vector<std::string> ordered = propertiesOrderedArray();
  const std::vector<std::string> skipped = transients();
  const std::vector<std::string> unique = uniques();

  std::string sql = fmt::format("CREATE TABLE IF NOT EXISTS {} (pk INTEGER PRIMARY KEY AUTOINCREMENT", tableName());
  for (const std::string& name : ordered) {
    if (contains(skipped, name)) continue;
    const PersistentProperty* property = propertyNamed(name);
    if (property == nullptr) continue;
    const std::string type = columnType(*property, false);
    if (type.empty()) continue;
    sql += fmt::format(", {} {}{}", PersistentNaming::stringAsSQLColumnName(name), type,
                       contains(unique, name) ? " UNIQUE" : "");
  }
  sql += ")";
  runSetUpStatement(sql);
  runSetUpStatement("CREATE TABLE IF NOT EXISTS SQLITESEQUENCE (name TEXT PRIMARY KEY, seq INTEGER)");
  runSetUpStatement("INSERT OR IGNORE INTO SQLITESEQUENCE (name,seq) VALUES (?, 0)", {tableName()});

  for (const std::vector<std::string>& index : indices()) {
    std::string indexName = tableName();
    std::string columns;
    for (const std::string& name : index) {
      const std::string column = PersistentNaming::stringAsSQLColumnName(name);
      indexName += "_" + column;
      columns += (columns.empty() ? "" : ", ") + column;
    }
    SQLiteStatement statement(database(),
                              fmt::format("create index if not exists {} on {} ({})", indexName, tableName(), columns));
    if (!statement.ok() || statement.step() != SQLITE_DONE) {
      QoLog("Error creating indices on {}: {}", tableName(), statement.errorMessage());
    }
  }
}

void PersistentClass::migrate() const {
  const std::vector<std::string> present = tableColumns();
  const std::vector<std::string> skipped = transients();
  for (const std::string& name : propertiesOrderedArray()) {
    if (contains(skipped, name)) continue;
    const std::string column = PersistentNaming::stringAsSQLColumnName(name);
    if (contains(present, column)) continue;
    const PersistentProperty* property = propertyNamed(name);
    const std::string type = property != nullptr ? columnType(*property, true) : std::string();
    SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
        fmt::format("alter table {} add column {} {}", tableName(), column, type));
  }
}

std::vector<std::string> PersistentClass::tableColumns() const {
  std::vector<std::string> columns;
  Lock lock(PersistentObject::getLocker());
  SQLiteStatement statement(database(), fmt::format("pragma table_info({});", tableName()));
  if (!statement.ok()) return columns;
  while (statement.step() == SQLITE_ROW) columns.push_back(statement.columnText(1));
  return columns;
}

PersistentClass::ObjectPtr PersistentClass::findFirstByCriteria(const std::string& criteria,
                                                                const std::optional<Parameters>& parameters) const {
  Objects objects = findByCriteria(criteria, parameters);
  return objects.empty() ? nullptr : objects.front();
}

PersistentClass::ObjectPtr PersistentClass::findByPK(int32_t pk) const {
  // The key is bound, so the statement is prepared once for every key.
  return findFirstByCriteria(fmt::format("WHERE {}.pk = ?", tableName()), Parameters{std::to_string(pk)});
}

PersistentClass::Objects PersistentClass::genericFindByCriteria(const std::string& criteria,
                                                                const std::optional<Parameters>& parameters) const {
  tableCheck();
  Objects objects;
  Lock lock(PersistentObject::getLocker());
  SQLiteStatement statement(database(), fmt::format("SELECT pk,* FROM {} {}", tableName(), criteria));
  if (!statement.ok()) {
    QoLog("Error select. {}, {}", statement.errorMessage(), className());
    return objects;
  }
  bindParameters(statement, parameters);
  while (statement.step() == SQLITE_ROW) {
    ObjectPtr object = create();
    object->setPk(statement.columnInt(0));
    const int columns = statement.columnCount();
    for (int index = 1; index < columns; ++index) {
      const std::string column = statement.columnName(index);
      if (column == "pk") continue;  // the key comes twice: "pk" and again within "*"
      const PersistentProperty* property = propertyNamed(PersistentNaming::stringAsPropertyString(column));
      // A column this build does not know (written by a newer one) is passed over; the
      // columns after it are still read.
      if (property == nullptr) continue;
      if (std::optional<PersistentValue> value = readColumn(statement, index, *property)) {
        object->setValue(*value, property->name);
      }
    }
    object->makeClean();
    objects.push_back(std::move(object));
  }
  return objects;
}

bool PersistentClass::nextPrimaryKey(int32_t& pk) const {
  SQLiteStatement select(database(), "SELECT SEQ FROM SQLITESEQUENCE WHERE NAME=?");
  if (!select.ok()) {
    QoLog("Error determining next PK value in table {}", tableName());
    return false;
  }
  select.bindText(1, tableName());
  if (select.step() != SQLITE_ROW) {
    QoLog("Error determining next PK value in table {}", tableName());
    return false;
  }
  const int32_t next = select.columnInt(0) + 1;
  SQLiteStatement update(database(), "UPDATE SQLITESEQUENCE set seq=? WHERE name=?");
  if (update.ok()) {
    update.bindInt(1, next);
    update.bindText(2, tableName());
  }
  if (!update.ok() || update.step() != SQLITE_DONE) {
    PersistentObject::reportWriteFailure(fmt::format("Error Message: {}", update.errorMessage()));
  }
  pk = next;
  return true;
}

void PersistentClass::genericSave(PersistentObject& object) const {
  if (object.alreadySaving_) return;
  object.alreadySaving_ = true;
  struct SavingFlag {
    PersistentObject& object;
    ~SavingFlag() { object.alreadySaving_ = false; }
  } savingFlag{object};

  tableCheck();
  if (object.pk_ == 0) {
    QoLog("Object of type '{}' seems to be uninitialised, perhaps init does not call super init.", className());
  }
  LockerGuard transaction(WriteTransaction::locker());
  Lock lock(PersistentObject::getLocker());

  const std::vector<std::string> skipped = transients();
  std::vector<const PersistentProperty*> stored;
  for (const PersistentProperty& property : propertiesWithEncodedTypes()) {
    if (!contains(skipped, property.name)) stored.push_back(&property);
  }

  bool dirty = object.isDirty();
  for (const PersistentProperty* property : stored) {
    if (dirty) break;
    const PersistentValue value = property->get(object);
    if (const auto* referenced = std::get_if<std::shared_ptr<PersistentObject>>(&value)) {
      dirty = (*referenced)->isDirty();
    }
  }
  if (!dirty) return;

  if (object.pk_ < 0) {
    int32_t next = -1;
    // No key: write nothing rather than a row under -1; the object stays dirty.
    if (!nextPrimaryKey(next)) return;
    object.pk_ = next;
  }

  std::string columns;
  std::string placeholders;
  for (const PersistentProperty* property : stored) {
    columns += ", " + PersistentNaming::stringAsSQLColumnName(property->name);
    placeholders += ", ?";
  }
  SQLiteStatement statement(
      database(), fmt::format("INSERT OR REPLACE INTO {} (pk{}) VALUES (?{})", tableName(), columns, placeholders));
  if (!statement.ok()) {
    PersistentObject::reportWriteFailure(fmt::format("Error preparing save SQL: {}", statement.errorMessage()));
  }
  statement.bindInt(1, object.pk_);
  int position = 2;
  for (const PersistentProperty* property : stored) {
    const PersistentValue value = property->get(object);
    const std::string className = property->className();
    if (std::holds_alternative<std::monostate>(value)) {
      statement.bindNull(position);
    } else if (const auto* referenced = std::get_if<std::shared_ptr<PersistentObject>>(&value)) {
      (*referenced)->save();
      statement.bindInt(position, (*referenced)->pk());
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      if (className == "NSData" || className == "NSMutableData") {
        statement.bindOptionalBlob(position, *text);
      } else {
        statement.bindText(position, *text);
      }
    } else {
      statement.bindText(position, numberText(value, property->typeCode));
    }
    ++position;
  }
  if (statement.step() != SQLITE_DONE) {
    PersistentObject::reportWriteFailure(fmt::format("Error inserting or updating row. {}", className()));
  }
  // Only a written row makes the object clean: a failed save is tried again by the next one.
  object.makeClean();
}

int64_t PersistentClass::countByCriteria(const std::string& criteria,
                                         const std::optional<Parameters>& parameters) const {
  tableCheck();
  Lock lock(PersistentObject::getLocker());
  SQLiteStatement statement(database(), fmt::format("SELECT COUNT(*) FROM {} {}", tableName(), criteria));
  if (!statement.ok()) return 0;
  bindParameters(statement, parameters);
  if (statement.step() != SQLITE_ROW) return 0;
  return statement.columnInt(0);
}

void PersistentClass::deleteObject(int32_t pk, bool /*cascade: no collection child rows to follow*/) const {
  if (pk < 0) return;
  tableCheck();
  // An absent row is deleted as a no-op: loading it first (with its joins) would only cost.
  LockerGuard transaction(WriteTransaction::locker());
  Lock lock(PersistentObject::getLocker());
  SQLiteStatement statement(database(), fmt::format("DELETE FROM {} WHERE pk = ?", tableName()));
  if (statement.ok()) statement.bindInt(1, pk);
  if (!statement.ok() || statement.step() != SQLITE_DONE) {
    PersistentObject::reportWriteFailure(fmt::format("Error deleting row in table: {}", statement.errorMessage()));
  }
}

void PersistentClass::deleteObjectsByCriteria(const std::string& criteria,
                                              const std::optional<Parameters>& parameters) const {
  tableCheck();
  LockerGuard transaction(WriteTransaction::locker());
  Lock lock(PersistentObject::getLocker());
  SQLiteStatement statement(database(), fmt::format("DELETE FROM {} {}", tableName(), criteria));
  if (statement.ok()) bindParameters(statement, parameters);
  if (!statement.ok() || statement.step() != SQLITE_DONE) {
    PersistentObject::reportWriteFailure(
        fmt::format("Error deleting from {}: {}", tableName(), statement.errorMessage()));
  }
}

}  // namespace velbor
