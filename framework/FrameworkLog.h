// The framework's own log lines, written through the same sinks as everyone's.
#pragma once

namespace quillmesh {

// Source "quillmesh"; a Windows wide printf format.
void FrameworkLog(int level, const wchar_t* format, ...);

}  // namespace quillmesh
