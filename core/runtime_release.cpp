// The statically linked C++ runtime allocates, at load, a pool for exceptions
// thrown when memory runs out, and keeps it: a host that loads and frees the
// library again and again lost about 73 KB each time. The runtime's own hook
// gives it back; this object is made first, so it is destroyed last, after every
// other static object of the library.

namespace __gnu_cxx {
void __freeres() noexcept;
}  // namespace __gnu_cxx

namespace {

struct RuntimePoolRelease {
    RuntimePoolRelease() = default;
    RuntimePoolRelease(const RuntimePoolRelease&) = delete;
    RuntimePoolRelease& operator=(const RuntimePoolRelease&) = delete;
    ~RuntimePoolRelease() { __gnu_cxx::__freeres(); }
};

RuntimePoolRelease g_runtimePoolRelease __attribute__((init_priority(101)));

}  // namespace
