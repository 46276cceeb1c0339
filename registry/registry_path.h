#pragma once

#include <cstdint>
#include <span>

#include "core/ostring.h"

// Registry path text, free of registry calls.
//
// Written form: a root ("LOCAL:", "2:", ...), then key names separated by '/'
// ('\' is accepted and turned into '/'). Inside a name "//" is a literal '/',
// "::" a literal ':' and "%%" a literal '%'; these become the percent escapes
// "%2F", "%3A" and "%25" at once and are decoded only when a subkey or value
// name is finally handed to the registry.
//
// Resolved form: a hive digit (0 classes root, 1 current user, 2 local
// machine, 3 users), ':', then the subkey path with '/' separators.
namespace RegistryPath {

// Hive numbers of the resolved form.
constexpr int32_t kClassesRoot = 0;
constexpr int32_t kCurrentUser = 1;
constexpr int32_t kLocalMachine = 2;
constexpr int32_t kUsers = 3;

// Resolved forms of "USER:", "LOCAL:" and "PRINT:": the keys the printer
// registry mirrors per user.
constexpr const wchar_t* kUserDrivers = L"1:SOFTWARE/Brantheon/Drivers";
constexpr const wchar_t* kLocalDrivers = L"2:SOFTWARE/Brantheon/Drivers";
constexpr const wchar_t* kPrintKey = L"2:SYSTEM/CurrentControlSet/Control/Print";

// One row of a root table: an alias and the text that replaces it.
struct RootAlias {
    const wchar_t* alias;
    const wchar_t* replacement;
};

// '%' -> "%25" first, then '/' -> "%2F", ':' -> "%3A". Used on every name taken
// from outside (printer, port, server names; subkey names) before it is joined
// into a path.
OString EscapeName(const OString& text);

// Decodes "%XY" (either letter case) into the character XY. Text of two
// characters or fewer is returned unchanged, and an escape is decoded only
// where two characters follow the '%'. A decoded '%' is not decoded again.
OString UnescapeName(const OString& text);

// The step behind every root alias and token:
// - the whole path equals the alias (ASCII case ignored): it becomes the
//   replacement;
// - an alias holding ':' that matches the start of the path up to that ':'
//   (ASCII case ignored): replacement + "/" + rest, without the "/" when the
//   replacement ends in '/' or ':';
// - an alias without ':': every exact occurrence anywhere is replaced.
void ReplaceRoot(OString& path, const OString& alias, const OString& replacement);

// ReplaceRoot for each row of table, in table order.
void ApplyAliases(OString& path, std::span<const RootAlias> table);

// True when text begins with prefix, ASCII letter case ignored.
bool StartsWithNoCase(const OString& text, const wchar_t* prefix);

// The ten hive aliases in the order they are applied ("CLASSES_ROOT:" ...
// "ENUM:"); a path holding no ':' is left alone.
void ResolveStandardRoots(OString& path);

// The path-splitting steps of a value operation, before root resolution.
// key is the base key path, name the caller's value name (relative, or
// absolute when it holds ':' at index 1 or later). On success key is the key
// path (unresolved) and name the decoded value name (empty when the caller's
// name was empty: then key names the whole path). False when the combined
// path holds neither ':' nor '/'.
bool SplitValuePath(OString& key, OString& name);

// Joins a key path and an already escaped name with '/', leaving the '/' out
// when the key is empty or ends in ':' or '/'.
OString JoinKey(const OString& key, const OString& escapedName);

// Splits a resolved path into its hive number (0..3) and the decoded subkey
// with '\' separators and no trailing '\'. The hive text is read as decimal
// from its leading digits (none reads as 0). False when there is no ':' at
// index 1 or later, the hive is not 0..3, or the subkey is empty.
bool SplitRoot(const OString& resolved, int32_t& hive, OString& subkey);

}  // namespace RegistryPath
