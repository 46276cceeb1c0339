#include "core/thread_slot.h"

#include <atomic>

namespace {

constexpr int kMaxSlots = OThreadSlot::kMaxSlots;
// Rounds of cleanups at a thread's end: a cleanup may set a value again (one
// that throws and catches gets a new exception record), but never forever.
constexpr int kCleanupRounds = 4;

// One thread's values. Every block is also in the list of all blocks, so that
// closing a slot reaches the values of every thread.
struct Block {
    void* values[kMaxSlots];
    Block* next;
    Block* previous;
};

std::atomic<DWORD> g_index{TLS_OUT_OF_INDEXES};
std::atomic<int> g_slots{0};
OThreadSlot::Cleanup g_cleanups[kMaxSlots] = {};
std::atomic<bool> g_open[kMaxSlots] = {};
// Guards the list of blocks; held only while the list or another thread's
// values are read or changed, never while a cleanup runs.
SRWLOCK g_lock = SRWLOCK_INIT;
Block* g_blocks = nullptr;
std::atomic<bool> g_processExiting{false};

void Link(Block* block) noexcept {
    ::AcquireSRWLockExclusive(&g_lock);
    block->next = g_blocks;
    if (g_blocks != nullptr) {
        g_blocks->previous = block;
    }
    g_blocks = block;
    ::ReleaseSRWLockExclusive(&g_lock);
}

void Unlink(Block* block) noexcept {
    ::AcquireSRWLockExclusive(&g_lock);
    if (block->previous != nullptr) {
        block->previous->next = block->next;
    } else {
        g_blocks = block->next;
    }
    if (block->next != nullptr) {
        block->next->previous = block->previous;
    }
    ::ReleaseSRWLockExclusive(&g_lock);
}

// TlsGetValue clears the last error, which a fault or a throw must keep.
Block* ThisThreadBlock(DWORD index) noexcept {
    DWORD error = ::GetLastError();
    auto* block = static_cast<Block*>(::TlsGetValue(index));
    ::SetLastError(error);
    return block;
}

bool HoldsValues(const Block& block) noexcept {
    for (void* value : block.values) {
        if (value != nullptr) {
            return true;
        }
    }
    return false;
}

void EndThisThread() noexcept {
    DWORD index = g_index.load(std::memory_order_acquire);
    Block* block = index != TLS_OUT_OF_INDEXES ? ThisThreadBlock(index) : nullptr;
    if (block == nullptr) {
        return;
    }
    const int slots = g_slots.load(std::memory_order_acquire);
    for (int round = 0; round < kCleanupRounds && HoldsValues(*block); ++round) {
        for (int position = 0; position < slots && position < kMaxSlots; ++position) {
            void* value = block->values[position];
            if (value != nullptr) {
                block->values[position] = nullptr;
                if (g_cleanups[position] != nullptr) {
                    g_cleanups[position](value);
                }
            }
        }
    }
    ::TlsSetValue(index, nullptr);
    // A value still set after the last round stays listed, for its slot's
    // Close at unload.
    if (!HoldsValues(*block)) {
        Unlink(block);
        ::HeapFree(::GetProcessHeap(), 0, block);
    }
}

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID reserved) {
    if (reason == DLL_THREAD_DETACH) {
        EndThisThread();
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        g_processExiting.store(true);
    }
}

// Made before every other static object of the library, so destroyed after
// them all: the slots they close have run their cleanups by then.
struct BlocksRelease {
    BlocksRelease() = default;
    BlocksRelease(const BlocksRelease&) = delete;
    BlocksRelease& operator=(const BlocksRelease&) = delete;
    ~BlocksRelease() {
        DWORD index = g_index.exchange(TLS_OUT_OF_INDEXES);
        if (g_processExiting.load()) {
            return;
        }
        while (Block* block = g_blocks) {
            g_blocks = block->next;
            ::HeapFree(::GetProcessHeap(), 0, block);
        }
        if (index != TLS_OUT_OF_INDEXES) {
            ::TlsFree(index);
        }
    }
};
BlocksRelease g_blocksRelease __attribute__((init_priority(101)));

}  // namespace

// The run-time's TLS directory calls every entry between its .CRT$XLA and
// .CRT$XLZ markers at thread and process events, in an executable as in a DLL.
extern "C" {
extern PIMAGE_TLS_CALLBACK qvThreadSlotEvent;
__attribute__((section(".CRT$XLQ"), used)) PIMAGE_TLS_CALLBACK qvThreadSlotEvent = &OnThreadEvent;
}

OThreadSlot::OThreadSlot(Cleanup cleanup) noexcept : m_position(0) {
    DWORD index = g_index.load(std::memory_order_acquire);
    if (index == TLS_OUT_OF_INDEXES) {
        DWORD mine = ::TlsAlloc();
        if (mine == TLS_OUT_OF_INDEXES) {
            return;
        }
        if (!g_index.compare_exchange_strong(index, mine)) {
            ::TlsFree(mine);
        }
    }
    const int position = g_slots.fetch_add(1);
    if (position >= kMaxSlots) {
        return;
    }
    g_cleanups[position] = cleanup;
    g_open[position].store(true, std::memory_order_release);
    m_position = position + 1;
}

OThreadSlot::~OThreadSlot() {
    Close();
}

void* OThreadSlot::Get() const noexcept {
    DWORD index = g_index.load(std::memory_order_acquire);
    if (m_position == 0 || index == TLS_OUT_OF_INDEXES) {
        return nullptr;
    }
    Block* block = ThisThreadBlock(index);
    return block != nullptr ? block->values[m_position - 1] : nullptr;
}

bool OThreadSlot::Set(void* value) noexcept {
    DWORD index = g_index.load(std::memory_order_acquire);
    if (m_position == 0 || index == TLS_OUT_OF_INDEXES) {
        return value == nullptr;
    }
    Block* block = ThisThreadBlock(index);
    if (block == nullptr) {
        if (value == nullptr) {
            return true;
        }
        if (!g_open[m_position - 1].load(std::memory_order_acquire)) {
            return false;
        }
        DWORD error = ::GetLastError();
        block =
            static_cast<Block*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Block)));
        if (block == nullptr) {
            ::SetLastError(error);
            return false;
        }
        if (!::TlsSetValue(index, block)) {
            ::HeapFree(::GetProcessHeap(), 0, block);
            ::SetLastError(error);
            return false;
        }
        Link(block);
        ::SetLastError(error);
    } else if (value != nullptr && !g_open[m_position - 1].load(std::memory_order_acquire)) {
        return false;
    }
    block->values[m_position - 1] = value;
    return true;
}

void OThreadSlot::Close() noexcept {
    if (m_position == 0 || !g_open[m_position - 1].exchange(false) || g_processExiting.load()) {
        return;
    }
    const int position = m_position - 1;
    // One value at a time, the lock released before its cleanup runs: a
    // cleanup may use other slots, which may link a block of this thread.
    for (;;) {
        void* value = nullptr;
        ::AcquireSRWLockExclusive(&g_lock);
        for (Block* block = g_blocks; block != nullptr && value == nullptr; block = block->next) {
            value = block->values[position];
            block->values[position] = nullptr;
        }
        ::ReleaseSRWLockExclusive(&g_lock);
        if (value == nullptr) {
            break;
        }
        if (g_cleanups[position] != nullptr) {
            g_cleanups[position](value);
        }
    }
}
