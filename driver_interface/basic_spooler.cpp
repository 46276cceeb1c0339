#include "driver_interface/basic_spooler.h"

#include <atomic>

namespace {

std::atomic<const BasicSpooler*> g_installed{nullptr};

}  // namespace

const BasicSpooler& BasicSpooler::Current() {
    static const BasicSpooler real;
    const BasicSpooler* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : real;
}

ScopedBasicSpooler::ScopedBasicSpooler(const BasicSpooler& spooler)
    : m_spooler(spooler), m_previous(g_installed.exchange(&m_spooler, std::memory_order_acq_rel)) {}

ScopedBasicSpooler::~ScopedBasicSpooler() {
    g_installed.store(m_previous, std::memory_order_release);
}
