#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The advanced interface's XPML request texts and the reading of the
// printer's answers. Pure: no system calls.

// State requests; every request sent alone ends with the "&#00;" terminator.
constexpr const char* kStatusTextRequest =
    "<state name='Monitoring Supported' action='get' />;<state name='Status' action='get' />;"
    "<state name='Status Severity' action='get' />&#00;";
constexpr const char* kSeverityRequest =
    "<state name='Monitoring Supported' action='get' />;"
    "<state name='Status Severity' action='get' />&#00;";
constexpr const char* kExtendedFlagsRequest =
    "<state name='Monitoring Supported' action='get' />;"
    "<state name='Status Flags 2' action='get' />;<state name='Status Severity' action='get' "
    "/>&#00;";
;
// The watcher's one request for all four states, answered in this order.
constexpr const char* kWatchStatusRequest =
    "<state name='Monitoring Supported' action='get' />;<state name='Status' action='get' />;"
    "<state name='Status Severity' action='get' />;<state name='Status Flags 2' action='get' "
    "/>&#00;";

// "<job id='" + id in signed decimal + "' action='get' jobIdentity='true'
// jobStatus='true' />&#00;"; the spooler's unsigned id is read as signed.
std::string JobStatusRequest(uint32_t jobId);

// The polling requests of a DAL query (no terminator), the id XML-escaped
// (XmlEscape) as every text put into an attribute: what is "status" or
// "response".
std::string DalQueryPollRequest(std::string_view queryId, std::string_view what);

// The DAL query envelope around an already encoded payload. Time-outs of 0
// or less, an empty pattern and a clear read flag leave their attributes
// out; the id and the pattern are XML-escaped (XmlEscape), so neither can end
// its attribute.
struct DalQueryOptions {
    int32_t sendTimeout = 0;
    int32_t receiveStartTimeout = 0;
    int32_t receiveIntervalTimeout = 0;
    std::string responsePattern;  // narrow text, unescaped
    bool readFlag = false;
};
std::string DalQueryEnvelope(std::string_view queryId, const DalQueryOptions& options,
                             std::string_view payload);

// An answer as text: up to its first NUL byte, else whole.
std::string AnswerText(const std::vector<uint8_t>& answer);
// The text's ';'-separated values (an empty text is one empty value).
std::vector<std::string_view> SplitAnswer(std::string_view text);
// The signed decimal number at the start of text after optional blanks: 0
// when there is none, clamped to the int range when it is too long.
int LeadingDecimal(std::string_view text);
// A "Build Date" value up to its first comma or blank.
std::string_view CutBuildDate(std::string_view date);

// The answers to the state requests, read from their text (AnswerText). An
// answer shorter than its least length, or one whose first value is "0", says
// the printer does not monitor its state: the basic interface answers then.

// To kStatusTextRequest, "monitoring;status text;severity" (least length 3).
// Fewer than three values leave the status text empty; with more, the text
// runs from the first ';' to the last and the severity is the last value.
struct StatusTextAnswer {
    bool monitored = false;
    bool complete = false;
    std::string_view status;  // within the answer's text
    int severity = 0;
};
StatusTextAnswer ReadStatusTextAnswer(std::string_view text);
// To kSeverityRequest, "monitoring;severity" (least length 2): false when not
// monitored.
bool ReadSeverityAnswer(std::string_view text, int& severity);
// To kExtendedFlagsRequest, "monitoring;flags in 8 hex digits;severity"
// (least length 2): the flags, with 0x80000000 added for severity 2 (error)
// and 0x40000000 for 3 (warning). False when not monitored or fewer than
// three values.
bool ReadExtendedFlagsAnswer(std::string_view text, uint32_t& flags);

// To kWatchStatusRequest, "monitoring;status text;severity;flags in 8 hex
// digits" (least length 3, as the status text's): text, severity and
// extended flags from one answer. The status text may hold ';' itself: it
// runs from the first separator to the second to last, the severity and the
// flags are the last two values. Fewer than four values leave the answer
// incomplete (the printer's word gives no text, the rest falls back).
struct WatchAnswer {
    bool monitored = false;
    bool complete = false;
    std::string_view status;  // within the answer's text
    int severity = 0;
    uint32_t extendedFlags = 0;  // with bit 31 for severity 2, bit 30 for 3
};
WatchAnswer ReadWatchAnswer(std::string_view text);
