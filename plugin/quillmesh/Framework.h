// The framework interface the plug-in is built against.
#pragma once

#include "plugin/quillmesh/PropertyBag.h"
#include "plugin/quillmesh/Quillmesh.h"
#include "plugin/quillmesh/SysMessage.h"
#include "plugin/quillmesh/WorkItem.h"
#include "plugin/quillmesh/corestring.h"
