#include <windows.h>

#include <cstddef>
#include <cstring>

#include "driver_interface/export_boundary.h"
#include "driver_interface/status_watch.h"

// The status watch's flat exports, through the same boundary as every other
// export: a handle that is no live interface gives ERROR_INVALID_HANDLE, and
// nothing thrown reaches the host.

// Hosts in C# and Python declare the structure by hand: its layout is part of
// the interface.
static_assert(sizeof(QV_STATUS_SNAPSHOT) == QV_STATUS_SNAPSHOT_SIZE_V1);
static_assert(offsetof(QV_STATUS_SNAPSHOT, sequence) == 8);
static_assert(offsetof(QV_STATUS_SNAPSHOT, severity) == 16);
static_assert(offsetof(QV_STATUS_SNAPSHOT, flags) == 20);
static_assert(offsetof(QV_STATUS_SNAPSHOT, extendedFlags) == 24);
static_assert(offsetof(QV_STATUS_SNAPSHOT, provenance) == 28);
static_assert(offsetof(QV_STATUS_SNAPSHOT, ageMs) == 32);
static_assert(offsetof(QV_STATUS_SNAPSHOT, changedAt) == 40);
static_assert(offsetof(QV_STATUS_SNAPSHOT, unreachableSince) == 48);
static_assert(offsetof(QV_STATUS_SNAPSHOT, text) == 56);
static_assert(offsetof(QV_STATUS_SNAPSHOT, provenanceText) == 568);

namespace {

using Op = ExportBoundary::Operations;

// Cut to the array, always terminated.
template <size_t N>
void CopyText(wchar_t (&target)[N], const OString& text) {
    const size_t length = std::min(static_cast<size_t>(text.GetLength()), N - 1);
    std::memcpy(target, text.GetWide(), length * sizeof(wchar_t));
    target[length] = L'\0';
}

void Fill(QV_STATUS_SNAPSHOT& target, const WatchSnapshot& snapshot) {
    const unsigned long size = target.cbSize;
    std::memset(&target, 0, sizeof target);
    target.cbSize = size;
    target.sequence = snapshot.sequence;
    target.severity = snapshot.reading.severity;
    target.flags = snapshot.reading.flags;
    target.extendedFlags = snapshot.reading.extendedFlags;
    target.provenance = snapshot.reading.provenance.code;
    const uint64_t age = ::GetTickCount64() - snapshot.takenTick;
    target.ageMs = static_cast<unsigned long>(std::min<uint64_t>(age, 0xFFFFFFFFu));
    target.changedAt = snapshot.changedAt;
    target.unreachableSince = snapshot.unreachableSince;
    CopyText(target.text, snapshot.reading.text);
    CopyText(target.provenanceText, snapshot.reading.provenance.text);
}

// The interface's watch inside the boundary; call(watch, error) gives the
// result and may set error.
template <typename Call>
BOOL WithWatch(HDRIVERINTERFACE handle, const char* name, Call&& call) {
    return ExportBoundary::Guarded(handle, name, FALSE, [&](const Op& driver, DWORD& error) {
        DriverInterface& object = driver;
        return call(object, *object.Watch(), error) ? TRUE : FALSE;
    });
}

}  // namespace

extern "C" {

BOOL QVDI_WatchStatus(HDRIVERINTERFACE handle, DWORD intervalMs) {
    return WithWatch(
        handle, __func__, [&](DriverInterface& driver, InterfaceWatch& watch, DWORD& error) {
            error = watch.Start(intervalMs != 0 ? WatchKey(driver) : OString(), intervalMs);
            return error == ERROR_SUCCESS;
        });
}

BOOL QVDI_GetStatusSnapshot(HDRIVERINTERFACE handle, QV_STATUS_SNAPSHOT* snapshot) {
    if (snapshot == nullptr || snapshot->cbSize != QV_STATUS_SNAPSHOT_SIZE_V1) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WithWatch(handle, __func__, [&](DriverInterface&, InterfaceWatch& watch, DWORD& error) {
        WatchSnapshot latest;
        if (!watch.Snapshot(latest)) {
            error = ERROR_NOT_READY;
            return false;
        }
        Fill(*snapshot, latest);
        return true;
    });
}

BOOL QVDI_WaitForStatusChange(HDRIVERINTERFACE handle, unsigned long long* sequence,
                              DWORD timeoutMs) {
    if (sequence == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WithWatch(handle, __func__, [&](DriverInterface&, InterfaceWatch& watch, DWORD& error) {
        if (!watch.IsWatching()) {
            error = ERROR_NOT_READY;
            return false;
        }
        uint64_t current = *sequence;
        if (!watch.WaitForChange(current, timeoutMs)) {
            error = ERROR_TIMEOUT;
            return false;
        }
        *sequence = current;
        return true;
    });
}

BOOL QVDI_SetStatusCallback(HDRIVERINTERFACE handle, QV_STATUS_CALLBACK callback, void* context) {
    return WithWatch(handle, __func__, [&](DriverInterface&, InterfaceWatch& watch, DWORD&) {
        watch.SetCallback(callback, context);
        return true;
    });
}

BOOL QVDI_SetStatusMessage(HDRIVERINTERFACE handle, HWND window, UINT message) {
    return WithWatch(handle, __func__, [&](DriverInterface&, InterfaceWatch& watch, DWORD&) {
        watch.SetMessage(window, message);
        return true;
    });
}

}  // extern "C"
