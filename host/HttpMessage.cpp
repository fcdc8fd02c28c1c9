#include "HttpMessage.h"

#include "HttpText.h"

std::string_view HttpRequest::Header(std::string_view name) const {
    for (const HttpHeader& header : headers) {
        if (EqualsIgnoringCase(header.name, name)) return header.value;
    }
    return {};
}

std::vector<std::string_view> HttpRequest::HeadersNamed(std::string_view name) const {
    std::vector<std::string_view> values;
    for (const HttpHeader& header : headers) {
        if (EqualsIgnoringCase(header.name, name)) values.push_back(header.value);
    }
    return values;
}
