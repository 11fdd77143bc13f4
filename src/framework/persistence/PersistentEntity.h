#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "framework/persistence/PersistentClass.h"
#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteStatement.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"

namespace velbor {

// The class operations of an entity class T. T declares
//   static std::string className();
//   static std::vector<PersistentProperty> propertiesWithEncodedTypes();
//   static std::vector<std::string> propertiesOrderedArray();
// and may hide transients(), uniques(), indices() and findByCriteria() with its own; every
// query below goes through T::findByCriteria.
template <class T>
class PersistentEntity : public PersistentObject {
 public:
  using Ptr = std::shared_ptr<T>;
  using List = std::vector<Ptr>;

  using PersistentObject::deleteObject;

  static const PersistentClass& classInfo() {
    // Never destroyed: jobs still running at exit use it.
    static const PersistentClass& info = *new PersistentClass(PersistentClass::Declaration{
        T::className(), []() -> PersistentClass::ObjectPtr { return std::make_shared<T>(); },
        [] { return T::propertiesOrderedArray(); }, [] { return T::transients(); }, [] { return T::uniques(); },
        [] { return T::indices(); }, [] { return T::propertiesWithEncodedTypes(); },
        [](const std::string& criteria, const std::optional<Parameters>& parameters) {
          PersistentClass::Objects objects;
          for (auto& object : T::findByCriteria(criteria, parameters)) objects.push_back(std::move(object));
          return objects;
        }});
    return info;
  }
  const PersistentClass& persistentClass() const override { return classInfo(); }

  // This object as its own type; it must be owned by a std::shared_ptr.
  Ptr self() { return std::static_pointer_cast<T>(shared_from_this()); }
  std::shared_ptr<const T> self() const { return std::static_pointer_cast<const T>(shared_from_this()); }

  // Declarations with their defaults; a class without columns raises on table creation.
  static std::vector<std::string> propertiesOrderedArray() { throw Exception("", ""); }
  static std::vector<std::string> transients() { return {}; }
  static std::vector<std::string> uniques() { return {}; }
  static std::vector<std::vector<std::string>> indices() { return {}; }

  static std::string tableName() { return classInfo().tableName(); }
  static void tableCheck() { classInfo().tableCheck(); }
  static std::vector<std::string> tableColumns() { return classInfo().tableColumns(); }
  static int propertiesOrderedArrayCount() { return classInfo().propertiesOrderedArrayCount(); }

  // The generic load; T may hide it with its own reader.
  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt) {
    List list;
    for (auto& object : classInfo().genericFindByCriteria(criteria, parameters)) {
      list.push_back(std::static_pointer_cast<T>(object));
    }
    return list;
  }
  template <typename... Args>
  static List findByCriteriaFormat(fmt::format_string<Args...> format, Args&&... args) {
    return T::findByCriteria(fmt::format(format, std::forward<Args>(args)...));
  }
  static Ptr findFirstByCriteria(const std::string& criteria,
                                 const std::optional<Parameters>& parameters = std::nullopt) {
    List list = T::findByCriteria(criteria, parameters);
    return list.empty() ? nullptr : list.front();
  }
  template <typename... Args>
  static Ptr findFirstByCriteriaFormat(fmt::format_string<Args...> format, Args&&... args) {
    return findFirstByCriteria(fmt::format(format, std::forward<Args>(args)...));
  }
  // The key is bound, so the statement is prepared once for every key.
  static Ptr findByPK(int32_t pk) {
    return findFirstByCriteria(fmt::format("WHERE {}.pk = ?", tableName()), Parameters{std::to_string(pk)});
  }
  static List allObjects() { return T::findByCriteria(""); }

  static int64_t count() { return countByCriteria(""); }
  static int64_t countByCriteria(const std::string& criteria,
                                 const std::optional<Parameters>& parameters = std::nullopt) {
    return classInfo().countByCriteria(criteria, parameters);
  }

  static void deleteObject(int32_t pk, bool cascade) { classInfo().deleteObject(pk, cascade); }
  static void deleteObjectsByCriteria(const std::string& criteria,
                                      const std::optional<Parameters>& parameters = std::nullopt) {
    classInfo().deleteObjectsByCriteria(criteria, parameters);
  }

 protected:
  // For the classes' own readers: binds the parameters as text from position 1; a bind
  // that fails is logged and the statement still runs.
  static void bindCriteriaParameters(SQLiteStatement& statement, const std::optional<Parameters>& parameters) {
    if (!parameters) return;
    int position = 1;
    for (const std::string& parameter : *parameters) {
      if (statement.bindText(position++, parameter) != SQLITE_OK) {
        QoLog("*** bind error, {}, {}", statement.errorMessage(), tableName());
      }
    }
  }
};

}  // namespace velbor
