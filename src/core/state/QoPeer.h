#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace google::protobuf {
template <typename Element>
class RepeatedField;
}  // namespace google::protobuf

namespace velbor {

class QoFile;
class QoFileAndSyncdirCopyRelation;
class QoSyncdirCopyRelation;
class Vclock;

namespace pb {
class Stat;
class SyncInfo;
}  // namespace pb

// Conversions between the local records and the wire's: times, the enums whose numbering
// differs (device type swaps 2 and 3, file status is inverted), file records against Stat,
// pairings against SyncInfo, and the vector clock counters.
class QoPeer {
 public:
  using Date = std::chrono::system_clock::time_point;

  QoPeer() = delete;

  // Milliseconds since 1970, truncated toward zero.
  static int64_t nsdateToMacOSTime(Date date);
  static Date macOSTimeToNsDate(int64_t milliseconds);
  // Whether two millisecond times fall in the same whole second (each divided by 1000,
  // truncating toward zero).
  static bool compareFileContentModTime1(int64_t time1, int64_t time2);

  static int convertEncryptLevelFromPbToQo(int level);
  static int convertEncryptLevelFromQoToPb(int level);
  static int convertDeviceTypeFromPbToQo(int type);
  static int convertDeviceTypeFromQoToPb(int type);
  static int convertFileTypeFromPbToQo(int type);
  static int convertFileTypeFromQoToPb(int type);
  static int convertFileStatusFromPbToQo(int status);
  static int convertFileStatusFromQoToPb(int status);
  static int convertDeviceStatusFromQoToPb(int status);
  static int convertDeviceStatusFromPbToQo(int status);
  static int convertBoolFromQoToPb(bool value);
  static bool convertBoolFromPbToQo(int value);

  // Vector clock counters are 64-bit here and int32 on the wire (Stat.vclock,
  // GetRequest.vclock). This is the one place they cross: a counter above INT32_MAX is
  // refused (QoExceptionZeGeneral), never wrapped; a negative counter from a peer is
  // malformed input (QoExceptionZeBadFormat).
  static std::vector<int32_t> convertVclockFromQoToPb(const Vclock& clock);
  static std::vector<uint64_t> convertVclockFromPbToQo(const google::protobuf::RepeatedField<int32_t>& counters);

  // The Stat of one file-in-copy record, or nullptr when the record has no file. A null
  // record fails the assertion.
  static std::shared_ptr<pb::Stat> convertToPbStatFromQoFileRelation(
      const std::shared_ptr<QoFileAndSyncdirCopyRelation>& relation);
  // A new, unsaved file record from a peer's Stat (nullptr for none). The device type does
  // not change the result.
  static std::shared_ptr<QoFile> convertToQoFileFromPbStat(const pb::Stat* stat, int deviceType);
  // A new, unsaved record of the pairing's local copy from the peer's Stat: its path made
  // absolute below the local root (a peer path that could leave it raises
  // QoExceptionZeBadPath), its clock reordered from the remote copy order to the local one.
  static std::shared_ptr<QoFileAndSyncdirCopyRelation> convertToFileRelationFromPbStat(
      const pb::Stat* stat, const std::shared_ptr<QoSyncdirCopyRelation>& relation,
      const std::vector<std::string>& localUuidList, const std::vector<std::string>& remoteUuidList);
  // The pairing as told from this device; both copies and the remote device must exist.
  static pb::SyncInfo convertSyncInfoFromQoToPb(const std::shared_ptr<QoSyncdirCopyRelation>& relation);

  // "f"/"d" (or "unkown") for a wire file type; "o"/"r" for a wire file status.
  static std::string getPbTypeString(int pbType);
  static std::string getPbStatusString(int pbStatus);
  // Image name for a local device type: "windows2", "linux", "android1", or the desktop
  // theme's standard computer image.
  static std::string getDeviceIconNameByType(int type);
};

}  // namespace velbor
