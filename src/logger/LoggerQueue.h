#pragma once

#include "logger/Logger.h"

namespace velbor {

// Inserts a finalized message after the last queued message whose sequence number is not
// greater than its own, then hands the queue to the worker, or renders it on the console
// when no worker runs and console output is on.
void LoggerPushMessageToQueue(Logger* logger, LoggerMessageRef message);

// Puts a client-information message at the front of the queue, behind a message that is
// partly sent.
void LoggerPushClientInfoToFrontOfQueue(Logger* logger);

// The client-information message: client name and version, system name and version, model.
LoggerMessageRef LoggerClientInfoMessage();

}  // namespace velbor
