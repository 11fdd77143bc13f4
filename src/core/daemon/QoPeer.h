#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace velbor {

// Conversions between the local records' values and the wire's: times, and the enums
// whose numbering differs (device type swaps 2 and 3, file status is inverted).
class QoPeer {
 public:
  using Date = std::chrono::system_clock::time_point;

  QoPeer() = delete;

  // Milliseconds since 1970, truncated toward zero.
  static int64_t nsdateToMacOSTime(Date date);
  static Date macOSTimeToNsDate(int64_t milliseconds);
  // Whether two millisecond times fall in the same whole second (each divided by 1000,
  // truncating toward zero).
  static bool compareFileContentModTime(int64_t time1, int64_t time2);

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

  // "f"/"d" (or "unkown") for a wire file type; "o"/"r" for a wire file status.
  static std::string getPbTypeString(int pbType);
  static std::string getPbStatusString(int pbStatus);
};

}  // namespace velbor
