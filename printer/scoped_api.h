#pragma once

// The seams of this folder: a struct of the few system functions one component
// calls (the real ones by default), and a scoped object through which a test
// installs its own for a while. Process-wide: install one before starting the
// threads that use it. Overrides nest: destroy them in the reverse order of
// their creation.
template <typename Api>
class ScopedApi {
public:
    explicit ScopedApi(const Api& api) : m_api(api), m_previous(s_override) { s_override = &m_api; }
    ~ScopedApi() { s_override = m_previous; }
    ScopedApi(const ScopedApi&) = delete;
    ScopedApi& operator=(const ScopedApi&) = delete;

    // The functions in force: the innermost override, else the real ones.
    static const Api& Current() {
        static const Api real;
        return s_override != nullptr ? *s_override : real;
    }

private:
    static inline const Api* s_override = nullptr;
    Api m_api;
    const Api* m_previous;
};
