// The framework declares serviceOperation but leaves its bodies to the plug-in.
#include "quillmesh/WorkItem.h"

namespace CORE {

serviceOperation::~serviceOperation() = default;

bool serviceOperation::BeginOperation(const corestring<wchar_t>&, const PropertyBag&,
                                      PropertyBag&) {
    return true;
}

void serviceOperation::EndOperation() {}

}  // namespace CORE
