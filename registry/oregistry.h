#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "core/arrays.h"
#include "core/handles.h"
#include "core/ostring.h"

// The registry addressed by path text instead of key handles.
//
// A path names a hive by digit ("2:") or by a root alias ("LOCAL:", "PRINT:",
// ...; see RegistryPath), with '/' between key names. Value names may be
// relative to the base key path ("Status/Status Monitoring Mode") or absolute
// ("NETWORK:TCP Enabled"). Every operation opens the key it needs, makes one
// registry call and closes the key: no handle is kept between calls, so an
// object can be copied, kept and destroyed freely. Failures are results; no
// operation throws except for allocation failure.
//
// Root resolution and key opening are virtual so that a derived class can add
// roots of its own and redirect keys (the printer registry).
//
// Not thread-safe: one object belongs to one thread at a time.
class ORegistry {
public:
    // Results of GetValue.
    static constexpr int32_t kCallFailed = -1;  // registry call failed (missing value included)
    static constexpr int32_t kBadPath = -2;     // the path does not parse
    static constexpr int32_t kNoKey = -3;       // the key does not open
    static constexpr int32_t kMoreData = -4;    // the value is larger than the buffer

    // Access masks of OpenKey: read-write first, then read-only.
    static constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F
    static constexpr REGSAM kReadOnly = KEY_READ;               // 0x20019

    ORegistry() = default;
    explicit ORegistry(const OString& keyPath) : m_keyPath(keyPath) {}
    ORegistry(const ORegistry& other) = default;
    ORegistry& operator=(const ORegistry& other) = default;
    virtual ~ORegistry() = default;

    // Rewrites root aliases into the resolved "<digit>:" form, in place. A path
    // holding no ':' is left alone.
    virtual void ResolveRoots(OString& path);
    // Opens a resolved path read-write, else read-only, else (create set)
    // creates it read-write. Returns the key, empty when none opens.
    // Aliases are not resolved here.
    virtual ORegKey OpenKey(const OString& resolvedPath, bool create);

    // The base key path that value names are resolved against.
    void SetKey(const OString& keyPath) { m_keyPath = keyPath; }
    const OString& GetKey() const { return m_keyPath; }
    // Bits OR-ed into the access mask of every open and create (0 by default).
    void SetExtraAccess(REGSAM bits) { m_extraAccess = bits; }
    REGSAM GetExtraAccess() const { return m_extraAccess; }

    // Splits key (in: base key path; out: resolved key path) and name (in: the
    // caller's value name; out: the decoded value name). Escapes are encoded,
    // an absolute name replaces the key, ResolveRoots is applied to the key.
    // False when the path has no ':' or '/'.
    bool ParsePath(OString& key, OString& name);

    // Reads the value's bytes into buffer (size bytes). Returns the stored byte
    // count, or kCallFailed / kBadPath / kNoKey / kMoreData. Never writes past
    // size bytes; the stored type is not looked at.
    int32_t GetValue(const OString& name, void* buffer, int32_t size);
    // The value as UTF-16 text up to its first NUL (see TextOf) when it holds 1
    // to 131070 bytes, else the default.
    OString GetString(const OString& name, const OString& defaultValue);
    // The value when exactly 4 bytes were read, else the default.
    uint32_t GetNumber(const OString& name, uint32_t defaultValue);
    // The value when exactly 1 byte was read, else the default.
    uint8_t GetByte(const OString& name, uint8_t defaultValue);

    // Writes length bytes of the given registry type, creating missing keys.
    // Returns length on success, else -1.
    int32_t SetValue(const OString& name, const void* data, int32_t length, DWORD type);
    // True when 4 bytes were written as REG_DWORD.
    bool SetNumber(const OString& name, uint32_t value);
    // As SetValue with REG_BINARY.
    int32_t SetBinary(const OString& name, const void* data, int32_t length);

    // Deletes the value name, or the key name when one of that name exists;
    // with recursive set, a key's subkeys are deleted first (deepest keys
    // first). True when the final registry deletion succeeded; a key that
    // still has subkeys is not deleted without recursion.
    bool Delete(const OString& name, bool recursive);
    // True when base key path + name opens as a key and can be queried.
    bool KeyExists(const OString& name);
    // Fills names with the subkeys of an absolute path, sorted by
    // OString::Compare (case-sensitive, by character code). Returns the count,
    // or -1 when the path cannot be parsed or opened.
    int32_t EnumerateKeys(const OString& path, OStringArray& names);

    static OString EscapeName(const OString& text);
    static OString UnescapeName(const OString& text);
    // See RegistryPath::ReplaceRoot.
    static void ReplaceRoot(OString& path, const OString& alias, const OString& replacement);
    // Hive handle and decoded subkey ('\' separators) of a resolved path.
    static bool SplitRoot(const OString& resolvedPath, HKEY& hive, OString& subkey);

    // Handle-level operations for callers holding keys of their own.
    // Opens the resolved key path without create and deletes its subkey
    // (isKey) or its value called name. True on success.
    bool DeleteAt(const OString& resolvedPath, const OString& name, bool isKey);
    // Writes raw bytes to an open key; length or -1.
    static int32_t WriteRaw(HKEY key, const OString& name, const void* data, int32_t length,
                            DWORD type);
    // The one read of a value from an open key, through the size-query helper:
    // firstBytes first, then as many as the registry says the value holds
    // (asked again when it grows meanwhile), never more than maxBytes
    // (firstBytes == maxBytes reads an exact size). Returns the stored byte
    // count with exactly those bytes in data; kMoreData when the value holds
    // more than maxBytes; kCallFailed otherwise (a missing value included),
    // data then empty. The stored type is not looked at.
    static int32_t QueryRaw(HKEY key, const OString& name, std::vector<uint8_t>& data,
                            DWORD firstBytes, DWORD maxBytes);
    // A value's bytes as UTF-16 text up to the first NUL, as read into a zeroed
    // buffer: a trailing odd byte is a character of its own.
    static OString TextOf(const std::vector<uint8_t>& data);
    // Subkey and value counts of an open key.
    static bool QueryCounts(HKEY key, DWORD& subkeys, DWORD& values);
    // Name of the subkey at index; false when there is none.
    static bool EnumKeyAt(HKEY key, DWORD index, OString& name);

private:
    // QueryRaw on the key of a value name (base key path + name); kBadPath or
    // kNoKey when the path does not parse or the key does not open.
    int32_t Read(const OString& name, std::vector<uint8_t>& data, DWORD firstBytes, DWORD maxBytes);

    OString m_keyPath;
    REGSAM m_extraAccess = 0;
};
