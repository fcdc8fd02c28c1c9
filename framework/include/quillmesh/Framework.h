// The framework interface the plug-in is built against.
#pragma once

#include "quillmesh/PropertyBag.h"
#include "quillmesh/Quillmesh.h"
#include "quillmesh/SysMessage.h"
#include "quillmesh/WorkItem.h"
#include "quillmesh/corestring.h"
