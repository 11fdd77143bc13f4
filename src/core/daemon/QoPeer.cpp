#include "core/daemon/QoPeer.h"

#include <algorithm>

#include "core/entity/QoFile.h"

namespace velbor {

int64_t QoPeer::nsdateToMacOSTime(Date date) {
  // duration_cast truncates toward zero, also before 1970.
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

QoPeer::Date QoPeer::macOSTimeToNsDate(int64_t milliseconds) {
  // A peer's time may lie beyond what the clock's ticks can hold: clamp rather than overflow.
  using Limit = std::chrono::duration<int64_t, std::milli>;
  const auto maxMs = std::chrono::duration_cast<Limit>(Date::duration::max()).count();
  const auto minMs = std::chrono::duration_cast<Limit>(Date::duration::min()).count();
  milliseconds = std::clamp<int64_t>(milliseconds, minMs, maxMs);
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(milliseconds)));
}

bool QoPeer::compareFileContentModTime(int64_t time1, int64_t time2) {
  return time1 / 1000 == time2 / 1000;
}

int QoPeer::convertEncryptLevelFromPbToQo(int level) { return level; }

int QoPeer::convertEncryptLevelFromQoToPb(int level) { return level; }

int QoPeer::convertDeviceTypeFromPbToQo(int type) {
  if (type == 2) return 3;
  if (type == 3) return 2;
  if (type < 0 || type > 5) return 6;
  return type;
}

int QoPeer::convertDeviceTypeFromQoToPb(int type) {
  if (type == 2) return 3;
  if (type == 3) return 2;
  if (type < 0 || type > 5) return 0;
  return type;
}

int QoPeer::convertFileTypeFromPbToQo(int type) { return type == 0 || type == 1 ? type : 3; }

int QoPeer::convertFileTypeFromQoToPb(int type) { return type == 1 ? 1 : 0; }

int QoPeer::convertFileStatusFromPbToQo(int status) { return status == 0 ? 1 : 0; }

int QoPeer::convertFileStatusFromQoToPb(int status) { return status == 1 ? 0 : 1; }

int QoPeer::convertDeviceStatusFromQoToPb(int status) { return status; }

int QoPeer::convertDeviceStatusFromPbToQo(int status) { return status; }

std::string QoPeer::getPbTypeString(int pbType) {
  return QoFile::getTypeString(convertFileTypeFromPbToQo(pbType));
}

std::string QoPeer::getPbStatusString(int pbStatus) {
  return QoFile::getStatusString(convertFileStatusFromPbToQo(pbStatus));
}

}  // namespace velbor
