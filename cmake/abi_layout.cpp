// Prints what a host's compiler makes of the public header: the vtable slot of
// each DriverInterface member and the size, alignment and field offsets of
// each public structure. Built once with mingw-w64 g++ and once for the MSVC
// ABI, so the ABI manifest records what both kinds of host see, measured, not
// restated from the header's comments.
//
// Slots are found by calling each member through an object whose vtable is a
// row of stubs that each note their own index: this is exactly the entry a
// host's call reads, whichever ABI placed it. Built without a C runtime for
// the MSVC ABI (this machine has no Microsoft runtime), so it declares the
// few system functions it needs and formats numbers itself.

#include "quorvel_driver_utility.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
}

// Nothing is allocated; a deleting destructor still names these.
void operator delete(void*) noexcept {}
void operator delete(void*, decltype(sizeof(0))) noexcept {}

namespace {

constexpr unsigned long kStdOutput = static_cast<unsigned long>(-11);
constexpr int kSlots = 40;

int g_slot = -1;

template <int N>
void* Stub() {
    g_slot = N;
    return nullptr;
}

using SlotFunction = void* (*)();
#define QV_STUBS4(n) Stub<n>, Stub<n + 1>, Stub<n + 2>, Stub<n + 3>
#define QV_STUBS20(n) \
    QV_STUBS4(n), QV_STUBS4(n + 4), QV_STUBS4(n + 8), QV_STUBS4(n + 12), QV_STUBS4(n + 16)
const SlotFunction g_table[kSlots] = {QV_STUBS20(0), QV_STUBS20(20)};
#undef QV_STUBS20
#undef QV_STUBS4

struct FakeObject {
    const SlotFunction* vtable;
};

class Output {
public:
    Output& operator<<(const char* text) {
        while (*text != '\0') {
            Put(*text++);
        }
        return *this;
    }
    Output& operator<<(unsigned long long value) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) {
            Put(digits[--count]);
        }
        return *this;
    }
    Output& operator<<(int value) {
        if (value < 0) {
            Put('-');
            return *this << static_cast<unsigned long long>(-static_cast<long long>(value));
        }
        return *this << static_cast<unsigned long long>(value);
    }
    ~Output() { Flush(); }

private:
    void Put(char c) {
        if (m_used == sizeof(m_buffer)) {
            Flush();
        }
        m_buffer[m_used++] = c;
    }
    void Flush() {
        unsigned long written = 0;
        WriteFile(GetStdHandle(kStdOutput), m_buffer, m_used, &written, nullptr);
        m_used = 0;
    }

    char m_buffer[1024];
    unsigned long m_used = 0;
};

