#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/persistence/PersistentEntity.h"

namespace velbor {

class QoSyncdirCopy;

// A pairing of the local copy (first) with the copy it pulls from (second).
class QoSyncdirCopyRelation : public PersistentEntity<QoSyncdirCopyRelation> {
 public:
  static std::string className() { return "QoSyncdirCopyRelation"; }
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt);
  // Saves the copies first; failures are logged, not raised.
  void save() override;

  static List getSyncdirCopyRelationsWithFirstPk(int32_t pk);
  static List getSyncdirCopyRelationsWithSecondPk(int32_t pk);
  static Ptr getSyncdirCopyRelationsWithFirstUuid(const std::string& firstUuid, const std::string& secondUuid);
  static Ptr getSyncdirCopyRelationWithFirstPk(int32_t firstPk, int32_t secondPk);
  static List getSyncdirCopyRelationsWithRemoteUuid(const std::string& uuid);
  // "<first 6 of first uuid>-<first 6 of second uuid>".
  static std::string hashWithFirstUuid(const std::string& firstUuid, const std::string& secondUuid);
  std::string relationHash() const;
  // Deletes the pairing and its mirror (the same copies the other way round).
  void forceRemove();

  const std::shared_ptr<QoSyncdirCopy>& firstSyncdirCopy() const { return firstSyncdirCopy_; }
  void setFirstSyncdirCopy(std::shared_ptr<QoSyncdirCopy> value) { firstSyncdirCopy_ = std::move(value); }
  const std::shared_ptr<QoSyncdirCopy>& secondSyncdirCopy() const { return secondSyncdirCopy_; }
  void setSecondSyncdirCopy(std::shared_ptr<QoSyncdirCopy> value) { secondSyncdirCopy_ = std::move(value); }

 private:
  std::shared_ptr<QoSyncdirCopy> firstSyncdirCopy_;
  std::shared_ptr<QoSyncdirCopy> secondSyncdirCopy_;
};

}  // namespace velbor
