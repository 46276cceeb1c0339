#include "driver_interface/advanced_text.h"

#include <climits>

#include "core/ostring.h"
#include "xpml/encodings.h"

std::string JobStatusRequest(uint32_t jobId) {
    return "<job id='" + std::to_string(static_cast<int32_t>(jobId)) +
           "' action='get' jobIdentity='true' jobStatus='true' />&#00;";
}

namespace {

// Caller-supplied text as the value of an apostrophe-quoted attribute.
std::string AttributeText(std::string_view text) {
    return XmlEscape(OString(text.data(), static_cast<int32_t>(text.size()))).GetNarrow();
}

}  // namespace

std::string DalQueryPollRequest(std::string_view queryId, std::string_view what) {
    std::string request = "<request query='";
    request.append(AttributeText(queryId)).append("' id='1' get='").append(what).append("' />");
    return request;
}

namespace {

void AppendTimeout(std::string& text, const char* name, int32_t value) {
    if (value > 0) {
        text.append(" ").append(name).append("='").append(std::to_string(value)).append("'");
    }
}

}  // namespace

std::string DalQueryEnvelope(std::string_view queryId, const DalQueryOptions& options,
                             std::string_view payload) {
    std::string text = "<query id='";
    text.append(AttributeText(queryId))
        .append("' name='DAL Query'><request id='1' name='DAL Request'");
    AppendTimeout(text, "sendTimeout", options.sendTimeout);
    AppendTimeout(text, "receiveStartTimeout", options.receiveStartTimeout);
    AppendTimeout(text, "receiveIntervalTimeout", options.receiveIntervalTimeout);
    if (!options.responsePattern.empty()) {
        text.append(" responsePattern='")
            .append(AttributeText(options.responsePattern))
            .append("'");
    }
    if (options.readFlag) {
        text.append(" parameters='read=false'");
    }
    text.append("><encode in='base64;lz77'>").append(payload).append("</encode></request></query>");
    return text;
}

std::string AnswerText(const std::vector<uint8_t>& answer) {
    std::string text(answer.begin(), answer.end());
    text.resize(std::string_view(text.c_str()).size());
    return text;
}

std::vector<std::string_view> SplitAnswer(std::string_view text) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        size_t end = text.find(';', start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

int LeadingDecimal(std::string_view text) {
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos) {
        return 0;
    }
    bool negative = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') {
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    value = negative ? -value : value;
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

std::string_view CutBuildDate(std::string_view date) {
    return date.substr(0, date.find_first_of(", "));
}

namespace {

bool Monitors(std::string_view text, size_t leastLength) {
    return text.size() >= leastLength && text[0] != '0';
}

}  // namespace

StatusTextAnswer ReadStatusTextAnswer(std::string_view text) {
    StatusTextAnswer answer;
    answer.monitored = Monitors(text, 3);
    // The status is free text that may hold ';' itself: it runs from the first
    // separator to the last, and the severity is the last value.
    const size_t first = text.find(';');
    const size_t last = text.rfind(';');
    if (answer.monitored && first != std::string_view::npos && last > first) {
        answer.complete = true;
        answer.status = text.substr(first + 1, last - first - 1);
        answer.severity = LeadingDecimal(text.substr(last + 1));
    }
    return answer;
}

bool ReadSeverityAnswer(std::string_view text, int& severity) {
    if (!Monitors(text, 2)) {
        return false;
    }
    severity = LeadingDecimal(text.substr(2));
    return true;
}

namespace {

// Hex8ToUInt32 stops at the terminator: the value is its own text.
uint32_t ExtendedFlags(std::string_view hex, int severity) {
    uint32_t flags = Hex8ToUInt32(std::string(hex).c_str());
    if (severity == 2) {
        flags |= 0x80000000;
    } else if (severity == 3) {
        flags |= 0x40000000;
    }
    return flags;
}

}  // namespace

bool ReadExtendedFlagsAnswer(std::string_view text, uint32_t& flags) {
    std::vector<std::string_view> parts = SplitAnswer(text);
    if (!Monitors(text, 2) || parts.size() < 3) {
        return false;
    }
    flags = ExtendedFlags(parts[1], LeadingDecimal(parts[2]));
    return true;
}

WatchAnswer ReadWatchAnswer(std::string_view text) {
    WatchAnswer answer;
    answer.monitored = Monitors(text, 3);
    const size_t first = text.find(';');
    const size_t last = text.rfind(';');
    if (!answer.monitored || first == std::string_view::npos || last == first) {
        return answer;
    }
    const size_t beforeLast = text.rfind(';', last - 1);
    if (beforeLast == first) {
        return answer;
    }
    answer.complete = true;
    answer.status = text.substr(first + 1, beforeLast - first - 1);
    answer.severity = LeadingDecimal(text.substr(beforeLast + 1, last - beforeLast - 1));
    answer.extendedFlags = ExtendedFlags(text.substr(last + 1), answer.severity);
    return answer;
}
