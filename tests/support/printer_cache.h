#pragma once

#include "printer/printer_info_cache.h"

namespace QvTest {

// The calling thread's printer cache, emptied when this is made and again when
// it goes: a test reads its printers afresh (their driver part above all, which
// a thread otherwise reads once), and hands no facts of printers it removed to
// the next test. As a fixture's member it spans SetUp to TearDown; Forget()
// empties the cache mid-test, after changing what the driver part is read from.
class FreshPrinterCache {
public:
    FreshPrinterCache() { Forget(); }
    ~FreshPrinterCache() { Forget(); }
    FreshPrinterCache(const FreshPrinterCache&) = delete;
    FreshPrinterCache& operator=(const FreshPrinterCache&) = delete;

    static void Forget() { PrinterInfoCache::ClearThisThread(); }
};

}  // namespace QvTest
