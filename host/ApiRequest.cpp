#include "ApiRequest.h"

#include <windows.h>

#include "BagJson.h"
#include "quillmesh/corestring.h"

namespace {

constexpr const wchar_t* kOpcodeKey = L"opcode";

// The body may repeat the opcode, but only as the one text the path names.
bool OpcodeAgrees(const CORE::PropertyBag& bag, const std::wstring& opcode) {
    size_t seen = 0;
    for (size_t i = 0; i < bag.size(); ++i) {
        if (bag.keyAt(i) != kOpcodeKey) continue;
        if (++seen > 1 || bag.typeAt(i) != CORE::PropertyBag::ValueType::Text ||
            bag.textAt(i) != opcode) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool BuildApiRequest(const std::string& opcode, const std::string& body, CORE::PropertyBag& request,
                     std::string& error) {
    std::wstring wideOpcode;
    std::wstring wideBody;
    if (!CORE::detail::WideFromNarrow(opcode, CP_UTF8, wideOpcode) ||
        !CORE::detail::WideFromNarrow(body, CP_UTF8, wideBody)) {
        error = "the request body is not valid UTF-8";
        return false;
    }
    CORE::PropertyBag bag;
    if (!body.empty() && !dorn::JsonToBag(body, bag, error)) return false;
    if (!OpcodeAgrees(bag, wideOpcode)) {
        error = "the body's \"opcode\" differs from the opcode of the path, " + opcode;
        return false;
    }
    if (!bag.contains(kOpcodeKey)) bag.add(kOpcodeKey, wideOpcode);
    request = std::move(bag);
    return true;
}
