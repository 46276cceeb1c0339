#pragma once

#include <cstddef>

#include "core/ostring.h"

// Warnings of the request path are written once per key in a process: a host
// that polls a printer that is switched off, or whose port cannot be stored,
// would otherwise write one line for every call and flood the log. The key
// names the place and what went wrong (source, endpoint, error code), never
// what changes from call to call. The memory keeps the last kRememberedKeys
// keys; a key it forgot is written again.
constexpr size_t kRememberedKeys = 256;

// True the first time key is seen (and remembered from now on). Thread-safe.
bool FirstReport(const OString& key);
