#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/persistence/PersistentProperty.h"

namespace velbor {

class PersistentObject;

// What the mapping layer knows of one entity class at run time: its names, its declared
// columns and properties, how to make an object and how to query it. Each entity class has
// exactly one (PersistentEntity<T>::classInfo()). The generic table creation, migration,
// load, save, count and delete work on it.
class PersistentClass {
 public:
  using ObjectPtr = std::shared_ptr<PersistentObject>;
  using Objects = std::vector<ObjectPtr>;
  using Parameters = std::vector<std::string>;
  using Finder = std::function<Objects(const std::string& criteria, const std::optional<Parameters>& parameters)>;

  struct Declaration {
    std::string className;
    std::function<ObjectPtr()> create;
    std::function<std::vector<std::string>()> propertiesOrderedArray;
    std::function<std::vector<std::string>()> transients;
    std::function<std::vector<std::string>()> uniques;
    std::function<std::vector<std::vector<std::string>>()> indices;
    std::function<std::vector<PersistentProperty>()> propertiesWithEncodedTypes;
    // The class's query entry point (its own reader, or the generic load).
    Finder findByCriteria;
  };

  explicit PersistentClass(Declaration declaration);
  PersistentClass(const PersistentClass&) = delete;
  PersistentClass& operator=(const PersistentClass&) = delete;

  // A class whose descriptor has been made in this process, by class name; null otherwise.
  static const PersistentClass* classNamed(const std::string& className);
  // Forgets which tables have been made, so each class checks its table again on next use.
  static void clearCache();

  const std::string& className() const { return declaration_.className; }
  const std::string& tableName() const { return tableName_; }
  ObjectPtr create() const { return declaration_.create(); }
  // Raises a plain exception for a class that declares no columns.
  std::vector<std::string> propertiesOrderedArray() const { return declaration_.propertiesOrderedArray(); }
  std::vector<std::string> transients() const { return declaration_.transients(); }
  std::vector<std::string> uniques() const { return declaration_.uniques(); }
  std::vector<std::vector<std::string>> indices() const { return declaration_.indices(); }
  // The stored properties in their fixed order (built once).
  const std::vector<PersistentProperty>& propertiesWithEncodedTypes() const;
  const PersistentProperty* propertyNamed(const std::string& name) const;
  // Columns of the table, pk included: where a joined table's columns begin.
  int propertiesOrderedArrayCount() const;

  // Creates the table (and those of referenced entity classes) once per run, and adds
  // columns for properties that have none yet.
  void tableCheck() const;
  std::vector<std::string> tableColumns() const;

  Objects findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) const {
    return declaration_.findByCriteria(criteria, parameters);
  }
  ObjectPtr findFirstByCriteria(const std::string& criteria,
                                const std::optional<Parameters>& parameters = std::nullopt) const;
  ObjectPtr findByPK(int32_t pk) const;

  // The generic row reader and writer, for classes without their own SQL.
  Objects genericFindByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) const;
  void genericSave(PersistentObject& object) const;

  int64_t countByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) const;
  void deleteObject(int32_t pk, bool cascade) const;
  void deleteObjectsByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) const;

 private:
  void createTable() const;
  void migrate() const;
  bool nextPrimaryKey(int32_t& pk) const;

  Declaration declaration_;
  std::string tableName_;
};

}  // namespace velbor
