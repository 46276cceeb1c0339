#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "driver_interface/basic_interface.h"

namespace {
const void* g_lastFreed = nullptr;
}  // namespace

// Tells whether entry 0 freed the object: the last block freed is it.
// The library's operator new is malloc, so free is its match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    g_lastFreed = block;
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    ::operator delete(block);
}

namespace {

// Slot n is vtable entry n, for hosts of Microsoft's compiler too. Under the
// Itanium ABI (g++) a pointer to a virtual member holds 1 + the byte offset of
// its entry; a C++ virtual destructor would take two entries and shift all.
template <typename F>
int EntryOf(F function) {
    uintptr_t raw = 0;
    static_assert(sizeof(F) >= sizeof raw);
    std::memcpy(&raw, &function, sizeof raw);
    EXPECT_EQ(raw % sizeof(void*), 1u) << "not a virtual function";
    return static_cast<int>((raw - 1) / sizeof(void*));
}

TEST(DriverInterfaceSlots, OperationsStayInContractOrder) {
    using D = DriverInterface;
    struct Row {
        int slot;
        int entry;
        const char* name;
    };
    const Row rows[] = {
        {0, EntryOf(&D::DeleteThis), "DeleteThis"},
        {1, EntryOf(&D::SetPrinterHandle), "SetPrinterHandle"},
        {2, EntryOf(&D::IsAdvanced), "IsAdvanced"},
        {3, EntryOf(&D::GetPrinterStatusText), "GetPrinterStatusText"},
        {4, EntryOf(&D::GetJobStatusText), "GetJobStatusText"},
        {5, EntryOf(&D::HasPrinterStatus), "HasPrinterStatus"},
        {6, EntryOf(&D::GetPrinterStatusSeverity), "GetPrinterStatusSeverity"},
        {7, EntryOf(&D::GetPrinterStatusFlags), "GetPrinterStatusFlags"},
        {8, EntryOf(&D::GetPrinterExtendedStatusFlags), "GetPrinterExtendedStatusFlags"},
        {9, EntryOf(&D::GetPrinterDriverVersion), "GetPrinterDriverVersion"},
        {10, EntryOf(&D::GetPrinterDriverDate), "GetPrinterDriverDate"},
        {11, EntryOf(&D::Command), "Command"},
        {12, EntryOf(&D::SendFile), "SendFile"},
        {13, EntryOf(&D::ImportSettings), "ImportSettings"},
        {14, EntryOf(&D::ExportSettings), "ExportSettings"},
        {15, EntryOf(&D::ResetSettings), "ResetSettings"},
        {16, EntryOf(&D::PauseJob), "PauseJob"},
        {17, EntryOf(&D::ResumeJob), "ResumeJob"},
        {18, EntryOf(&D::DeleteJob), "DeleteJob"},
        {19, EntryOf(&D::RestartJob), "RestartJob"},
        {20, EntryOf(&D::SetJobPriority), "SetJobPriority"},
        {21, EntryOf(&D::SetJobStartTime), "SetJobStartTime"},
        {22, EntryOf(&D::SetJobUntilTime), "SetJobUntilTime"},
        {23, EntryOf(&D::SendDalQuery), "SendDalQuery"},
        {24, EntryOf(&D::SendDalQueryEx), "SendDalQueryEx"},
        {25, EntryOf(&D::GetDalQueryStatus), "GetDalQueryStatus"},
        {26, EntryOf(&D::GetDalQueryResponse), "GetDalQueryResponse"},
        {27, EntryOf(&D::IsBidiEnabled), "IsBidiEnabled"},
        {28, EntryOf(&D::GetOdometer), "GetOdometer"},
        {29, EntryOf(&D::SetOdometer), "SetOdometer"},
        // Introduced by the basic interface, after the contract's last slot.
        {30, EntryOf(&BasicDriverInterface::GetEventLog), "GetEventLog"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.entry, row.slot);
    }
}

TEST(DriverInterfaceSlots, EntryZeroDestroysAndFreesOnlyWhenAsked) {
    alignas(BasicDriverInterface) unsigned char storage[sizeof(BasicDriverInterface)];
    auto* placed = new (storage) BasicDriverInterface();
    std::weak_ptr<OEventLog> log = placed->GetEventLog();
    EXPECT_EQ(placed->DeleteThis(0), storage) << "flags 0: destroyed in place, not freed";
    EXPECT_TRUE(log.expired()) << "the destructor did not run";
    EXPECT_NE(g_lastFreed, storage);

    DriverInterface* heap = CreateDriverInterface(nullptr).release();
    log = static_cast<BasicDriverInterface*>(heap)->GetEventLog();
    EXPECT_EQ(heap->DeleteThis(DriverInterface::kDeleteMemory), heap);
    // Freed as memory, kept as an address: no later interface gets it.
    MEMORY_BASIC_INFORMATION freed = {};
    ASSERT_NE(::VirtualQuery(heap, &freed, sizeof freed), 0u);
    EXPECT_EQ(freed.State, static_cast<DWORD>(MEM_RESERVE));
    EXPECT_TRUE(log.expired());
}

}  // namespace
