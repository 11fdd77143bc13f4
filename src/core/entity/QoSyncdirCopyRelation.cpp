#include "core/entity/QoSyncdirCopyRelation.h"

#include <map>

#include "core/entity/QoSyncdirCopy.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

sqlite3* database() { return SQLiteInstanceManager::sharedManager()->database(); }

}  // namespace

std::vector<std::string> QoSyncdirCopyRelation::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{"firstSyncdirCopy", "secondSyncdirCopy"};
  return properties;
}

std::vector<PersistentProperty> QoSyncdirCopyRelation::propertiesWithEncodedTypes() {
  return {PersistentProperty::entity("firstSyncdirCopy", &QoSyncdirCopyRelation::firstSyncdirCopy_),
          PersistentProperty::entity("secondSyncdirCopy", &QoSyncdirCopyRelation::secondSyncdirCopy_)};
}

QoSyncdirCopyRelation::List QoSyncdirCopyRelation::findByCriteria(const std::string& criteria,
                                                                  const std::optional<Parameters>& parameters) {
  // The copies are read while the statement lock is held: make sure their tables exist first.
  QoSyncdirCopy::tableCheck();
  List relations;
  Lock lock(getLocker());
  try {
    SQLiteStatement statement(database(), fmt::format("SELECT * FROM {} {}", tableName(), criteria));
    if (!statement.ok()) {
      QoLog("Error inserting or updating row. {}, {}", statement.errorMessage(), className());
      return relations;
    }
    bindCriteriaParameters(statement, parameters);
    std::map<int32_t, std::shared_ptr<QoSyncdirCopy>> copies;
    auto copyWithPk = [&copies](int32_t pk) -> std::shared_ptr<QoSyncdirCopy> {
      if (pk <= 0) return nullptr;
      auto found = copies.find(pk);
      if (found != copies.end()) return found->second;
      auto copy = QoSyncdirCopy::findByPK(pk);
      if (copy) copies[pk] = copy;
      return copy;
    };
    while (statement.step() == SQLITE_ROW) {
      auto relation = std::make_shared<QoSyncdirCopyRelation>();
      relation->setPk(statement.columnInt(0));
      const int32_t firstPk = statement.columnInt(1);
      const int32_t secondPk = statement.columnInt(2);
      relation->firstSyncdirCopy_ = copyWithPk(firstPk);
      relation->secondSyncdirCopy_ = copyWithPk(secondPk);
      relations.push_back(std::move(relation));
    }
  } catch (const std::exception&) {
    // The pairings read so far are the answer.
  }
  return relations;
}

void QoSyncdirCopyRelation::save() {
  try {
    LockerGuard transaction(WriteTransaction::locker());
    // Stored copies are only referenced, never rewritten from this snapshot.
    if (firstSyncdirCopy_ && firstSyncdirCopy_->pk() < 0) firstSyncdirCopy_->save();
    if (secondSyncdirCopy_ && secondSyncdirCopy_->pk() < 0) secondSyncdirCopy_->save();
    std::string assignments;
    if (firstSyncdirCopy_) assignments += "first_syncdir_copy=?";
    if (secondSyncdirCopy_) assignments += std::string(assignments.empty() ? "" : ", ") + "second_syncdir_copy=?";
    // Nothing to change in a stored row: the update then only tells whether it is there.
    if (assignments.empty()) assignments = "pk=pk";
    const auto failure = saveRow(fmt::format("UPDATE {} SET {} WHERE pk={}", tableName(), assignments, pk()),
                                 fmt::format("INSERT INTO {} values(null, ?, ?)", tableName()),
                                 [this](SQLiteStatement& statement, bool update) {
                                   int position = 1;
                                   if (firstSyncdirCopy_) statement.bindInt(position, firstSyncdirCopy_->pk());
                                   if (firstSyncdirCopy_ || !update) ++position;
                                   if (secondSyncdirCopy_) statement.bindInt(position, secondSyncdirCopy_->pk());
                                 });
    if (failure) reportWriteFailure(fmt::format("Error inserting or updating row. {}, {}", *failure, className()));
  } catch (const std::exception&) {
    // Dropped: the caller learns of a failed save from the unchanged key.
  }
}

QoSyncdirCopyRelation::List QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(int32_t pk) {
  return findByCriteria(fmt::format("WHERE first_syncdir_copy={}", pk));
}

QoSyncdirCopyRelation::List QoSyncdirCopyRelation::getSyncdirCopyRelationsWithSecondPk(int32_t pk) {
  return findByCriteria(fmt::format("WHERE second_syncdir_copy={}", pk));
}

QoSyncdirCopyRelation::Ptr QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(const std::string& firstUuid,
                                                                                       const std::string& secondUuid) {
  auto first = QoSyncdirCopy::getSyncdirCopyWithUuid(firstUuid);
  if (!first) return nullptr;
  auto second = QoSyncdirCopy::getSyncdirCopyWithUuid(secondUuid);
  if (!second) return nullptr;
  return getSyncdirCopyRelationWithFirstPk(first->pk(), second->pk());
}

QoSyncdirCopyRelation::Ptr QoSyncdirCopyRelation::getSyncdirCopyRelationWithFirstPk(int32_t firstPk, int32_t secondPk) {
  return findFirstByCriteria(fmt::format("WHERE first_syncdir_copy={} AND second_syncdir_copy={}", firstPk, secondPk));
}

QoSyncdirCopyRelation::List QoSyncdirCopyRelation::getSyncdirCopyRelationsWithRemoteUuid(const std::string& uuid) {
  auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(uuid);
  if (!copy) return {};
  return getSyncdirCopyRelationsWithSecondPk(copy->pk());
}

std::string QoSyncdirCopyRelation::hashWithFirstUuid(const std::string& firstUuid, const std::string& secondUuid) {
  return fmt::format("{}-{}", firstUuid.substr(0, 6), secondUuid.substr(0, 6));
}

std::string QoSyncdirCopyRelation::relationHash() const {
  return hashWithFirstUuid(firstSyncdirCopy_ ? firstSyncdirCopy_->uuid() : std::string(),
                           secondSyncdirCopy_ ? secondSyncdirCopy_->uuid() : std::string());
}

void QoSyncdirCopyRelation::forceRemove() {
  if (secondSyncdirCopy_ && firstSyncdirCopy_) {
    for (const Ptr& mirror : getSyncdirCopyRelationsWithFirstPk(secondSyncdirCopy_->pk())) {
      if (mirror->secondSyncdirCopy_ && mirror->secondSyncdirCopy_->pk() == firstSyncdirCopy_->pk()) {
        mirror->deleteObject();
      }
    }
  }
  deleteObject();
}

}  // namespace velbor
