// A plug-in for the server's tests of what only a misbehaving plug-in shows: its worker
// "AgentHelpDesk" holds a "Hold" request back and never answers it (and so any request of the
// opcode that HOLDING_PLUGIN_HOLDS names), and "Leave" removes the worker, so that later requests
// find none. Anything else is answered with its opcode.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quillmesh/Framework.h"

namespace {

bool IsHeldAlso(const CORE::corestring<wchar_t>& opcode) {
    const char* held = std::getenv("HOLDING_PLUGIN_HOLDS");
    if (held == nullptr) return false;
    const std::string narrow(held);
    return opcode == std::wstring(narrow.begin(), narrow.end()).c_str();
}

class HoldingItem : public CORE::WorkItem {
  public:
    bool MessageHandler(const CORE::corestring<wchar_t>& operation,
                        const CORE::PropertyBag& request, CORE::PropertyBag& reply) override {
        const CORE::corestring<wchar_t> opcode = request.get(L"opcode");
        if (opcode == L"Hold" || IsHeldAlso(opcode)) {
            // The test waits for this line before it stops the server.
            std::fputs("holding plug-in: holding a request\n", stderr);
            std::fflush(stderr);
            return KeepWorkItem();
        }
        if (opcode == L"Leave") {
            return CORE::Quillmesh::System()->RemoveWorker(L"AgentHelpDesk", false);
        }
        reply.add(L"opcode", opcode);
        return true;
    }
};

CORE::WorkItem* CreateItem() {
    return new HoldingItem;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool PluginInit() {
    return CORE::Quillmesh::System()->AddWorker(CreateItem, L"AgentHelpDesk", L"Holding plug-in",
                                                true, false, true, false);
}
