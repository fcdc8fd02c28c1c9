// Request bodies as dorn serve and dorn call read them: JSON to a bag, the bag back to JSON, and
// the request of "POST /api/OPCODE" with the body, for the opcode the body names (or
// "ClientInfo" when it names none) and for another one.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "ApiRequest.h"
#include "BagJson.h"
#include "FuzzCheck.h"
#include "TextConvert.h"
#include "quillmesh/PropertyBag.h"

namespace {

using CORE::PropertyBag;
using dorn::fuzz::Require;

bool SameBag(const PropertyBag& a, const PropertyBag& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a.keyAt(i) != b.keyAt(i) || a.typeAt(i) != b.typeAt(i)) return false;
        switch (a.typeAt(i)) {
            case PropertyBag::ValueType::Text:
                if (a.textAt(i) != b.textAt(i)) return false;
                break;
            case PropertyBag::ValueType::Int:
            case PropertyBag::ValueType::Int64:
                if (a.intAt(i) != b.intAt(i)) return false;
                break;
            case PropertyBag::ValueType::Bool:
                if (a.boolAt(i) != b.boolAt(i)) return false;
                break;
            case PropertyBag::ValueType::Bag:
                if (!SameBag(a.bagAt(i), b.bagAt(i))) return false;
                break;
        }
    }
    return true;
}

// A bag that a refusal must leave as it was.
PropertyBag Untouched() {
    PropertyBag bag;
    bag.add(L"before", L"kept");
    return bag;
}

void CheckRoundTrip(const std::string& json) {
    PropertyBag bag = Untouched();
    std::string error;
    if (!dorn::JsonToBag(json, bag, error)) {
        Require(!error.empty(), "a refused body says why");
        Require(SameBag(bag, Untouched()), "a refused body leaves the bag as it was");
        return;
    }
    const std::string written = dorn::BagToJson(bag);
    PropertyBag again;
    Require(dorn::JsonToBag(written, again, error), "the JSON written for a bag reads back");
    Require(SameBag(bag, again), "a bag read back from its JSON is the same bag");
    Require(dorn::BagToJson(again) == written, "the JSON of a bag read back is the same text");
    // A reply carries the body's bytes as its error text, however they are encoded.
    PropertyBag reply = bag;
    std::wstring text;
    for (const char byte : json) text += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    reply.setError(7, text.c_str());
    Require(nlohmann::json::accept(dorn::ReplyToJson(false, reply)), "a reply is JSON");
}

void CheckApiRequest(const std::string& opcode, const std::string& body) {
    PropertyBag request = Untouched();
    std::string error;
    if (!BuildApiRequest(opcode, body, request, error)) {
        Require(!error.empty(), "a refused request says why");
        Require(SameBag(request, Untouched()), "a refused request leaves the bag as it was");
        return;
    }
    size_t opcodes = 0;
    for (size_t i = 0; i < request.size(); ++i) {
        if (request.keyAt(i) != L"opcode") continue;
        ++opcodes;
        Require(request.typeAt(i) == PropertyBag::ValueType::Text &&
                    quillmesh::Utf8FromWideLossy(request.textAt(i)) == opcode,
                "a request's opcode is the path's");
    }
    Require(opcodes == 1, "a request names its opcode once");
    PropertyBag fromBody;
    Require(body.empty() || dorn::JsonToBag(body, fromBody, error), "an accepted body is a bag");
    Require(request.size() == fromBody.size() + (fromBody.contains(L"opcode") ? 0 : 1),
            "a request is its body and the opcode");
}

// The opcode the body names, when it names one as text.
std::string NamedOpcode(const std::string& body) {
    PropertyBag bag;
    std::string error;
    if (!dorn::JsonToBag(body, bag, error)) return "ClientInfo";
    for (size_t i = 0; i < bag.size(); ++i) {
        if (bag.keyAt(i) == L"opcode" && bag.typeAt(i) == PropertyBag::ValueType::Text) {
            return quillmesh::Utf8FromWideLossy(bag.textAt(i));
        }
    }
    return "ClientInfo";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(input);
    const std::string named = NamedOpcode(input);
    CheckApiRequest(named, input);
    CheckApiRequest(named == "Performance" ? "EndProcess" : "Performance", input);
    return 0;
}
