#pragma once

#include <atomic>

// A seam: the table of the few system functions one component calls, for the
// calls Wine cannot stand in for (spooler jobs, driver escapes, clocks, event
// outputs). Api is a struct of function pointers whose default member
// initialisers name the real functions, so a default-constructed Api is the
// real table; a component calls through ScopedApi<Api>::Current().
//
// A test installs its own table for the life of a ScopedApi object, which
// restores the previous table when it ends. The table in force is read and
// replaced atomically, so a thread calling through the seam sees either table
// whole; overrides nest and are destroyed in the reverse order of creation.
template <typename Api>
class ScopedApi {
public:
    explicit ScopedApi(const Api& api)
        : m_api(api), m_previous(s_current.exchange(&m_api, std::memory_order_acq_rel)) {}
    ~ScopedApi() { s_current.store(m_previous, std::memory_order_release); }
    ScopedApi(const ScopedApi&) = delete;
    ScopedApi& operator=(const ScopedApi&) = delete;

    // The table in force: the innermost override, else the real functions.
    static const Api& Current() {
        const Api* api = s_current.load(std::memory_order_acquire);
        return api != nullptr ? *api : s_real;
    }

    // The real functions, for a test that replaces only some of them.
    static const Api& Real() { return s_real; }

private:
    // Constant-initialised: the real functions' addresses are link-time
    // constants, so no caller can see the table before it is filled.
    static constinit inline const Api s_real{};
    static constinit inline std::atomic<const Api*> s_current{nullptr};

    Api m_api;
    const Api* m_previous;
};
