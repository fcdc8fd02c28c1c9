#include "LibraryHooks.h"

#include "CounterNameIndex.h"
#include "HistoricalCollector.h"
#include "DornHelpDeskOperation.h"
#include "LogMessage.h"

namespace {

constexpr const wchar_t* kWorkerName = L"AgentHelpDesk";

}  // namespace

void OnProcessAttach(HINSTANCE instance) {
    DisableThreadLibraryCalls(instance);
    ModuleName = CORE::corestring<wchar_t>::getModuleName(instance).lastPath().dropSuffix();
    CORE::sysmsgLogLoaded(instance, false);
    CounterNameIndex::Build();
}

void OnProcessDetach(LPVOID reserved) {
    if (reserved == nullptr) CORE::Quillmesh::System()->RemoveWorker(kWorkerName, false);
}

bool PluginInit() {
    CORE::Quillmesh::System()->AddWorker(CreateHelpDeskOperation, kWorkerName,
                                         L"Agent help desk plugin", true, false, false, false);
    LogMessage(CORE::SysMessageInfo, L"Session Manager Help Desk Service Started");
    HistoricalCollector::Instance().StartHistoricalCollector();
    return true;
}