int Run() {
    Output out;
    FakeObject fake{g_table};
    DriverInterface* volatile driver = reinterpret_cast<DriverInterface*>(&fake);
    DriverCommand record;
    auto slot = [&](const char* name, auto call) {
        g_slot = -1;
        call();
        out << "vtable DriverInterface " << g_slot << " " << name << "\n";
    };
    // Entry 0 is the destructor for an MSVC host, DeleteThis for a g++ one:
    // the same slot under one name.
#if defined(_MSC_VER)
    slot("destroy", [&] { delete driver; });
#else
    slot("destroy", [&] { driver->DeleteThis(1); });
#endif
    slot("SetPrinterHandle", [&] { driver->SetPrinterHandle(nullptr); });
    slot("IsAdvanced", [&] { driver->IsAdvanced(); });
    slot("LibraryTypesSlot3", [&] { driver->LibraryTypesSlot3(); });
    slot("LibraryTypesSlot4", [&] { driver->LibraryTypesSlot4(); });
    slot("HasPrinterStatus", [&] { driver->HasPrinterStatus(0); });
    slot("GetPrinterStatusSeverity", [&] { driver->GetPrinterStatusSeverity(); });
    slot("GetPrinterStatusFlags", [&] { driver->GetPrinterStatusFlags(); });
    slot("GetPrinterExtendedStatusFlags", [&] { driver->GetPrinterExtendedStatusFlags(); });
    slot("LibraryTypesSlot9", [&] { driver->LibraryTypesSlot9(); });
    slot("LibraryTypesSlot10", [&] { driver->LibraryTypesSlot10(); });
    slot("Command", [&] { driver->Command(0, record); });
    slot("LibraryTypesSlot12", [&] { driver->LibraryTypesSlot12(); });
    slot("LibraryTypesSlot13", [&] { driver->LibraryTypesSlot13(); });
    slot("LibraryTypesSlot14", [&] { driver->LibraryTypesSlot14(); });
    slot("ResetSettings", [&] { driver->ResetSettings(0); });
    slot("PauseJob", [&] { driver->PauseJob(0); });
    slot("ResumeJob", [&] { driver->ResumeJob(0); });
    slot("DeleteJob", [&] { driver->DeleteJob(0); });
    slot("RestartJob", [&] { driver->RestartJob(0); });
    slot("SetJobPriority", [&] { driver->SetJobPriority(0, 0); });
    slot("SetJobStartTime", [&] { driver->SetJobStartTime(0, 0); });
    slot("SetJobUntilTime", [&] { driver->SetJobUntilTime(0, 0); });
    slot("LibraryTypesSlot23", [&] { driver->LibraryTypesSlot23(); });
    slot("LibraryTypesSlot24", [&] { driver->LibraryTypesSlot24(); });
    slot("LibraryTypesSlot25", [&] { driver->LibraryTypesSlot25(); });
    slot("LibraryTypesSlot26", [&] { driver->LibraryTypesSlot26(); });
    slot("IsBidiEnabled", [&] { driver->IsBidiEnabled(); });

#define QV_STRUCT(type)                                                                           \
    out << "struct " #type " size " << static_cast<unsigned long long>(sizeof(type)) << " align " \
        << static_cast<unsigned long long>(alignof(type)) << "\n"
#define QV_FIELD(type, field)                                                                      \
    out << "field " #type "." #field " " << static_cast<unsigned long long>(offsetof(type, field)) \
        << " " << static_cast<unsigned long long>(sizeof(type::field)) << "\n"
    QV_STRUCT(QV_STATUS_SNAPSHOT);
    QV_FIELD(QV_STATUS_SNAPSHOT, cbSize);
    QV_FIELD(QV_STATUS_SNAPSHOT, sequence);
    QV_FIELD(QV_STATUS_SNAPSHOT, severity);
    QV_FIELD(QV_STATUS_SNAPSHOT, flags);
    QV_FIELD(QV_STATUS_SNAPSHOT, extendedFlags);
    QV_FIELD(QV_STATUS_SNAPSHOT, provenance);
    QV_FIELD(QV_STATUS_SNAPSHOT, ageMs);
    QV_FIELD(QV_STATUS_SNAPSHOT, changedAt);
    QV_FIELD(QV_STATUS_SNAPSHOT, unreachableSince);
    QV_FIELD(QV_STATUS_SNAPSHOT, text);
    QV_FIELD(QV_STATUS_SNAPSHOT, provenanceText);
    QV_STRUCT(DriverCommand);
    QV_FIELD(DriverCommand, parentWindow);
    QV_FIELD(DriverCommand, supported);
    QV_FIELD(DriverCommand, hasUserInterface);
    QV_FIELD(DriverCommand, dalActionBit20);
    QV_FIELD(DriverCommand, dalActionBit10);
    QV_FIELD(DriverCommand, execute);
#undef QV_FIELD
#undef QV_STRUCT
    out << "constant QV_STATUS_SNAPSHOT_SIZE_V1 "
        << static_cast<unsigned long long>(QV_STATUS_SNAPSHOT_SIZE_V1) << "\n";
    return 0;
}

}  // namespace

#if defined(_MSC_VER)
extern "C" void mainCRTStartup() {
    ExitProcess(static_cast<unsigned int>(Run()));
}
#else
int main() {
    return Run();
}
#endif
