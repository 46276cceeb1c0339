#include <cstdio>
#include <cstring>

#include "driver_interface/advanced_text.h"
#include "fuzz.h"

// An answer as the printer sends it, then answers with a status text, a flag
// word and a severity from the input, written as the printer writes them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = AnswerText(std::vector<uint8_t>(data, data + size));
    FUZZ_CHECK(text.find('\0') == std::string::npos && text.size() <= size);
    const StatusTextAnswer answer = ReadStatusTextAnswer(text);
    FUZZ_CHECK(answer.monitored == (text.size() >= 3 && text[0] != '0'));
    int severity = 0;
    uint32_t flags = 0;
    FUZZ_CHECK(ReadSeverityAnswer(text, severity) == (text.size() >= 2 && text[0] != '0'));
    ReadExtendedFlagsAnswer(text, flags);
    const WatchAnswer watched = ReadWatchAnswer(text);
    FUZZ_CHECK(watched.monitored == answer.monitored && (!watched.complete || watched.monitored));
    FUZZ_CHECK(watched.status.size() <= text.size());
    FuzzInput in(data, size);
    // A status text may hold ';' itself: the severity is the last value.
    std::string status = in.Narrow();
    status.resize(std::min(status.find('\0'), status.size()));
    const int level = in.Byte() % 5;
    uint32_t word = 0;
    std::memcpy(&word, data, std::min(size, sizeof word));
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", word);
    const std::string end = ";" + std::to_string(level);
    const std::string statusAnswer = "1;" + status + end;
    const StatusTextAnswer read = ReadStatusTextAnswer(statusAnswer);
    FUZZ_CHECK(read.complete && read.status == status && read.severity == level);
    FUZZ_CHECK(ReadSeverityAnswer("2;" + std::to_string(int32_t(word)) + ";", severity) &&
               severity == int32_t(word));
    const uint32_t bits = level == 2 ? 0x80000000 : level == 3 ? 0x40000000 : 0;
    FUZZ_CHECK(ReadExtendedFlagsAnswer("1;" + std::string(hex) + end, flags) &&
               flags == (word | bits));
    const std::string fourAnswer = "1;" + status + end + ";" + hex;
    const WatchAnswer four = ReadWatchAnswer(fourAnswer);
    FUZZ_CHECK(four.complete && four.status == status && four.severity == level &&
               four.extendedFlags == (word | bits));
    return 0;
}
