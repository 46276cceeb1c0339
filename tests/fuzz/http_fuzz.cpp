#include <algorithm>
#include <string>
#include <vector>

#include "fuzz.h"
#include "xpml/http.h"

namespace {

// Fed whole, and again in pieces as a reader receives them, parsing from the
// start after each: a prefix judged Invalid or Complete stays so, and the
// pieces agree with the whole.
void ParseResponse(const uint8_t* data, size_t size, uint32_t seed) {
    HttpResponse whole;
    const HttpParseResult result = whole.TryParse(data, size);
    HttpResponse pieced;
    HttpParseResult last = HttpParseResult::Incomplete;
    for (size_t n = 0; n < size && last == HttpParseResult::Incomplete;) {
        seed = seed * 1103515245 + 12345;
        n = std::min(size, n + 1 + (seed >> 16) % 64);
        last = pieced.TryParse(data, n);
    }
    FUZZ_CHECK(last == result);
    if (last == HttpParseResult::Complete) {
        FUZZ_CHECK(pieced.GetStatusCode() == whole.GetStatusCode());
        FUZZ_CHECK(pieced.GetStartLine() == whole.GetStartLine() &&
                   pieced.GetVersion() == whole.GetVersion());
        const auto& body = pieced.Body();
        FUZZ_CHECK(body.size() <= whole.Body().size() &&
                   std::equal(body.begin(), body.end(), whole.Body().begin()));
    }
}

// A '%' not followed by two hexadecimal digits throws.
std::string UrlDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%';
        out += escape           ? static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16))
               : text[i] == '+' ? ' '
                                : text[i];
        i += escape ? 2 : 0;
    }
    return out;
}

std::string Utf8(OString text) {
    text.SetCodePageUtf8();
    return text.GetNarrow();
}

bool OneLine(const OString& text, const char* also = "") {
    return text.FindOneOf((std::string("\r\n") + also).c_str()) < 0;
}

// A request of the input's texts: its form decodes to the fields' UTF-8, and
// serialised it reads back as a message with its header and body.
void RoundTripRequest(FuzzInput& in) {
    HttpRequest request;
    request.SetMethod(in.Byte() & 1 ? "POST" : in.Narrow().c_str());
    request.SetPath(in.Narrow().c_str());
    const OString name = in.Narrow().c_str();
    request.SetHeader(name, in.Narrow().c_str());
    const OString field(in.Wide().c_str());
    const OString value(in.Wide().c_str());
    request.AddField(field, value);
    const std::string body = in.Narrow();
    request.SetBody(std::vector<uint8_t>(body.begin(), body.end()));

    const std::string form = request.FormEncode().GetNarrow();
    FUZZ_CHECK(UrlDecoded(form.substr(0, form.find('='))) == Utf8(field));
    FUZZ_CHECK(UrlDecoded(form.substr(form.find('=') + 1)) == Utf8(value));

    std::vector<uint8_t> bytes;
    HttpResponse read;
    if (request.Serialize(bytes) && read.Parse(bytes.data(), bytes.size()) &&
        OneLine(request.GetMethod()) && OneLine(request.GetPath()) && OneLine(name, ": \t") &&
        OneLine(request.GetHeader(name))) {
        FUZZ_CHECK(read.GetHeader(name) == request.GetHeader(name));
        FUZZ_CHECK(read.Body() == request.Body());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0) {
        ParseResponse(data + 1, size - 1, data[0]);
    }
    FuzzInput in(data, size);
    RoundTripRequest(in);
    return 0;
}
